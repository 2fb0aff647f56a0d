#!/usr/bin/env bash
# The OpenSSH client through sshd, one session: the tree, a help file, a
# profile download, a firmware upload, work on the USB stick, and refusals
# as the client prints them.
. "$(dirname "$0")/lib.sh"
cd "$work"

head -c 1048576 /dev/urandom >fw-2.5.bin
echo "a note" >note.txt
sftp -q -b - -P "$port" -i "$keys/client_key" -o BatchMode=yes \
    -o StrictHostKeyChecking=yes -o UserKnownHostsFile="$keys/known_hosts" \
    root@127.0.0.1 >tour.out 2>&1 <<'EOF' || fail "the sftp batch failed: $(cat tour.out)"
ls -1 /
ls -ln /nv/cfg/office.xml
get /nv/cfg/office.xml office.xml.gz
get /upload/firmware/help firmware-help
put fw-2.5.bin /upload/firmware/fw-2.5.bin
get /upload/firmware/ok firmware-ok
mkdir /usb/backup
put note.txt /usb/backup/note.txt
rename /usb/backup/note.txt /usb/backup/monday.txt
get /usb/backup/monday.txt back.txt
rm /usb/backup/monday.txt
rmdir /usb/backup
-rm /nv/cfg/office.xml
-put note.txt /note.txt
-get /etc/passwd passwd
-rename /sd/readme.txt /usb/readme.txt
EOF
[ "$(grep -x '/[a-z]*' tour.out | tr '\n' ' ')" = "/nv /sd /upload /usb " ] ||
    fail "top of the tree: $(cat tour.out)"

# A profile: the listed size is what arrives, and it gunzips to the stored
# bytes.
listed=$(awk '/^-/ && $NF == "/nv/cfg/office.xml" { print $5 }' tour.out)
[ "$listed" = "$(stat -c %s office.xml.gz)" ] ||
    fail "listed size $listed, received $(stat -c %s office.xml.gz)"
gunzip -c office.xml.gz | cmp - /flash/cfg/office.xml || fail "profile round trip"

printf 'To perform a firmware update, copy the new firmware into this directory.' |
    cmp - firmware-help || fail "firmware help text"

# The firmware image went to the update service when its upload closed.
grep -q 'fw-2.5.bin: accepted, 1048576 bytes' firmware-ok || fail "ok file: $(cat firmware-ok)"
cmp fw-2.5.bin /var/lib/tqupd/firmware/fw-2.5.bin || fail "firmware not stored"
grep -q ' firmware fw-2.5.bin 1048576 ' /var/lib/tqupd/jobs || fail "no firmware job"
[ ! -e /tmp/sftp/upload/firmware/fw-2.5.bin ] || fail "upload left in its folder"

cmp note.txt back.txt || fail "USB upload, rename and download"
[ ! -e /usb0/backup ] || fail "USB folder still there"

for said in 'remote delete /nv/cfg/office.xml: Permission denied' \
    'dest open "/note.txt": Permission denied' 'File "/etc/passwd" not found.' \
    'remote rename "/sd/readme.txt" to "/usb/readme.txt": Permission denied'; do
    grep -qF -- "$said" tour.out || fail "client did not print \"$said\": $(cat tour.out)"
done
[ -e /flash/cfg/office.xml ] && [ ! -e passwd ] && [ ! -e /tmp/sftp/note.txt ] &&
    [ -e /sd/readme.txt ] || fail "a refusal changed something"

audit_has "Copy /nv/cfg/office.xml to remote"
audit_has "Copy remote to /upload/firmware/fw-2.5.bin"
audit_has "Remove /usb/backup"
audit_has "Rename /sd/readme.txt to /usb/readme.txt failed: Operation not permitted"
echo "PASS"
