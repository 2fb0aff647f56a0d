#!/usr/bin/env bash
# tqsftp-server with the plug-in against Debian's /usr/lib/openssh/sftp-server,
# both driven by the OpenSSH client (sftp -b BATCH -D SERVER) on the same
# real folder, the USB stick /usb0 of a device root (client path /usb for
# ours, /usb0 for theirs).  Workloads: upload and download of one large
# file, a long listing of a folder of many files, many small uploads.
#
# Each server is charged for its own processor time only (user + system of
# the server process, from wait4 in server_rusage), the median of several
# runs, with the session's wall time beside it; the two servers take turns
# within each run.  Then callgrind counts the instructions of each server
# per small upload: the count of a session with N uploads less that of a
# session with none, divided by N.
#
# usage: sftp_bench.sh SERVER PLUGIN SERVER_RUSAGE
# environment: TQ_BENCH_MIB (256), TQ_BENCH_FILES (2000), TQ_BENCH_SMALL (500),
#              TQ_BENCH_RUNS (5), TQ_BENCH_CG_SMALL (50, 0 skips callgrind),
#              TQ_BENCH_WORKLOADS (upload download list small: which to time)
set -euo pipefail

ours=${1:?usage: sftp_bench.sh SERVER PLUGIN SERVER_RUSAGE}
plugin=${2:?usage: sftp_bench.sh SERVER PLUGIN SERVER_RUSAGE}
rusage=${3:?usage: sftp_bench.sh SERVER PLUGIN SERVER_RUSAGE}
theirs=/usr/lib/openssh/sftp-server
mib=${TQ_BENCH_MIB:-256}
files=${TQ_BENCH_FILES:-2000}
small=${TQ_BENCH_SMALL:-500}
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
    if [ "$1" = ours ]; then echo "$ours -P $plugin"; else echo "$theirs"; fi
}

# session SERVER BATCH [WRAPPER...]: one client session with the server run
# through the wrapper; fails loudly when the client does.
session() {
    local s=$1 batch=$2
    shift 2
    sftp -q -b - -D "$* $(server "$s")" <<<"$batch" >/dev/null 2>"$work/err" ||
        { cat "$work/err" >&2; echo "sftp_bench: $s failed: $batch" >&2; exit 1; }
}

# timed SERVER BATCH: prints the session's wall time and the server's own
# processor time, both in ms, and the times the server slept (voluntary
# context switches).
timed() {
    local start end
    rm -f "$work/ru"
    start=$(date +%s%N)
    session "$1" "$2" "$rusage" "$work/ru"
    end=$(date +%s%N)
    awk -v ns=$((end - start)) '{ printf "%.3f %.3f %d\n", ns / 1e6, ($1 + $2) / 1e3, $3 }' "$work/ru"
}

# The batches, with the stick's path as each server sees it.
batch() {
    local usb=/usb
    [ "$2" = theirs ] && usb=/usb0
    case $1 in
    upload) echo "put big $usb/big" ;;
    download) echo "get $usb/big got" ;;
    list) echo "ls -l $usb/list" ;;
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

declare -A wall cpu sleeps
workloads=${TQ_BENCH_WORKLOADS:-upload download list small}
for w in $workloads; do
    for r in $(seq "$runs"); do
        for s in ours theirs; do
            prepare "$w"
            read -r t c v < <(timed "$s" "$(batch "$w" "$s")")
            wall[$w.$s]+="$t "
            cpu[$w.$s]+="$c "
            sleeps[$w.$s]+="$v "
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
    esac
}
goal() {
    case $1 in small) echo 0.95 ;; *) echo 0.90 ;; esac
}
med() {
    tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)   median of $runs runs"
printf '%-22s %30s   %22s   %13s\n' "" "server processor time, ms" "session wall time, ms" \
    "server sleeps"
printf '%-22s %8s %8s %6s %5s %4s   %8s %8s %6s   %6s %6s\n' workload ours theirs ratio goal "" \
    ours theirs ratio ours theirs
for w in $workloads; do
    awk -v l="$(label "$w")" -v g="$(goal "$w")" \
        -v a="$(med "${cpu[$w.ours]}")" -v b="$(med "${cpu[$w.theirs]}")" \
        -v c="$(med "${wall[$w.ours]}")" -v d="$(med "${wall[$w.theirs]}")" \
        -v e="$(med "${sleeps[$w.ours]}")" -v f="$(med "${sleeps[$w.theirs]}")" 'BEGIN {
        r = b > 0 ? a / b : 0
        printf "%-22s %8.1f %8.1f %6.3f %5s %4s   %8.1f %8.1f %6.3f   %6d %6d\n", l, a, b, r,
               "<=" g, (r <= g ? "PASS" : "MISS"), c, d, (d > 0 ? c / d : 0), e, f
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
