#!/usr/bin/env bash
# OpenSSH's scp (over SFTP) through sshd: folders both ways with -r, and -p
# keeping times and modes.
. "$(dirname "$0")/lib.sh"
cd "$work"

mkdir -p photos/2024
head -c 300000 /dev/urandom >photos/2024/a.jpg
echo "list" >photos/index.txt
touch -d '2021-03-04 05:06:07' photos/index.txt
chmod 0640 photos/index.txt
s() { scp -q -P "$port" "${ssh_opts[@]}" "$@" 2>>scp.err; }
check "scp -r up" s -r photos root@127.0.0.1:/usb/
check "the folder arrives whole" diff -r photos /usb0/photos
check "scp -r down" s -r root@127.0.0.1:/usb/photos back
check "and back again" diff -r photos back
check "scp -p" s -p photos/index.txt root@127.0.0.1:/sd/index.txt
check "scp -p keeps the time and the mode" \
    [ "$(stat -c '%Y %a' /sd/index.txt)" = "$(stat -c '%Y %a' photos/index.txt)" ]
check "audit: folder made" audit_has "Create /usb/photos"
check "scp -r into the read-only root is refused" fails s -r photos root@127.0.0.1:/
check "and says why" grep -q 'Permission denied' scp.err
