#!/usr/bin/env bash
# OpenSSH's scp (over SFTP): folders both ways with -r; -p keeps times, modes.
. "$(dirname "$0")/lib.sh"
site photos
touch -d '2021-03-04 05:06:07' photos/index.html && chmod 0640 photos/index.html
s() { exits "$1" scp -q -P "$port" "${ssh_opts[@]}" "${@:2}"; }
check "scp -r up" s 0 -r photos root@127.0.0.1:/usb/
check "the folder arrives whole" diff -r photos /usb0/photos
check "scp -r down" s 0 -r root@127.0.0.1:/usb/photos back
check "and comes back" diff -r photos back
check "scp -p" s 0 -p photos/index.html root@127.0.0.1:/sd/index.html
check "scp -p keeps the time and the mode" \
    [ "$(stat -c '%Y %a' /sd/index.html)" = "$(stat -c '%Y %a' photos/index.html)" ]
check "scp -r into the read-only root is refused" s 1 -r photos root@127.0.0.1:/
head -c 5000000 /dev/urandom >/usb0/big.bin
check "scp of a file of several MiB" s 0 root@127.0.0.1:/usb/big.bin big.bin
check "arrives whole" cmp big.bin /usb0/big.bin
