# Sourced by the script tests. sanitizer_reports DIR prints every sanitizer
# report that a server under test left in DIR (sanitizer builds write them
# there) and fails when there was one.
sanitizer_reports() {
    local report found=0
    for report in "$1"/sanitizer.*; do
        [ -e "$report" ] || continue
        echo "FAIL: sanitizer report ($report):" >&2
        cat "$report" >&2
        found=1
    done
    return "$found"
}
