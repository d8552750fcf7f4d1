#!/usr/bin/env bash
# Patcher benchmark: unpack speed and memory against xz, and diff sizes against
# bsdiff (and xdelta3), on generated data and on the executable corpus.
#
# Usage: bench/run-patcher-bench.sh [BUILD_DIR]
#   BUILD_DIR  build with bin/vxpatch (default: build)
# Environment:
#   BENCH_MB=80        size of the generated input in MiB
#   BENCH_RUNS=3       timed runs per decoder; the fastest counts
#   CORPUS_DIR=DIR     executable pairs as ../shared/corpus/fetch.sh DIR writes
#                      them (default: corpus/ in the repository; skipped when absent)
#   BENCH_WORK=DIR     scratch folder (default: a temporary one, removed at the end)
#
# Targets: unpack time / xz time <= 1.1, unpack peak memory <= 2.2 x output size.
# Needs: python3, xz, bsdiff, xdelta3, /usr/bin/time.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
BUILD=${1:-$REPO/build}
VXPATCH=$BUILD/bin/vxpatch
MB=${BENCH_MB:-80}
RUNS=${BENCH_RUNS:-3}
CORPUS=${CORPUS_DIR:-$REPO/corpus}

[ -x "$VXPATCH" ] || { echo "no $VXPATCH; build the vxpatch_tool target first" >&2; exit 1; }
for tool in python3 xz bsdiff xdelta3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup-deps installs it)" >&2; exit 1; }
done

if [ -n "${BENCH_WORK:-}" ]; then
    WORK=$BENCH_WORK
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/patcher-bench.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
fi

# run LABEL CMD...: runs CMD, prints nothing, leaves "seconds peak_kib" in $WORK/LABEL.time
run() {
    local label=$1
    shift
    /usr/bin/time -o "$WORK/$label.time" -f "%e %M" "$@"
}
seconds() { cut -d' ' -f1 "$WORK/$1.time"; }
peak_kib() { cut -d' ' -f2 "$WORK/$1.time"; }
size() { stat -c %s "$1"; }

# ------------------------------------------------------------ unpack against xz
input=$WORK/input.bin
if [ ! -s "$input" ]; then
    echo "generating $MB MiB of mixed data"
    python3 "$HERE/make-bench-data.py" input "$MB" "$input"
fi
insize=$(size "$input")

echo "packing with vxpatch pack (LZMA2, strongest level)"
run pack "$VXPATCH" pack "$input" "$WORK/input.packed"
echo "  $(size "$WORK/input.packed") bytes in $(seconds pack) s"

# The same LZMA2 data as a raw stream for xz: skip the file header (magic,
# checksum, directive) and the block's property byte and unpacked size.
read -r offset dict < <(python3 - "$WORK/input.packed" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
pos = 0
def varint():
    global pos
    value = shift = 0
    while True:
        b = data[pos]; pos += 1
        value |= (b & 0x7F) << shift; shift += 7
        if b < 0x80:
            return value
for _ in range(3):
    varint()
prop = data[pos]; pos += 1
varint()
dict_size = 0xFFFFFFFF if prop == 40 else (2 | (prop & 1)) << (prop // 2 + 11)
print(pos, dict_size)
EOF
)
tail -c +$((offset + 1)) "$WORK/input.packed" >"$WORK/input.lzma2"

best() {  # LABEL RUNS CMD...: fastest of RUNS runs into $WORK/LABEL.time
    local label=$1 runs=$2 i
    shift 2
    for ((i = 0; i < runs; i++)); do
        run "$label.$i" "$@"
        if [ "$i" = 0 ] || awk -v a="$(seconds "$label.$i")" -v b="$(seconds "$label")" 'BEGIN { exit !(a < b) }'; then
            cp "$WORK/$label.$i.time" "$WORK/$label.time"
        fi
    done
}
best unpack "$RUNS" "$VXPATCH" unpack "$WORK/input.packed" "$WORK/out.vxpatch"
best xz "$RUNS" sh -c 'xz --format=raw --lzma2=dict="$1" -dc "$2" >"$3"' xz "$dict" "$WORK/input.lzma2" "$WORK/out.xz"
cmp -s "$input" "$WORK/out.vxpatch" || { echo "vxpatch unpack output differs from the input" >&2; exit 1; }
cmp -s "$input" "$WORK/out.xz" || { echo "xz output differs from the input" >&2; exit 1; }

echo
echo "unpack of $insize bytes (LZMA2 dictionary $dict):"
echo "  vxpatch unpack: $(seconds unpack) s, peak $(peak_kib unpack) KiB"
echo "  xz raw decode:  $(seconds xz) s, peak $(peak_kib xz) KiB"
awk -v u="$(seconds unpack)" -v x="$(seconds xz)" -v m="$(peak_kib unpack)" -v n="$insize" 'BEGIN {
    ratio = u / x; mem = m * 1024 / n
    printf "  time ratio unpack/xz: %.2f (target <= 1.10) %s\n", ratio, ratio <= 1.10 ? "ok" : "MISSED"
    printf "  peak memory / output: %.2f (target <= 2.20) %s\n", mem, mem <= 2.20 ? "ok" : "MISSED"
}'

