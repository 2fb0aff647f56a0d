# Sourced by each client test (TEST SERVER PLUGIN, in its own device root):
# the demo's sample data, Debian's sshd with SERVER and PLUGIN as its SFTP
# subsystem (or Dropbear) until the test ends, then on in $work.  `check WHAT
# COMMAND...` reports and goes on, `fail` ends the test; $work/client.log and
# the server's log are shown when the test fails, as are sanitizer reports.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd) here=$src/tests/clients
. "$src/tests/sanitizer-reports.sh"
server=${1:?usage: TEST SERVER PLUGIN} plugin=${2:?usage: TEST SERVER PLUGIN}
[ "$server" != - ] || { echo "SKIP: no SFTP host (host/) in this tree"; exit 77; }
work=$(mktemp -d /tmp/clients.XXXXXX) keys=$work/keys sshd_log=$work/server.log spid= failed=0
ssh_opts=(-i "$keys/client_key" -o BatchMode=yes -o StrictHostKeyChecking=yes
    -o UserKnownHostsFile="$keys/known_hosts")
fail() { echo "FAIL: $*" >&2; exit 1; }
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failed=1; fi; }
exits() { local rc=0; "${@:2}" 2>>"$work/client.log" || rc=$?; [ "$rc" = "$1" ]; }
site() { mkdir -p "$1/img" && head -c 100000 /dev/urandom >"$1/img/a.png" &&  # a folder to copy
    echo "<p>home</p>" >"$1/index.html" && echo old >"$1/old.txt"; }
stop_sshd() { [ -z "$spid" ] || { kill "$spid"; wait "$spid"; } 2>/dev/null || :; spid=; }
finish() {
    local rc=$?; stop_sshd
    [ "$rc" -ne 0 ] || [ "$failed" -eq 0 ] || rc=1
    sanitizer_reports "$work" || rc=1
    [[ $rc =~ ^(0|77)$ ]] || tail -n +1 "$work/client.log" "$sshd_log" >&2 2>/dev/null || :
    exit "$rc"
}
trap finish EXIT && trap 'exit 1' INT TERM
# The SSH server ($ssh_server: sshd, or dropbear) on a free loopback port;
# another process may take the port before the server binds it: then another.
start_server() {
    local attempt i
    for attempt in 1 2 3 4 5; do
        port=$(/usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        : >"$sshd_log"
        "$src/tools/$ssh_server-run" --keys "$keys" --port "$port" --log "$sshd_log" \
            --env "ASAN_OPTIONS=log_path=$work/sanitizer.asan" \
            --env "UBSAN_OPTIONS=log_path=$work/sanitizer.ubsan:print_stacktrace=1" "$@" &
        spid=$!
        for i in $(seq 300); do  # Dropbear does not log that it listens
            { [ "$ssh_server" = dropbear ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") ||
                grep -q "Server listening on 127.0.0.1 port $port" "$sshd_log"; } 2>/dev/null &&
                url=sftp://127.0.0.1:$port && return 0
            kill -0 "$spid" 2>/dev/null || break
            sleep 0.1
        done
        stop_sshd
    done
    fail "$ssh_server did not start"
}
# An audit line of the device's log service whose text is exactly $1.
audit_has() {
    awk -v t=" - $1" 'substr($0, length($0) - length(t) + 1) == t { f = 1 } END { exit !f }' \
        /var/log/messages 2>/dev/null || { echo "no audit line \"$1\"" >&2; return 1; }
}
# The update service took KIND NAME of SIZE bytes exactly COUNT times (1).
handed_over() { [ "$(grep -c " $1 $2 $3 " /var/lib/tqupd/jobs 2>/dev/null)" = "${4:-1}" ]; }
"$src/tools/sample-device" /
if [ "${ssh_server:=sshd}" = sshd ]; then start_server -- "$server" -P "$plugin"
else start_server; fi
cd "$work"
