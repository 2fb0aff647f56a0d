#!/usr/bin/env bash
# tqsftp-server with the plug-in against Debian's /usr/lib/openssh/sftp-server,
# both driven by the OpenSSH client (sftp -b BATCH -D SERVER) on the same
# real folder, the USB stick /usb0 of a device root (client path /usb for
# ours, /usb0 for theirs).  Workloads: upload and download of one large
# file, a long listing of a folder of many files, many small uploads, and
# many short sessions that each list one folder (a monitoring poll).
#
# Each server is charged for its own processor time and peak resident set
# only (of the server process, from wait4 in server_rusage), the median of
# several runs, with the session's wall time beside it; the two servers take
# turns within each run, each first in every other run.  Then callgrind counts the instructions of each
# server per small upload: the count of a session with N uploads less that
# of a session with none, divided by N.
#
# usage: sftp_bench.sh SERVER PLUGIN SERVER_RUSAGE [LAYOUT]
#        PLUGIN - runs the server with no -P: the plug-in it was installed with
# environment: TQ_BENCH_MIB (256), TQ_BENCH_FILES (3000), TQ_BENCH_SMALL (500),
#              TQ_BENCH_SESSIONS (40), TQ_BENCH_RUNS (5),
#              TQ_BENCH_CG_SMALL (50, 0 skips callgrind),
#              TQ_BENCH_WORKLOADS (upload download list small sessions)
set -euo pipefail

usage="usage: sftp_bench.sh SERVER PLUGIN SERVER_RUSAGE [LAYOUT]"
ours=${1:?$usage}
plugin=${2:?$usage}
rusage=${3:?$usage}
layout=${4:-build tree}
theirs=/usr/lib/openssh/sftp-server
mib=${TQ_BENCH_MIB:-256}
files=${TQ_BENCH_FILES:-3000}
small=${TQ_BENCH_SMALL:-500}
sessions=${TQ_BENCH_SESSIONS:-40}
runs=${TQ_BENCH_RUNS:-5}
cg_small=${TQ_BENCH_CG_SMALL:-50}
[ -x "$theirs" ] || { echo "sftp_bench: $theirs is missing (openssh-sftp-server)" >&2; exit 1; }

work=$(mktemp -d /tmp/bench.XXXXXX)
cd "$work"
head -c $((mib * 1024 * 1024)) /dev/urandom >big
mkdir small
for i in $(seq -w 1 "$small"); do head -c 2048 /dev/urandom >"small/s$i.bin"; done
mkdir /usb0/list
for i in $(seq -w 1 "$files"); do : >"/usb0/list/f$i.txt"; done

server() {
    if [ "$1" = theirs ]; then
        echo "$theirs"
    elif [ "$plugin" = - ]; then
        echo "$ours"
    else
        echo "$ours -P $plugin"
    fi
}

# session SERVER BATCH [WRAPPER...]: one client session with the server run
# through the wrapper; fails loudly when the client does.
session() {
    local s=$1 batch=$2
    shift 2
    sftp -q -b - -D "$* $(server "$s")" <<<"$batch" >/dev/null 2>"$work/err" ||
        { cat "$work/err" >&2; echo "sftp_bench: $s failed: $batch" >&2; exit 1; }
}

# timed SERVER BATCH [COUNT]: runs the session COUNT times (1) and prints,
# for one session, the wall time and the server's own processor time, both
# in ms, the times the server slept (voluntary context switches) and its
# peak resident set in KiB (the largest of the sessions).
timed() {
    local start end i
    rm -f "$work/ru"
    start=$(date +%s%N)
    for ((i = 0; i < ${3:-1}; i++)); do
        session "$1" "$2" "$rusage" "$work/ru"
    done
    end=$(date +%s%N)
    awk -v ns=$((end - start)) '{ cpu += $1 + $2; sl += $3; if ($5 > rss) rss = $5 }
        END { printf "%.3f %.3f %d %d\n", ns / 1e6 / NR, cpu / 1e3 / NR, sl / NR, rss }' "$work/ru"
}

# The batches, with the stick's path as each server sees it.
batch() {
    local usb=/usb
    [ "$2" = theirs ] && usb=/usb0
    case $1 in
    upload) echo "put big $usb/big" ;;
    download) echo "get $usb/big got" ;;
    list) echo "ls -l $usb/list" ;;
    sessions) echo "ls $usb" ;;
    small) echo "put small/* $usb/small/" ;;
    none) echo "cd $usb/small" ;;
    esac
}

# Leaves the stick as each workload expects it.
prepare() {
    case $1 in
    upload) rm -f /usb0/big ;;
    download) rm -f got; [ -f /usb0/big ] || cp big /usb0/big ;;
    small | none) rm -rf /usb0/small; mkdir /usb0/small ;;
    esac
}

