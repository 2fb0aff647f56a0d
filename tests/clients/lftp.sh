#!/usr/bin/env bash
# lftp's sftp://: a folder mirrored onto the stick.
. "$(dirname "$0")/lib.sh"
site site
check "mirror -R" exits 0 lftp -c "set sftp:connect-program 'ssh -a -x ${ssh_opts[*]}'
    set cmd:fail-exit yes; open -u root, -p $port sftp://127.0.0.1; mirror -R site /usb/site"
check "the stick holds the folder" diff -r site /usb0/site
