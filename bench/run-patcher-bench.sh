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
#   BENCH_DIFFS=no     only the unpack figures, without the diff size table
#
# The last lines are the unpack targets, one line per input: each figure,
# its target and whether it was met.
# Targets: unpack time / xz time <= 1.1 (judged on CPU time: on a shared machine
# wall time mostly measures the wait for a core; both are printed), unpack peak
# memory <= 2.2 x output size. The diff table gives each vxpatch diff's time
# and its peak memory as a multiple of old + new size.
# Needs: python3, xz, bsdiff, xdelta3, /usr/bin/time.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
BUILD=${1:-$REPO/build}
VXPATCH=$BUILD/bin/vxpatch
MB=${BENCH_MB:-80}
RUNS=${BENCH_RUNS:-3}
CORPUS=${CORPUS_DIR:-$REPO/corpus}
DIFFS=${BENCH_DIFFS:-yes}
SUMMARY=()

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

# run LABEL CMD...: runs CMD, leaves "wall_s user_s sys_s peak_kib" in $WORK/LABEL.time
run() {
    local label=$1
    shift
    /usr/bin/time -o "$WORK/$label.time" -f "%e %U %S %M" "$@"
}
seconds() { cut -d' ' -f1 "$WORK/$1.time"; }
cpu_seconds() { awk '{ printf "%.2f", $2 + $3 }' "$WORK/$1.time"; }
peak_kib() { cut -d' ' -f4 "$WORK/$1.time"; }
size() { stat -c %s "$1"; }

# ------------------------------------------------------------ unpack against xz
# pack_plain IN OUT: a preprocessed LZMA2 file of directive 1 whose LZMA2 stream
# comes from liblzma (preset 9, as the patcher's writer); also writes OUT.lzma2,
# the bare stream, and prints the dictionary size for xz. Written here rather
# than by `vxpatch pack` so that executables inside IN do not change the
# directive and both decoders get the very same LZMA2 data.
pack_plain() {
    python3 - "$1" "$2" <<'EOF'
import lzma, sys, zlib
data = open(sys.argv[1], "rb").read()
def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80); v >>= 7
    out.append(v)
    return bytes(out)
dict_size = min(64 << 20, max(4096, len(data)))
prop = next(p for p in range(41) if ((2 | (p & 1)) << (p // 2 + 11)) >= dict_size)
dict_size = (2 | (prop & 1)) << (prop // 2 + 11)
raw = lzma.compress(data, format=lzma.FORMAT_RAW,
                    filters=[{"id": lzma.FILTER_LZMA2, "preset": 9, "dict_size": dict_size}])
open(sys.argv[2] + ".lzma2", "wb").write(raw)
with open(sys.argv[2], "wb") as out:
    out.write(varint(132781929) + varint(zlib.crc32(data) ^ 0xFFFFFFFF) + varint(1))
    out.write(bytes([prop]) + varint(len(data)) + raw)
print(dict_size)
EOF
}

# best LABEL RUNS CMD...: RUNS runs; LABEL.time gets the shortest wall time, the
# smallest CPU time and the peak memory, each the best of the runs.
best() {
    local label=$1 runs=$2 i
    shift 2
    rm -f "$WORK/$label".[0-9]*.time
    for ((i = 0; i < runs; i++)); do
        run "$label.$i" "$@"
    done
    cat "$WORK/$label".[0-9]*.time | awk '
        NR == 1 || $1 < w { w = $1 }
        NR == 1 || $2 + $3 < c { c = $2 + $3 }
        NR == 1 || $4 < m { m = $4 }
        END { print w, c, 0, m }' >"$WORK/$label.time"
}

# unpack_against_xz NAME FILE: times `vxpatch unpack` and xz on the same LZMA2 data.
# Wall time includes waiting for the CPU on a shared machine (and vxpatch's
# fsync of its output); CPU time shows the work each decoder does.
unpack_against_xz() {
    local name=$1 file=$2 dict n
    n=$(size "$file")
    dict=$(pack_plain "$file" "$WORK/packed")
    best unpack "$RUNS" "$VXPATCH" unpack "$WORK/packed" "$WORK/out.vxpatch"
    best xz "$RUNS" sh -c 'xz --format=raw --lzma2=dict="$1" -dc "$2" >"$3"' xz "$dict" "$WORK/packed.lzma2" \
        "$WORK/out.xz"
    cmp -s "$file" "$WORK/out.vxpatch" || { echo "vxpatch unpack output differs from $file" >&2; exit 1; }
    cmp -s "$file" "$WORK/out.xz" || { echo "xz output differs from $file" >&2; exit 1; }
    echo
    echo "unpack of $name: $n bytes from $(size "$WORK/packed"), best of $RUNS runs, load average $(cut -d' ' -f1 /proc/loadavg):"
    echo "  vxpatch unpack: wall $(seconds unpack) s, cpu $(cpu_seconds unpack) s, peak $(peak_kib unpack) KiB"
    echo "  xz raw decode:  wall $(seconds xz) s, cpu $(cpu_seconds xz) s, peak $(peak_kib xz) KiB"
    local verdict
    verdict=$(awk -v uw="$(seconds unpack)" -v xw="$(seconds xz)" -v uc="$(cpu_seconds unpack)" \
        -v xc="$(cpu_seconds xz)" -v m="$(peak_kib unpack)" -v n="$n" 'BEGIN {
        time = uc / xc
        mem = m * 1024 / n
        printf "  time ratio unpack/xz (cpu): %.2f, target <= 1.10: %s (wall %.2f)\n", time,
            time <= 1.10 ? "met" : "MISSED", uw / xw
        printf "  peak memory / output:       %.2f, target <= 2.20: %s\n", mem, mem <= 2.20 ? "met" : "MISSED"
    }')
    echo "$verdict"
    SUMMARY+=("$name:" "$verdict")
}

input=$WORK/input.bin
if [ ! -s "$input" ]; then
    echo "generating $MB MiB of mixed data"
    python3 "$HERE/make-bench-data.py" input "$MB" "$input"
fi
unpack_against_xz "generated $MB MiB" "$input"
if [ -f "$CORPUS/pairs.tsv" ]; then
    # every new executable of the corpus, one after the other
    while IFS=$'\t' read -r _pair _format _distance _old new _note; do
        cat "$CORPUS/$new"
    done < <(tail -n +2 "$CORPUS/pairs.tsv") >"$WORK/corpus.bin"
    unpack_against_xz "the corpus executables" "$WORK/corpus.bin"
fi

# ------------------------------------------------------------ diff sizes
print_summary() {
    echo
    echo "unpack targets (cpu time against xz on the same LZMA2 data; peak memory against the output size):"
    printf '%s\n' "${SUMMARY[@]}"
}
if [ "$DIFFS" = no ]; then
    print_summary
    exit 0
fi

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
print_summary
