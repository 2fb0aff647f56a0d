# Sourced by each client test, run as TEST SERVER PLUGIN in its own device
# root: fills the root with the demo's sample data, starts Debian's sshd on a
# free loopback port with SERVER and PLUGIN as its SFTP subsystem, stops it
# when the test ends, however it ends, and goes on in $work.  `check WHAT
# COMMAND...` reports a failed check and goes on; `fail` ends the test.  What
# the clients say goes to $work/client.log, shown when the test fails.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(cd "$here/../.." && pwd)
. "$src/tests/sanitizer-reports.sh"
server=${1:?usage: TEST SERVER PLUGIN}
plugin=${2:?usage: TEST SERVER PLUGIN}
if [ "$server" = "-" ]; then
    echo "SKIP: no SFTP host (host/) in this tree"
    exit 77
fi

work=$(mktemp -d /tmp/clients.XXXXXX)
keys=$work/keys
sshd_log=$work/sshd.log
sshd_pid=
failed=0
ssh_opts=(-i "$keys/client_key" -o BatchMode=yes -o StrictHostKeyChecking=yes
    -o UserKnownHostsFile="$keys/known_hosts")

fail() { echo "FAIL: $*" >&2; exit 1; }
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failed=1; fi; }
exits() { local rc=0; "${@:2}" 2>>"$work/client.log" || rc=$?; [ "$rc" = "$1" ]; }
site() { # a small folder to copy
    mkdir -p "$1/img" && head -c 100000 /dev/urandom >"$1/img/a.png"
    echo "<p>home</p>" >"$1/index.html" && echo old >"$1/old.txt"
}

stop_sshd() {
    [ -z "$sshd_pid" ] || { kill -TERM "$sshd_pid"; wait "$sshd_pid"; } 2>/dev/null || true
    sshd_pid=
}

# A sanitizer report from any session (sanitizer builds) fails the test; the
# logs are shown when it failed.
finish() {
    local rc=$?
    stop_sshd
    [ "$rc" -ne 0 ] || [ "$failed" -eq 0 ] || rc=1
    sanitizer_reports "$work" || rc=1
    [ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] ||
        tail -n +1 "$work/client.log" "$sshd_log" >&2 2>/dev/null || true
    exit "$rc"
}
trap finish EXIT
trap 'exit 1' INT TERM

# Another process may take the free port before sshd binds it: then another.
start_sshd() {
    local attempt i
    for attempt in 1 2 3 4 5; do
        port=$(/usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        : >"$sshd_log"
        "$src/tools/sshd-run" --keys "$keys" --port "$port" --log "$sshd_log" \
            --env "ASAN_OPTIONS=log_path=$work/sanitizer.asan" \
            --env "UBSAN_OPTIONS=log_path=$work/sanitizer.ubsan:print_stacktrace=1" \
            -- "$server" -P "$plugin" &
        sshd_pid=$!
        for i in $(seq 300); do
            grep -q "Server listening on 127.0.0.1 port $port" "$sshd_log" && return 0
            kill -0 "$sshd_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_sshd
    done
    fail "sshd did not start"
}

# An audit line of the device's log service whose text is exactly $1.
audit_has() {
    awk -v t=" - $1" 'substr($0, length($0) - length(t) + 1) == t { found = 1 }
        END { exit !found }' /var/log/messages 2>/dev/null ||
        { echo "no audit line \"$1\" in /var/log/messages" >&2; return 1; }
}

# The update service took KIND NAME of SIZE bytes exactly COUNT times (1).
handed_over() {
    [ "$(grep -c " $1 $2 $3 " /var/lib/tqupd/jobs 2>/dev/null)" = "${4:-1}" ]
}

"$src/tools/sample-device" /
start_sshd
cd "$work"
