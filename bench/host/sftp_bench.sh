#!/usr/bin/env bash
# tqsftp-server with the plug-in against Debian's /usr/lib/openssh/sftp-server,
# both driven by the OpenSSH client (sftp -b BATCH -D SERVER) on the same
# real folder, the USB stick /usb0 of a device root (client path /usb for
# ours, /usb0 for theirs).  Workloads: upload and download of one large
# file, a long listing of a folder of many files, many small uploads.  Each
# time is the median of several runs of the whole client session; the two
# servers take turns within each run.
#
# usage: sftp_bench.sh SERVER PLUGIN
# environment: TQ_BENCH_MIB (256), TQ_BENCH_FILES (2000), TQ_BENCH_SMALL (500),
#              TQ_BENCH_RUNS (5)
set -euo pipefail

ours=${1:?usage: sftp_bench.sh SERVER PLUGIN}
plugin=${2:?usage: sftp_bench.sh SERVER PLUGIN}
theirs=/usr/lib/openssh/sftp-server
mib=${TQ_BENCH_MIB:-256}
files=${TQ_BENCH_FILES:-2000}
small=${TQ_BENCH_SMALL:-500}
runs=${TQ_BENCH_RUNS:-5}
[ -x "$theirs" ] || { echo "sftp_bench: $theirs is missing (openssh-sftp-server)" >&2; exit 1; }

work=$(mktemp -d /tmp/bench.XXXXXX)
cd "$work"
head -c $((mib * 1024 * 1024)) /dev/urandom >big
mkdir small
for i in $(seq -w 1 "$small"); do head -c 2048 /dev/urandom >"small/s$i.bin"; done
mkdir /usb0/list
for i in $(seq -w 1 "$files"); do : >"/usb0/list/f$i.txt"; done

# session SERVER BATCH: runs one client session; prints its wall time and
# the processor time of the client and the server together, both in ms.
session() {
    local cmd=$1 start end cpu TIMEFORMAT='%3U %3S'
    if [ "$cmd" = ours ]; then cmd="$ours -P $plugin"; else cmd=$theirs; fi
    start=$(date +%s%N)
    cpu=$( { time sftp -q -b - -D "$cmd" <<<"$2" >/dev/null 2>"$work/err"; } 2>&1 ) ||
        { cat "$work/err" >&2; echo "sftp_bench: failed: $2" >&2; exit 1; }
    end=$(date +%s%N)
    awk -v ns=$((end - start)) -v cpu="$cpu" \
        'BEGIN { split(cpu, t, " "); printf "%.3f %.0f\n", ns / 1e6, (t[1] + t[2]) * 1000 }'
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
    esac
}

# Leaves the stick as each workload expects it.
prepare() {
    case $1 in
    upload) rm -f /usb0/big ;;
    download) rm -f got; [ -f /usb0/big ] || cp big /usb0/big ;;
    small) rm -rf /usb0/small; mkdir /usb0/small ;;
    esac
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

declare -A wall cpu
workloads="upload download list small"
for w in $workloads; do
    for r in $(seq "$runs"); do
        for s in ours theirs; do
            prepare "$w"
            read -r t c < <(session "$s" "$(batch "$w" "$s")")
            wall[$w.$s]+="$t "
            cpu[$w.$s]+="$c "
            if [ "$w" = download ]; then cmp -s big got || { echo "sftp_bench: $s: download differs" >&2; exit 1; }; fi
            if [ "$w" = small ]; then [ "$(ls /usb0/small | wc -l)" -eq "$small" ] || { echo "sftp_bench: $s: small uploads missing" >&2; exit 1; }; fi
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
    case $1 in upload | download) echo 1.05 ;; *) echo 1.20 ;; esac
}

med() {
    tr ' ' '\n' <<<"$1" | grep . | median
}

printf '%-22s %24s %6s %6s   %18s %6s\n' "" "wall time, ms" "" "" "processor time, ms" ""
printf '%-22s %12s %11s %6s %6s   %5s %6s %6s\n' workload tqsftp-server sftp-server \
    ratio goal ours theirs ratio
for w in $workloads; do
    awk -v l="$(label "$w")" -v g="$(goal "$w")" \
        -v a="$(med "${wall[$w.ours]}")" -v b="$(med "${wall[$w.theirs]}")" \
        -v c="$(med "${cpu[$w.ours]}")" -v d="$(med "${cpu[$w.theirs]}")" 'BEGIN {
        r = a / b
        printf "%-22s %12.1f %11.1f %6.3f %6s   %5d %6d %6.3f%s\n", l, a, b, r, "<" g,
               c, d, (d > 0 ? c / d : 0), (r <= g ? "" : "  (over the goal)")
    }'
done
echo "median of $runs runs; each time is one whole sftp session, client included"
echo "(processor time: the client and the server together)"
rm -rf "$work" /usb0/list /usb0/small /usb0/big
