#!/usr/bin/env bash
# OpenSSH's sftp, one batch: a firmware upload, the USB stick, a mode;
# and ssh, which gets no shell.
. "$(dirname "$0")/lib.sh"
head -c 1048576 /dev/urandom >fw-2.5.bin && echo "a note" >note.txt
sftp -b - -P "$port" "${ssh_opts[@]}" root@127.0.0.1 >>client.log 2>&1 <<'EOF' ||
put fw-2.5.bin /upload/firmware/fw-2.5.bin
mkdir /usb/backup
put note.txt /usb/backup/note.txt
get /usb/backup/note.txt back.txt
-chmod 600 /usb/backup/note.txt
EOF
    fail "the sftp batch failed"
check "firmware handed over once" handed_over firmware fw-2.5.bin 1048576
check "USB upload and download" cmp -s note.txt back.txt
check "chmod changes the mode" [ "$(stat -c %a /usb0/backup/note.txt)" = 600 ]
# A command (or a shell) runs the SFTP server, never a shell.
ssh -p "$port" "${ssh_opts[@]}" root@127.0.0.1 'echo shell >/tmp/shell' </dev/null &>/dev/null || :
check "no shell for a command" [ ! -e /tmp/shell ]
