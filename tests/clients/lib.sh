# Shared by the client tests, sourced by each: starts Debian's sshd on a free
# loopback port inside this test's device root, with tqsftp-server and the
# plug-in as its SFTP subsystem, and stops it when the test ends, however it
# ends.  Every test gets a device root with the sample data of the demo.
#
# A test is run as: TEST SERVER PLUGIN, where SERVER is "-" while no host is
# built; the test is then skipped (exit code 77).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(cd "$here/../.." && pwd)
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
port=

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

stop_sshd() {
    [ -n "$sshd_pid" ] || return 0
    kill -TERM "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
    sshd_pid=
}

# Reports of the sanitizers (sanitizer builds) from any session, and the
# server's log when the test failed.
finish() {
    local rc=$?
    stop_sshd
    local report
    for report in "$work"/sanitizer.*; do
        [ -e "$report" ] || continue
        echo "FAIL: sanitizer report from a session ($report):" >&2
        cat "$report" >&2
        rc=1
    done
    if [ "$rc" -ne 0 ] && [ "$rc" -ne 77 ] && [ -s "$sshd_log" ]; then
        echo "--- sshd log:" >&2
        cat "$sshd_log" >&2
    fi
    exit "$rc"
}
trap finish EXIT
trap 'exit 1' INT TERM

free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Another process may take the free port before sshd binds it: then try
# another one.
start_sshd() {
    local attempt i
    for attempt in 1 2 3 4 5; do
        port=$(free_port)
        : >"$sshd_log"
        "$src/tools/sshd-run" --keys "$keys" --port "$port" --log "$sshd_log" \
            --env "ASAN_OPTIONS=log_path=$work/sanitizer.asan" \
            --env "UBSAN_OPTIONS=log_path=$work/sanitizer.ubsan:print_stacktrace=1" \
            -- "$server" -P "$plugin" &
        sshd_pid=$!
        for i in $(seq 300); do
            if grep -q "Server listening on 127.0.0.1 port $port" "$sshd_log"; then
                return 0
            fi
            kill -0 "$sshd_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_sshd
    done
    fail "sshd did not start"
}

# sftp through sshd, the commands on standard input; checks the host key.
sftp_batch() {
    sftp -q -b - -P "$port" -i "$keys/client_key" -o BatchMode=yes \
        -o StrictHostKeyChecking=yes -o UserKnownHostsFile="$keys/known_hosts" \
        root@127.0.0.1
}

# An audit line of the device's log service whose text is exactly $1.
audit_has() {
    awk -v t=" - $1" 'substr($0, length($0) - length(t) + 1) == t { found = 1 }
        END { exit !found }' /var/log/messages ||
        fail "no audit line \"$1\" in /var/log/messages"
}

"$src/tools/sample-device" /
start_sshd
