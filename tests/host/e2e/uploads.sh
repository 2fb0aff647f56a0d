#!/usr/bin/env bash
# The upload folders: a file closed by the client goes to the update
# service, and the area's ok file tells how the hand-over went; a busy
# service refuses the upload before anything is written.
. "$(dirname "$0")/lib.sh"

uploads="firmware:fw-2.5.bin ssh-key:id_ed25519.pub https-cert:server.pem
         ldap-cert:ca.pem vpn-cert:vpn.p12"
for u in $uploads; do
    head -c $((1000 + RANDOM)) /dev/urandom >"${u#*:}"
done
{
    for u in $uploads; do echo "put ${u#*:} /upload/${u%%:*}/${u#*:}"; done
    echo "get /upload/firmware/ok fw-ok"
} | sftp_batch >/dev/null
for u in $uploads; do
    kind=${u%%:*} name=${u#*:}
    cmp "$name" "/var/lib/tqupd/$kind/$name" || fail "$kind: not handed to the update service"
    grep -q " $kind $name $(stat -c %s "$name") 2\$" /var/lib/tqupd/jobs ||
        fail "$kind: no job: $(cat /var/lib/tqupd/jobs)"
    [ ! -e "/tmp/sftp/upload/$kind/$name" ] || fail "$kind: the upload stayed in its folder"
    audit_has "Copy remote to /upload/$kind/$name"
done
grep -qx "fw-2.5.bin: accepted, $(stat -c %s fw-2.5.bin) bytes, install pending" fw-ok ||
    fail "ok file: $(cat fw-ok)"

# Busy: refused at open, nothing written, no job.
touch /var/lib/tqupd/busy
sftp_batch >busy.out <<'B'
-put fw-2.5.bin /upload/firmware/fw-2.6.bin
-put server.pem /upload/https-cert/other.pem
B
refused busy.out 'dest open "/upload/firmware/fw-2.6.bin": Permission denied'
[ ! -e /tmp/sftp/upload/firmware/fw-2.6.bin ] && [ ! -e /var/lib/tqupd/firmware/fw-2.6.bin ] ||
    fail "a busy update service got the upload"
! grep -q 'fw-2.6.bin\|other.pem' /var/lib/tqupd/jobs || fail "a job while busy"
audit_has "Open /upload/firmware/fw-2.6.bin failed: Operation not permitted"
audit_has "Open /upload/https-cert/other.pem failed: Operation not permitted"
echo PASS
