#!/usr/bin/env bash
# The tree as a client sees it: the top folders, refusals outside the tree
# and in read-only places, the help files byte for byte, and links planted
# on the USB stick, which expose and change nothing outside it.
. "$(dirname "$0")/lib.sh"

echo "not a help text" >mine
sftp_batch >top.out <<'B'
ls -1 /
-get /etc/passwd passwd
-put mine /etc/mine
-mkdir /etc/made
-put mine /upload/firmware/help
-put mine /nv/cfg/help
-mkdir /upload/firmware/sub
B
[ "$(grep -v '^sftp>' top.out | sed -n '1,4s#^/##p' | tr '\n' ' ')" = "nv sd upload usb " ] ||
    fail "top of the tree: $(cat top.out)"
[ ! -e passwd ] || fail "/etc/passwd was downloaded"
[ ! -e /etc/mine ] && [ ! -e /etc/made ] || fail "written outside the tree"
refused top.out 'dest open "/upload/firmware/help": Permission denied'
refused top.out 'remote mkdir "/upload/firmware/sub": Permission denied'
[ ! -e /tmp/sftp/upload/firmware/sub ] || fail "a folder was made in an upload folder"
audit_has "Open /etc/mine failed: Permission denied"
audit_has "Open /upload/firmware/help failed: Operation not permitted"
audit_has "Open /nv/cfg/help failed: Operation not permitted"

# The six help files hold exactly their texts, the read-only ones unchanged.
sftp_batch >/dev/null <<'B'
get /upload/firmware/help firmware
get /upload/ssh-key/help ssh-key
get /upload/https-cert/help https-cert
get /upload/ldap-cert/help ldap-cert
get /upload/vpn-cert/help vpn-cert
get /nv/cfg/help cfg
B
same_text() {
    printf "$2" | cmp - "$1" || fail "help file $1: $(od -c "$1" | head -3)"
}
same_text firmware 'To perform a firmware update, copy the new firmware into this directory.'
same_text ssh-key 'To install a SSH key, copy the key into this directory.'
same_text https-cert 'To install the HTTPS certificate, copy the certificate into this directory.'
same_text ldap-cert 'To install the LDAP CA certificate, copy the certificate into this directory.'
same_text vpn-cert 'To install a VPN certificate, copy the certificate, private key and any CA certificates in this folder. P12 files containing everything are also supported.\r\n\r\nWARNING:file uploaded to the device cannot be downloaded back!\r\n'
same_text cfg 'Configuration profiles may be copied to/from this directory.'
audit_has "Copy /upload/vpn-cert/help to remote"

# Links planted on the stick: one to a file outside, one to a folder outside.
# The link itself is listed as a link and can be removed.
mkdir -p /run/outside
echo secret >/run/outside/secret
ln -s /etc/shadow /usb0/leak
ln -s /run/outside /usb0/dir
sftp_batch >links.out <<'B'
ls -l /usb
-get /usb/leak leak
-get /usb/dir/secret secret
-put mine /usb/dir/mine
-mkdir /usb/dir/made
-rm /usb/dir/secret
-rename /usb/dir/secret /usb/stolen
-ln /usb/dir/secret /usb/hard
-ls /usb/dir/
rm /usb/leak
B
grep -Eq '^lrwxrwxrwx .* leak$' links.out && grep -Eq '^lrwxrwxrwx .* dir$' links.out ||
    fail "the links are not listed as links: $(cat links.out)"
[ ! -e leak ] && [ ! -e secret ] || fail "a file was downloaded through a link"
[ "$(ls /run/outside)" = secret ] && [ "$(cat /run/outside/secret)" = secret ] ||
    fail "the folder outside changed: $(ls -l /run/outside)"
[ "$(ls /usb0)" = dir ] && [ -e /etc/shadow ] || fail "the stick: $(ls -l /usb0)"
audit_has "Open /usb/dir/mine failed: Permission denied"
audit_has "Create /usb/dir/made failed: Permission denied"
audit_has "Delete /usb/dir/secret failed: Permission denied"
audit_has "Rename /usb/dir/secret to /usb/stolen failed: Permission denied"
audit_has "Link /usb/dir/secret to /usb/hard failed: Permission denied"
audit_has "Delete /usb/leak"
echo PASS
