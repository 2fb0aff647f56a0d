#!/usr/bin/env bash
# OpenSSH's sftp through sshd, one batch: a profile download, a firmware
# upload, work on the USB stick, a mode, the free space, refusals as the
# client prints them; and ssh, which gets no shell.
. "$(dirname "$0")/lib.sh"
cd "$work"

head -c 1048576 /dev/urandom >fw-2.5.bin
echo "a note" >note.txt
sftp -b - -P "$port" "${ssh_opts[@]}" root@127.0.0.1 >tour.out 2>&1 <<'EOF' ||
ls -1 /
ls -ln /nv/cfg/office.xml
get /nv/cfg/office.xml office.xml.gz
put fw-2.5.bin /upload/firmware/fw-2.5.bin
mkdir /usb/backup
put note.txt /usb/backup/note.txt
rename /usb/backup/note.txt /usb/backup/monday.txt
get /usb/backup/monday.txt back.txt
-chmod 600 /usb/backup/monday.txt
-df /usb
-rm /nv/cfg/office.xml
-get /etc/passwd passwd
-rename /sd/readme.txt /usb/readme.txt
EOF
    fail "the sftp batch failed: $(cat tour.out)"
check "top of the tree" [ "$(grep -x '/[a-z]*' tour.out | tr '\n' ' ')" = "/nv /sd /upload /usb " ]
listed=$(awk '/^-/ && $NF == "/nv/cfg/office.xml" { print $5 }' tour.out)
check "a profile's listed size is what arrives" [ "$listed" = "$(stat -c %s office.xml.gz)" ]
check "a profile arrives as gzip of the stored one" cmp -s <(gunzip -c office.xml.gz) /flash/cfg/office.xml
check "firmware handed over once" handed_over firmware fw-2.5.bin 1048576
check "firmware stored" cmp -s fw-2.5.bin /var/lib/tqupd/firmware/fw-2.5.bin
check "USB upload, rename, download" cmp -s note.txt back.txt
check "chmod changes the mode" [ "$(stat -c %a /usb0/backup/monday.txt)" = 600 ]
check "df shows the USB stick's size" grep -q "^ *$(($(stat -f -c '%b * %S' /usb0) / 1024)) " tour.out
check "refusal printed" grep -qF 'remote delete /nv/cfg/office.xml: Permission denied' tour.out
check "refusals changed nothing" [ ! -e passwd -a -e /flash/cfg/office.xml -a -e /sd/readme.txt ]
check "audit: profile download" audit_has "Copy /nv/cfg/office.xml to remote"
check "audit: refused move" audit_has "Rename /sd/readme.txt to /usb/readme.txt failed: Operation not permitted"

# A command (or a shell) runs the SFTP server, never a shell.
ssh -p "$port" "${ssh_opts[@]}" root@127.0.0.1 'echo shell >/tmp/shell' </dev/null >/dev/null 2>&1 || true
check "no shell for a command" [ ! -e /tmp/shell ]
