#!/usr/bin/env bash
# Profile transfers that break off or overlap: a client or a server killed in
# the middle of a profile upload blocks no later transfer, and three sessions
# download the same large profile at the same time.
. "$(dirname "$0")/lib.sh"

client=(sftp -D "$server -P $plugin")
printf '<?xml version="1.0"?>\n<profile name="site"/>\n' >/flash/cfg/site.xml
printf '<?xml version="1.0"?>\n<profile name="lab"><vlan id="7"/></profile>\n' >lab.xml
gzip -c lab.xml >lab.xml.gz
head -c 2000000 /dev/urandom >slow.gz  # sent at 50 kB/s, never finished

# A profile upload under way, then SIGKILL for the client or the server ($1).
killed_upload() {
    "${client[@]}" -l 400 -b - >killed.out 2>&1 <<<"put slow.gz /nv/cfg/slow.xml" &
    local sftp=$! served i
    for i in $(seq 200); do [ -s /ramdisk/lighty.tmp ] && break; sleep 0.05; done
    [ -s /ramdisk/lighty.tmp ] || fail "the upload did not start: $(cat killed.out)"
    served=$(awk -v p="$sftp" '$4 == p { print $1 }' /proc/[0-9]*/stat 2>/dev/null)
    [ -n "$served" ] || fail "no server process under the client"
    if [ "$1" = client ]; then kill -KILL "$sftp"; else kill -KILL "$served"; fi
    wait "$sftp" || true
    while kill -0 "$served" 2>/dev/null; do sleep 0.05; done
}

download_and_upload() {
    rm -f got.gz
    printf 'get /nv/cfg/site.xml got.gz\nput lab.xml.gz /nv/cfg/lab.xml\n' | sftp_batch >/dev/null
    gunzip -c got.gz | cmp - /flash/cfg/site.xml || fail "download after a $1 was killed"
    cmp lab.xml /flash/cfg/lab.xml && rm /flash/cfg/lab.xml || fail "upload after a $1 was killed"
}

killed_upload client && download_and_upload client
killed_upload server && [ -e /ramdisk/lighty.tmp ] || fail "the killed server left no temporary file"
download_and_upload server
[ ! -e /flash/cfg/slow.xml ] || fail "a broken-off upload was installed"

# About 5 MB of profile, downloaded by three sessions at once.
seq 110000 | sed -e '1i<profile name="big">' -e '$a</profile>' \
    -e 's/.*/  <entry id="&" value="a setting of the device"\/>/' >/flash/cfg/big.xml
pids=()
for i in 1 2 3; do
    "${client[@]}" -b - >big$i.out 2>&1 <<<"get /nv/cfg/big.xml big$i.gz" & pids+=($!)
done
for i in 1 2 3; do
    wait "${pids[i - 1]}" || fail "download $i: $(cat big$i.out)"
    gunzip -c big$i.gz | cmp - /flash/cfg/big.xml || fail "download $i is not the profile"
done
[ ! -e /ramdisk/lighty.tmp ] || fail "a transfer left its temporary file"
echo PASS
