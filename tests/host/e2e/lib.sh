# Shared by the end-to-end scenarios, sourced by each.  A scenario runs in its
# own device root as: SCENARIO SERVER PLUGIN, and drives tqsftp-server with
# Debian's OpenSSH client: sftp -b BATCH -D "SERVER -P PLUGIN".
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../sanitizer-reports.sh"

server=${1:?usage: SCENARIO SERVER PLUGIN}
plugin=${2:?usage: SCENARIO SERVER PLUGIN}
work=$(mktemp -d /tmp/e2e.XXXXXX)
cd "$work"

# Sanitizer builds: reports go to files, which fail the scenario.
export ASAN_OPTIONS=log_path=$work/sanitizer.asan
export UBSAN_OPTIONS=log_path=$work/sanitizer.ubsan:print_stacktrace=1

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

finish() {
    local rc=$?
    sanitizer_reports "$work" || rc=1
    if [ "$rc" -ne 0 ] && [ -s /var/log/messages ]; then
        echo "--- /var/log/messages:" >&2
        cat /var/log/messages >&2
    fi
    exit "$rc"
}
trap finish EXIT

# sftp with a batch on standard input; what the client printed (commands
# echoed, errors included) on standard output.  A command prefixed with "-"
# may fail; any other failure ends the scenario.
sftp_batch() {
    sftp -b - -D "$server -P $plugin" >batch.out 2>&1 || { cat batch.out >&2; fail "the sftp batch failed"; }
    cat batch.out
}
