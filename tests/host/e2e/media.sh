#!/usr/bin/env bash
# Removable media: below the stick's top folder a client may create, upload,
# rename, download, delete and remove; nothing moves between the stick and
# its profile folder; the profile folder holds at most 20 profiles.
. "$(dirname "$0")/lib.sh"

head -c 200000 /dev/urandom >data.bin
sftp_batch >usb.out <<'B'
mkdir /usb/backup
put data.bin /usb/backup/data.bin
rename /usb/backup/data.bin /usb/backup/moved.bin
ls -1 /usb/backup
get /usb/backup/moved.bin back.bin
rm /usb/backup/moved.bin
rmdir /usb/backup
put data.bin /usb/loose.bin
-rename /usb/loose.bin /usb/cfg/loose.bin
-rmdir /usb
B
cmp data.bin back.bin || fail "the download differs from the upload"
grep -qx '/usb/backup/moved.bin' usb.out || fail "listing: $(cat usb.out)"
[ ! -e /usb0/backup ] || fail "the folder was not removed"
[ -f /usb0/loose.bin ] && [ ! -e /usb0/cfg/loose.bin ] || fail "moved into the profile folder"
[ -d /usb0 ] || fail "the stick's top folder went away"
audit_has "Create /usb/backup"
audit_has "Copy remote to /usb/backup/data.bin"
audit_has "Rename /usb/backup/data.bin to /usb/backup/moved.bin"
audit_has "Copy /usb/backup/moved.bin to remote"
audit_has "Delete /usb/backup/moved.bin"
audit_has "Remove /usb/backup"
audit_has "Rename /usb/loose.bin to /usb/cfg/loose.bin failed: Operation not permitted"

# The stick's profile folder: 20 profiles (other names do not count), then
# nothing more is written until one goes.
echo '<profile/>' >p.xml
{
    echo "mkdir /usb/cfg"
    echo "put p.xml /usb/cfg/notes.txt"
    for i in $(seq -w 1 20); do echo "put p.xml /usb/cfg/p$i.xml"; done
    echo "-put p.xml /usb/cfg/p21.xml"
    echo "rm /usb/cfg/p01.xml"
    echo "put p.xml /usb/cfg/p22.xml"
} | sftp_batch >limit.out
refused limit.out 'dest open "/usb/cfg/p21.xml": Permission denied'
[ ! -e /usb0/cfg/p21.xml ] && [ -f /usb0/cfg/p22.xml ] || fail "the limit of 20: $(ls /usb0/cfg)"
audit_has "Open /usb/cfg/p21.xml failed: Operation not permitted"
audit_has "Delete /usb/cfg/p01.xml"
audit_has "Copy remote to /usb/cfg/p22.xml"
echo PASS
