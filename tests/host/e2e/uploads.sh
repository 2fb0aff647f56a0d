#!/usr/bin/env bash
# The upload folders: a file closed by the client goes to the update
# service; a busy service refuses the upload before anything is written; an
# empty upload is refused and removed.
. "$(dirname "$0")/lib.sh"

uploads="firmware:fw-2.5.bin ssh-key:id_ed25519.pub https-cert:server.pem
         ldap-cert:ca.pem vpn-cert:vpn.p12"
for u in $uploads; do
    head -c $((1000 + RANDOM)) /dev/urandom >"${u#*:}"
done
for u in $uploads; do echo "put ${u#*:} /upload/${u%%:*}/${u#*:}"; done | sftp_batch >/dev/null
for u in $uploads; do
    kind=${u%%:*} name=${u#*:}
    size=$(stat -c %s "$name")
    cmp "$name" "/var/lib/tqupd/$kind/$name" || fail "$kind: not handed to the update service"
    grep -q " $kind $name $size 2\$" /var/lib/tqupd/jobs || fail "$kind: no job: $(cat /var/lib/tqupd/jobs)"
    [ ! -e "/tmp/sftp/upload/$kind/$name" ] || fail "$kind: the upload stayed in its folder"
    audit_has "Copy remote to /upload/$kind/$name"
done

# The area's ok file tells the client how the hand-over went.
sftp_batch >/dev/null <<'B'
get /upload/firmware/ok fw-ok
B
grep -qx "fw-2.5.bin: accepted, $(stat -c %s fw-2.5.bin) bytes, install pending" fw-ok ||
    fail "ok file: $(cat fw-ok)"

# Busy: refused at open, nothing written, no job.
mkdir -p /var/lib/tqupd
touch /var/lib/tqupd/busy
sftp_batch >busy.out <<'B'
-put fw-2.5.bin /upload/firmware/fw-2.6.bin
-put server.pem /upload/https-cert/other.pem
B
rm /var/lib/tqupd/busy
refused busy.out 'dest open "/upload/firmware/fw-2.6.bin": Permission denied'
[ ! -e /tmp/sftp/upload/firmware/fw-2.6.bin ] && [ ! -e /var/lib/tqupd/firmware/fw-2.6.bin ] ||
    fail "a busy update service got the upload"
! grep -q 'fw-2.6.bin\|other.pem' /var/lib/tqupd/jobs || fail "a job while busy"
audit_has "Open /upload/firmware/fw-2.6.bin failed: Operation not permitted"
audit_has "Open /upload/https-cert/other.pem failed: Operation not permitted"

# An empty upload: refused by the update service, removed by the plug-in.
: >empty.bin
sftp_batch >/dev/null <<'B'
put empty.bin /upload/firmware/empty.bin
get /upload/firmware/error fw-error
B
grep -qx 'empty.bin: refused: the file is empty' fw-error || fail "error file: $(cat fw-error)"
[ ! -e /tmp/sftp/upload/firmware/empty.bin ] || fail "the refused upload stayed"
! grep -q ' empty.bin ' /var/lib/tqupd/jobs || fail "a job for a refused upload"
echo PASS
