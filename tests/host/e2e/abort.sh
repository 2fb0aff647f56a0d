#!/usr/bin/env bash
# A client killed in the middle of an upload: the server sees the end of its
# input, closes the transfer as failed, and the partly written firmware is
# removed, never handed to the update service.  The audit log shows the
# failed copy.
. "$(dirname "$0")/lib.sh"

server_running() {
    grep -qx tqsftp-server /proc/[0-9]*/comm 2>/dev/null
}

# Waits up to 20 s for a condition.
wait_for() {
    local i
    for i in $(seq 200); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    return 1
}

started() {
    [ -s "$1" ]
}

# kill_during DEST PARTIAL: starts an upload of big.bin to DEST at 64 kbit/s,
# and kills the client as soon as PARTIAL, the real file being written, has
# data.
kill_during() {
    echo "put big.bin $1" | sftp -l 64 -b - -D "$server -P $plugin" >/dev/null 2>&1 &
    local client=$!
    wait_for started "$2" || fail "the upload to $1 did not start"
    kill -KILL "$client"
    wait "$client" 2>/dev/null || true
    wait_for eval '! server_running' || fail "the server did not end"
}

head -c $((4 * 1024 * 1024)) /dev/urandom >big.bin
kill_during /upload/firmware/fw.bin /tmp/sftp/upload/firmware/fw.bin
[ ! -e /tmp/sftp/upload/firmware/fw.bin ] || fail "the partial firmware stayed"
[ ! -e /var/lib/tqupd/firmware/fw.bin ] || fail "the partial firmware was handed over"
! grep -qs ' fw.bin ' /var/lib/tqupd/jobs || fail "a job for the partial firmware"
audit_has "Copy remote to /upload/firmware/fw.bin failed: Software caused connection abort"
audit_lacks "Copy remote to /upload/firmware/fw.bin"

# The same for a certificate; on the stick, with no update service behind
# it, the partial file stays as written but the copy is logged as failed.
kill_during /upload/vpn-cert/vpn.p12 /tmp/sftp/upload/vpn-cert/vpn.p12
[ ! -e /tmp/sftp/upload/vpn-cert/vpn.p12 ] || fail "the partial certificate stayed"
kill_during /usb/big.bin /usb0/big.bin
audit_has "Copy remote to /usb/big.bin failed: Software caused connection abort"

# The next session works as usual.
sftp_batch >/dev/null <<'B'
put big.bin /upload/firmware/fw.bin
B
cmp big.bin /var/lib/tqupd/firmware/fw.bin || fail "the upload after the abort"
echo PASS