check() {
    case $1 in
    download) cmp -s big got || { echo "sftp_bench: $2: download differs" >&2; exit 1; } ;;
    small) [ "$(ls /usb0/small | wc -l)" -eq "$small" ] ||
        { echo "sftp_bench: $2: small uploads missing" >&2; exit 1; } ;;
    esac
}

declare -A wall cpu sleeps rss
workloads=${TQ_BENCH_WORKLOADS:-upload download list small sessions}
for w in $workloads; do
    count=1
    [ "$w" = sessions ] && count=$sessions
    for r in $(seq "$runs"); do
        # Each goes first in every other run: neither always finds what the
        # other left (caches, free memory, the client's pages) or not.
        order="ours theirs"
        [ $((r % 2)) -eq 0 ] && order="theirs ours"
        for s in $order; do
            prepare "$w"
            read -r t c v m < <(timed "$s" "$(batch "$w" "$s")" "$count")
            wall[$w.$s]+="$t "
            cpu[$w.$s]+="$c "
            sleeps[$w.$s]+="$v "
            rss[$w.$s]+="$m "
            check "$w" "$s"
        done
    done
done

label() {
    case $1 in
    upload) echo "upload $mib MiB" ;;
    download) echo "download $mib MiB" ;;
    list) echo "ls -l of $files files" ;;
    small) echo "$small uploads of 2 KiB" ;;
    sessions) echo "$sessions x ls, a session" ;;
    esac
}
# Goals, ours / theirs: processor time, and wall time where the client's
# wait matters (- for none).  The peak resident set is at most theirs for
# every workload.
goal() {
    case $1 in small | sessions) echo 0.85 ;; *) echo 0.80 ;; esac
}
wall_goal() {
    case $1 in upload | download | list) echo 1.00 ;; *) echo - ;; esac
}
med() {
    tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

echo "$layout: $(server ours)"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)   median of $runs runs"
printf '%-24s %32s   %24s   %30s   %13s\n' "" "server processor time, ms" \
    "peak resident set, KiB" "session wall time, ms" "server sleeps"
printf '%-24s %8s %8s %6s %5s %4s   %7s %7s %4s %4s   %8s %8s %6s %4s %4s   %6s %6s\n' \
    workload ours theirs ratio goal "" ours theirs goal "" ours theirs ratio goal "" ours theirs
for w in $workloads; do
    awk -v l="$(label "$w")" -v g="$(goal "$w")" -v wg="$(wall_goal "$w")" \
        -v a="$(med "${cpu[$w.ours]}")" -v b="$(med "${cpu[$w.theirs]}")" \
        -v c="$(med "${wall[$w.ours]}")" -v d="$(med "${wall[$w.theirs]}")" \
        -v e="$(med "${sleeps[$w.ours]}")" -v f="$(med "${sleeps[$w.theirs]}")" \
        -v m="$(med "${rss[$w.ours]}")" -v n="$(med "${rss[$w.theirs]}")" 'BEGIN {
        r = b > 0 ? a / b : 0
        wr = d > 0 ? c / d : 0
        printf "%-24s %8.2f %8.2f %6.3f %5s %4s   %7d %7d %4s %4s   %8.1f %8.1f %6.3f %4s %4s   %6d %6d\n",
               l, a, b, r, "<=" g, (r <= g ? "PASS" : "MISS"),
               m, n, "<=", (m <= n ? "PASS" : "MISS"),
               c, d, wr, (wg == "-" ? "" : "<=" wg), (wg == "-" ? "" : (wr <= wg ? "PASS" : "MISS")), e, f
    }'
done

# callgrind SERVER BATCH: the server's instruction count for one session.
callgrind() {
    rm -f "$work"/cg.*
    session "$1" "$2" valgrind --tool=callgrind -q "--callgrind-out-file=$work/cg.%p"
    sed -n 's/^summary: //p; s/^totals: //p' "$work"/cg.* | head -n 1
}

if [ "$cg_small" -gt 0 ]; then
    small=$cg_small
    rm -rf small/*
    for i in $(seq -w 1 "$small"); do head -c 2048 /dev/urandom >"small/s$i.bin"; done
    declare -A per
    for s in ours theirs; do
        prepare none
        base=$(callgrind "$s" "$(batch none "$s")")
        prepare small
        n=$(callgrind "$s" "$(batch small "$s")")
        check small "$s"
        per[$s]=$(((n - base) / small))
    done
    awk -v a="${per[ours]}" -v b="${per[theirs]}" -v n="$small" 'BEGIN {
        printf "instructions per small upload (callgrind, %d uploads less none): ours %d, theirs %d, ratio %.3f %s\n",
               n, a, b, a / b, (a < b ? "PASS" : "MISS")
    }'
fi
rm -rf "$work" /usb0/list /usb0/small /usb0/big
