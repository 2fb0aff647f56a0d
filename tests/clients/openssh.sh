#!/usr/bin/env bash
# The OpenSSH client through sshd: the tree, a help file, a profile download,
# a firmware upload, work on the USB stick, refusals and their audit lines.
. "$(dirname "$0")/lib.sh"
cd "$work"

# The tree's top, and the profile store with its fixed entries.
sftp_batch >top.out <<'EOF'
ls -1 /
ls -1 /nv/cfg
EOF
grep -v '^sftp>' top.out >names
printf '%s\n' /nv /sd /upload /usb >want
sed -n '1,4p' names | sort | cmp - want || fail "top of the tree: $(cat names)"
for n in factory.xml lab.xml office.xml profile.cur help status ok error; do
    grep -qx "/nv/cfg/$n" names || fail "/nv/cfg does not list $n"
done

# Help files hold exactly their texts; the VPN one ends in CR LF.
sftp_batch >/dev/null <<'EOF'
get /upload/firmware/help firmware-help
get /upload/vpn-cert/help vpn-help
get /nv/cfg/help cfg-help
EOF
printf 'To perform a firmware update, copy the new firmware into this directory.' |
    cmp - firmware-help || fail "firmware help text"
printf 'Configuration profiles may be copied to/from this directory.' |
    cmp - cfg-help || fail "profile help text"
[ "$(stat -c %s vpn-help)" -eq 223 ] || fail "VPN help is $(stat -c %s vpn-help) bytes"
[ "$(tail -c 2 vpn-help | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "VPN help end"

# A profile: the listed size is what arrives, and it gunzips to the stored
# bytes.
sftp_batch >profile.out <<'EOF'
ls -ln /nv/cfg/office.xml
get /nv/cfg/office.xml office.xml.gz
EOF
listed=$(awk '!/^sftp>/ && $NF == "/nv/cfg/office.xml" { print $5 }' profile.out)
[ "$listed" = "$(stat -c %s office.xml.gz)" ] ||
    fail "listed size $listed, received $(stat -c %s office.xml.gz)"
gunzip -c office.xml.gz | cmp - /flash/cfg/office.xml || fail "profile round trip"
audit_has "Copy /nv/cfg/office.xml to remote"

# A firmware image goes to the update service when its upload closes.
head -c 1048576 /dev/urandom >fw-2.5.bin
sftp_batch >/dev/null <<'EOF'
put fw-2.5.bin /upload/firmware/fw-2.5.bin
get /upload/firmware/ok firmware-ok
EOF
grep -q 'fw-2.5.bin: accepted, 1048576 bytes' firmware-ok || fail "ok file: $(cat firmware-ok)"
cmp fw-2.5.bin /var/lib/tqupd/firmware/fw-2.5.bin || fail "firmware not stored"
grep -q ' firmware fw-2.5.bin 1048576 ' /var/lib/tqupd/jobs || fail "no firmware job"
[ ! -e /tmp/sftp/upload/firmware/fw-2.5.bin ] || fail "upload left in its folder"
audit_has "Copy remote to /upload/firmware/fw-2.5.bin"

# Below the USB stick's top folder everything is allowed.
echo "a note" >note.txt
sftp_batch >/dev/null <<'EOF'
mkdir /usb/backup
put note.txt /usb/backup/note.txt
rename /usb/backup/note.txt /usb/backup/monday.txt
EOF
cmp note.txt /usb0/backup/monday.txt || fail "USB upload and rename"
sftp_batch >/dev/null <<'EOF'
rm /usb/backup/monday.txt
rmdir /usb/backup
EOF
[ ! -e /usb0/backup ] || fail "USB folder still there"
audit_has "Create /usb/backup"
audit_has "Copy remote to /usb/backup/note.txt"
audit_has "Rename /usb/backup/note.txt to /usb/backup/monday.txt"
audit_has "Delete /usb/backup/monday.txt"
audit_has "Remove /usb/backup"

# Refusals: what the client prints, and nothing changed.
sftp_batch >refused.out 2>&1 <<'EOF'
-rm /nv/cfg/office.xml
-put note.txt /note.txt
-mkdir /upload/firmware/old
-get /etc/passwd passwd
-rename /sd/readme.txt /usb/readme.txt
EOF
expect() {
    grep -qF -- "$1" refused.out || fail "client did not print \"$1\"; it printed: $(cat refused.out)"
}
expect 'remote delete /nv/cfg/office.xml: Permission denied'
expect 'dest open "/note.txt": Permission denied'
expect 'remote mkdir "/upload/firmware/old": Permission denied'
expect 'File "/etc/passwd" not found.'
expect 'remote rename "/sd/readme.txt" to "/usb/readme.txt": Permission denied'
[ -e /flash/cfg/office.xml ] || fail "current profile deleted"
[ ! -e passwd ] && [ ! -e /tmp/sftp/note.txt ] && [ -e /sd/readme.txt ] || fail "a refusal changed something"
audit_has "Open /note.txt failed: Permission denied"
audit_has "Create /upload/firmware/old failed: Permission denied"
audit_has "Rename /sd/readme.txt to /usb/readme.txt failed: Operation not permitted"
echo "PASS"
