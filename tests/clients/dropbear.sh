#!/usr/bin/env bash
# The OpenSSH client and curl's sftp:// through Dropbear, whose SFTP server is
# the installed tqsftp-server (shown at Dropbear's fixed path by the test's
# device root), loading the installed plug-in by default.
. "$(dirname "$0")/lib.sh"
cd "$work"
stop_sshd
sshd_log=$work/dropbear.log
port=$(/usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$src/tools/dropbear-run" --keys "$keys" --port "$port" --log "$sshd_log" \
    --env "ASAN_OPTIONS=log_path=$work/sanitizer.asan" \
    --env "UBSAN_OPTIONS=log_path=$work/sanitizer.ubsan:print_stacktrace=1" &
sshd_pid=$!
for i in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    [ "$i" -lt 100 ] && kill -0 "$sshd_pid" || fail "dropbear did not start"
    sleep 0.1
done

echo "a note" >note.txt
sftp -q -b - -P "$port" -i "$keys/client_key" -o BatchMode=yes \
    -o StrictHostKeyChecking=yes -o UserKnownHostsFile="$keys/known_hosts" \
    root@127.0.0.1 >sftp.out 2>&1 <<'BATCH' || fail "the sftp batch failed: $(cat sftp.out)"
ls -1 /
put note.txt /usb/note.txt
get /usb/note.txt back.txt
-rm /nv/cfg/office.xml
BATCH
[ "$(grep -x '/[a-z]*' sftp.out | tr '\n' ' ')" = "/nv /sd /upload /usb " ] ||
    fail "top of the tree: $(cat sftp.out)"
cmp note.txt /usb0/note.txt && cmp note.txt back.txt || fail "upload and download"
grep -qF 'remote delete /nv/cfg/office.xml: Permission denied' sftp.out &&
    [ -e /flash/cfg/office.xml ] || fail "refused delete: $(cat sftp.out)"
audit_has "Copy remote to /usb/note.txt"

mkdir -p ~/.ssh
cp "$keys/known_hosts" ~/.ssh/known_hosts
c() { curl -sS -u root: --key "$keys/client_key" --pubkey "$keys/client_key.pub" "$@"; }
[ "$(c -l "sftp://127.0.0.1:$port/" | grep -vx '\.\|\.\.' | sort | tr '\n' ' ')" = \
    "nv sd upload usb " ] || fail "curl: top of the tree"
c -T note.txt "sftp://127.0.0.1:$port/usb/curl.txt"
cmp note.txt /usb0/curl.txt || fail "curl: upload"
echo "PASS"
