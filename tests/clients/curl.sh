#!/usr/bin/env bash
# curl's sftp:// (libssh2): a listing, an upload into folders that curl
# creates, the free space, the exit codes of refusals.
. "$(dirname "$0")/lib.sh"

curl -V | grep -q '^Protocols:.* sftp' || fail "this curl has no sftp:// support"
mkdir -p ~/.ssh  # curl checks the host key against ~/.ssh/known_hosts
cp "$keys/known_hosts" ~/.ssh/known_hosts
url=sftp://127.0.0.1:$port
c() { curl -sS -u root: --key "$keys/client_key" --pubkey "$keys/client_key.pub" "$@"; }
check "top of the tree" [ "$(c -l "$url/" | grep -vx '\.\|\.\.' | sort | tr '\n' ' ')" = "nv sd upload usb " ]
head -c 200000 /dev/urandom >upload.bin
check "upload into created folders" c --ftp-create-dirs -T upload.bin "$url/usb/photos/2024/upload.bin"
check "stored on the stick" cmp -s upload.bin /usb0/photos/2024/upload.bin
check "download" cmp -s upload.bin <(c "$url/usb/photos/2024/upload.bin")
check "statvfs" exits 0 c -D statvfs.out -o /dev/null -Q "statvfs /usb" "$url/sd/readme.txt"
check "statvfs: the USB stick's size" [ "$(awk '/^f_frsize/ { s = $2 } /^f_blocks/ { b = $2 }
    END { print s, b }' statvfs.out)" = "$(stat -f -c '%S %b' /usb0)" ]

check "upload into the read-only root: exit 9" exits 9 c -T upload.bin "$url/upload.bin"
check "download outside the tree: exit 9" exits 9 c -o passwd "$url/etc/passwd"
check "download of what is not there: exit 78" exits 78 c -o missing "$url/sd/missing.txt"
check "refusals changed nothing" [ ! -e /tmp/sftp/upload.bin -a ! -e passwd ]
check "audit: refused upload" audit_has "Open /upload.bin failed: Operation not permitted"
