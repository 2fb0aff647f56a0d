#!/usr/bin/env bash
# A client killed in the middle of an upload: the server sees the end of its
# input, closes the transfer as failed, and the partly written firmware or
# certificate is removed, never handed to the update service.  The audit log
# shows the failed copy.
. "$(dirname "$0")/lib.sh"

# Waits up to 20 s for a condition.
wait_for() {
    local i
    for i in $(seq 200); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    return 1
}

# kill_during DEST PARTIAL: starts an upload of big.bin to DEST at 64 kbit/s,
# and kills the client as soon as PARTIAL, the real file being written, has
# data.
kill_during() {
    echo "put big.bin $1" | sftp -l 64 -b - -D "$server -P $plugin" >/dev/null 2>&1 &
    local client=$!
    wait_for "[ -s $2 ]" || fail "the upload to $1 did not start"
    kill -KILL "$client"
    wait "$client" 2>/dev/null || true
    wait_for '! grep -qx tqsftp-server /proc/[0-9]*/comm 2>/dev/null' || fail "the server did not end"
}

head -c $((4 * 1024 * 1024)) /dev/urandom >big.bin
kill_during /upload/firmware/fw.bin /tmp/sftp/upload/firmware/fw.bin
kill_during /upload/vpn-cert/vpn.p12 /tmp/sftp/upload/vpn-cert/vpn.p12
[ ! -e /tmp/sftp/upload/firmware/fw.bin ] && [ ! -e /tmp/sftp/upload/vpn-cert/vpn.p12 ] ||
    fail "a partial upload stayed"
[ ! -e /var/lib/tqupd/firmware/fw.bin ] || fail "the partial firmware was handed over"
! grep -qs ' fw.bin \| vpn.p12 ' /var/lib/tqupd/jobs || fail "a job for a partial upload"
audit_has "Copy remote to /upload/firmware/fw.bin failed: Software caused connection abort"
audit_lacks "Copy remote to /upload/firmware/fw.bin"
echo PASS
