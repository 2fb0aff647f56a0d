#!/usr/bin/env bash
# sshfs (FUSE): the tree mounted, cp -r, truncate.
[ -c /dev/fuse ] && command -v fusermount3 >/dev/null || { echo "SKIP: no FUSE here"; exit 77; }
. "$(dirname "$0")/lib.sh"
mkdir mnt
sshfs -p "$port" -o "IdentityFile=$keys/client_key,UserKnownHostsFile=$keys/known_hosts" \
    -o BatchMode=yes,StrictHostKeyChecking=yes root@127.0.0.1:/ mnt ||
    fail "sshfs could not mount the tree"
check "cp -r onto the stick" cp -r /sd/logs mnt/usb/
check "the folder arrives whole" diff -r /sd/logs /usb0/logs
check "truncate" truncate -s 4 mnt/usb/logs/boot.log
check "the file is cut to 4 bytes" [ "$(stat -c %s /usb0/logs/boot.log)" = 4 ]
fusermount3 -u mnt
