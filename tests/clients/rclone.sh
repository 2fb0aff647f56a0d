#!/usr/bin/env bash
# rclone's sftp backend (no shell: sizes and times only): /nv/cfg backed up and
# listed, a folder copied and synced, a firmware image uploaded.
. "$(dirname "$0")/lib.sh"
export RCLONE_CONFIG=$work/rclone.conf RCLONE_CONFIG_DEV_TYPE=sftp \
    RCLONE_CONFIG_DEV_HOST=127.0.0.1 RCLONE_CONFIG_DEV_PORT=$port RCLONE_CONFIG_DEV_USER=root \
    RCLONE_CONFIG_DEV_KEY_FILE=$keys/client_key RCLONE_CONFIG_DEV_KNOWN_HOSTS_FILE=$keys/known_hosts
r() { exits 0 rclone -q "$@"; }
check "copy /nv/cfg" r copy dev:/nv/cfg backup
check "the backup holds what is there" \
    [ "$(ls backup | xargs)" = "$(ls /flash/cfg | sort - <(echo help) | xargs)" ]
site site && touch -d '2020-01-02 03:04:05' site/index.html
check "copy to the stick" r copy site dev:/usb/site
check "the time is kept" [ "$(stat -c %Y /usb0/site/index.html)" = "$(stat -c %Y site/index.html)" ]
rm site/old.txt && echo "<p>new home</p>" >site/index.html
check "sync" r sync site dev:/usb/site
check "the stick mirrors the folder" diff -r site /usb0/site
head -c 500000 /dev/urandom >fw-3.0.bin
check "copy into /upload/firmware/" r copy fw-3.0.bin dev:/upload/firmware/
check "firmware handed over once" handed_over firmware fw-3.0.bin 500000
cp /flash/cfg/lab.xml site.xml && gzip -k site.xml  # its header holds the name and time
touch -d 2024-05-06 site.xml.gz  # an older file: rclone sets its time after the upload
check "copyto a profile made with gzip" r copyto site.xml.gz dev:/nv/cfg/site.xml
check "profile installed once" handed_over config site.xml "$(stat -c %s site.xml)"
