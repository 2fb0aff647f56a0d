#!/usr/bin/env bash
# curl's sftp:// (libssh2) through sshd: a listing, a help file, uploads into
# /usb and the exit codes of refusals.
. "$(dirname "$0")/lib.sh"
cd "$work"

curl -V | grep -q '^Protocols:.* sftp' || fail "this curl has no sftp:// support"
# curl checks the host key against ~/.ssh/known_hosts; HOME is the device
# root's own.
mkdir -p ~/.ssh
cp "$keys/known_hosts" ~/.ssh/known_hosts
url=sftp://127.0.0.1:$port
c() { curl -sS -u root: --key "$keys/client_key" --pubkey "$keys/client_key.pub" "$@"; }

[ "$(c -l "$url/" | grep -vx '\.\|\.\.' | sort | tr '\n' ' ')" = "nv sd upload usb " ] ||
    fail "top of the tree"
c -o https-help "$url/upload/https-cert/help"
printf 'To install the HTTPS certificate, copy the certificate into this directory.' |
    cmp - https-help || fail "HTTPS help text"

# Uploads into /usb, one into folders that curl creates.
head -c 200000 /dev/urandom >upload.bin
c -T upload.bin "$url/usb/upload.bin"
cmp upload.bin /usb0/upload.bin || fail "upload into /usb"
c --ftp-create-dirs -T upload.bin "$url/usb/photos/2024/upload.bin"
c -o back.bin "$url/usb/photos/2024/upload.bin"
cmp upload.bin back.bin || fail "upload with created folders and download"
audit_has "Create /usb/photos"

# Refusals: curl's exit code names the kind of failure.
refused() { # want-exit what curl-args...
    local want=$1 what=$2 rc=0
    shift 2
    c "$@" 2>/dev/null || rc=$?
    [ "$rc" -eq "$want" ] || fail "$what: curl exited $rc, not $want"
}
refused 9 "upload into the read-only root" -T upload.bin "$url/upload.bin"
refused 9 "download outside the tree" -o passwd "$url/etc/passwd"
refused 78 "download of what is not there" -o missing "$url/sd/missing.txt"
[ ! -e /tmp/sftp/upload.bin ] && [ ! -e passwd ] || fail "a refusal changed something"
audit_has "Open /upload.bin failed: Operation not permitted"
echo "PASS"
