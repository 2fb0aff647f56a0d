#!/usr/bin/env bash
# PuTTY's psftp (putty-tools): a profile download resumed, the current one kept, two listings.
. "$(dirname "$0")/lib.sh"
puttygen "$keys/client_key" -O private -o key.ppk
fp=$(ssh-keygen -lf "$keys/host_ed25519_key.pub" | cut -d' ' -f2)
psftp -batch -be -P "$port" -i key.ppk -hostkey "$fp" root@127.0.0.1 >>client.log 2>&1 <<'B' ||
get /nv/cfg/office.xml office.gz
!head -c 100 office.gz >part.gz
reget /nv/cfg/office.xml part.gz
rm /nv/cfg/office.xml
ls /nv/cfg
ls /nv/cfg
B
    fail "the psftp batch failed"
check "the profile download resumed" cmp office.gz part.gz
check "the current profile kept" audit_has "Delete /nv/cfg/office.xml failed: Operation not permitted"
check "help listed each time" [ "$(grep -c ' help$' client.log)" = 2 ]
