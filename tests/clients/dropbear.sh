#!/usr/bin/env bash
# Through Dropbear, whose SFTP server is the installed one with its installed
# plug-in: OpenSSH's sftp, and curl's sftp:// (libssh2) with an upload into
# folders that curl creates and the exit codes of refusals.
ssh_server=dropbear
. "$(dirname "$0")/lib.sh"
curl -V | grep -q '^Protocols:.* sftp' || fail "this curl has no sftp:// support"
c() { install -D "$keys/known_hosts" ~/.ssh/known_hosts  # where curl checks the host key
    curl -sS -u root: --key "$keys/client_key" --pubkey "$keys/client_key.pub" "$@"; }
printf 'ls -1 /\n-rm /nv/cfg/office.xml\n' |
    sftp -b - -P "$port" "${ssh_opts[@]}" root@127.0.0.1 >sftp.out 2>>client.log || fail sftp
check "top of the tree" [ "$(grep -x '/[a-z]*' sftp.out | xargs)" = "/nv /sd /upload /usb" ]
check "refused delete" grep -qF 'remote delete /nv/cfg/office.xml: Permission denied' client.log
check "curl: upload into created folders" c --ftp-create-dirs -T /sd/readme.txt "$url/usb/a/b/"
check "curl: stored on the stick" cmp -s /sd/readme.txt /usb0/a/b/readme.txt
check "curl: upload into the read-only root: exit 9" exits 9 c -T /sd/readme.txt "$url/upload.bin"
check "audit: refused upload" audit_has "Open /upload.bin failed: Operation not permitted"
ssh -p "$port" "${ssh_opts[@]}" root@127.0.0.1 'echo shell >/tmp/shell' </dev/null &>/dev/null || :
check "no shell for a command" [ ! -e /tmp/shell ]