# ------------------------------------------------------------ diff sizes
# diff_pair NAME OLD NEW [bsdiff]: vxpatch diff (method 1 and 2), checked by
# applydiff, against bsdiff and xdelta3 (-9, secondary compression off).
diff_pair() {
    local name=$1 old=$2 new=$3 with_bsdiff=${4:-yes}
    local m1=$WORK/d.m1 m2=$WORK/d.m2 bs=- xd
    run diff1 "$VXPATCH" diff "$old" "$new" "$m1" --method 1
    run diff2 "$VXPATCH" diff "$old" "$new" "$m2" --method 2
    "$VXPATCH" applydiff "$old" "$m1" "$WORK/d.out" && cmp -s "$new" "$WORK/d.out" ||
        { echo "applydiff did not rebuild $new" >&2; exit 1; }
    if [ "$with_bsdiff" = yes ]; then
        run bsdiff bsdiff "$old" "$new" "$WORK/d.bs"
        bs=$(size "$WORK/d.bs")
    fi
    xdelta3 -9 -S none -e -f -s "$old" "$new" "$WORK/d.xd"
    xd=$(size "$WORK/d.xd")
    printf '%-28s %10d %10d %10d %10s %10d %8s %8s\n' "$name" "$(size "$new")" "$(size "$m1")" "$(size "$m2")" \
        "$bs" "$xd" "$(seconds diff1)" "$(awk -v k="$(peak_kib diff1)" -v a="$(size "$old")" -v b="$(size "$new")" \
        'BEGIN { printf "%.2f", k * 1024 / (a + b) }')"
}

echo
echo "diff sizes in bytes (method 1 = three LZMA2 blocks, 2 = one LZMA2 block):"
printf '%-28s %10s %10s %10s %10s %10s %8s %8s\n' pair new vxpatch-m1 vxpatch-m2 bsdiff xdelta3 diff-s mem/in
small=$WORK/small.bin
head -c $((8 * 1024 * 1024)) "$input" >"$small"
python3 "$HERE/make-bench-data.py" mutate "$small" "$WORK/small.next"
diff_pair "generated 8 MiB" "$small" "$WORK/small.next"
if [ -f "$CORPUS/pairs.tsv" ]; then
    while IFS=$'\t' read -r pair _format _distance old new _note; do
        [ -f "$CORPUS/$old" ] && [ -f "$CORPUS/$new" ] || continue
        diff_pair "$pair" "$CORPUS/$old" "$CORPUS/$new"
    done < <(tail -n +2 "$CORPUS/pairs.tsv")
else
    echo "(no executable corpus at $CORPUS; fetch it with ../shared/corpus/fetch.sh DIR and set CORPUS_DIR)"
fi
# The large pair shows the generator's memory use (bsdiff would need about 17 x the old size).
python3 "$HERE/make-bench-data.py" mutate "$input" "$WORK/input.next"
diff_pair "generated $MB MiB" "$input" "$WORK/input.next" no
