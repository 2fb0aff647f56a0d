#!/usr/bin/env bash
# lftp's sftp://: a folder mirrored onto the stick and again after changes.
. "$(dirname "$0")/lib.sh"
l() {
    exits 0 lftp -c "set sftp:connect-program 'ssh -a -x ${ssh_opts[*]}'; set cmd:fail-exit yes
        open -u root, -p $port sftp://127.0.0.1; $*"
}
site site
check "mirror -R" l mirror -R site /usb/site
check "the stick holds the folder" diff -r site /usb0/site
rm site/old.txt && echo "<p>new home</p>" >site/index.html
check "mirror -R --delete" l mirror -R --delete site /usb/site
check "the stick mirrors the folder" diff -r site /usb0/site
check "audit: folder made" audit_has "Create /usb/site/img"
