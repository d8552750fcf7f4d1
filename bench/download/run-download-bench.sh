#!/usr/bin/env bash
# Download benchmark: the updater's download task against curl, fetching the same file
# from the same local server (a sendfile server, so the server is not the limit).
#
# Usage: bench/download/run-download-bench.sh [BUILD_DIR]
#   BUILD_DIR  build with bin/bench_download (default: build)
# Environment:
#   BENCH_MB=1024   size of the served file in MiB
#   BENCH_RUNS=3    alternating runs per client; the fastest counts
#   BENCH_OUT=DIR   where the clients write (default: /dev/shm when it has room, so that
#                   the disk does not hide the clients' own speed)
#   BENCH_WORK=DIR  scratch folder (default: a temporary one, removed at the end)
#
# Targets: peak RSS growth of the download < 32 MiB; throughput >= 0.9 x curl.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD=${1:-$REPO/build}
BENCH=$BUILD/bin/bench_download
MB=${BENCH_MB:-1024}
RUNS=${BENCH_RUNS:-3}

[ -x "$BENCH" ] || { echo "no $BENCH; build the bench_download target first" >&2; exit 1; }
for tool in python3 curl cmp; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup-deps installs it)" >&2; exit 1; }
done

if [ -n "${BENCH_WORK:-}" ]; then
    WORK=$BENCH_WORK
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/download-bench.XXXXXX")
fi
OUT=${BENCH_OUT:-}
if [ -z "$OUT" ]; then
    OUT=$WORK/out
    if [ -d /dev/shm ] && [ "$(df -Pm /dev/shm | awk 'NR==2 {print $4}')" -gt $((MB * 2 + 256)) ]; then
        OUT=$(mktemp -d /dev/shm/download-bench.XXXXXX)
    fi
fi
mkdir -p "$OUT"

SERVER_PID=
cleanup() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
    rm -f "$OUT"/curl.bin "$OUT"/vx.bin
    case "$OUT" in /dev/shm/download-bench.*) rmdir "$OUT" 2>/dev/null || true ;; esac
    [ -z "${BENCH_WORK:-}" ] && rm -rf "$WORK"
    return 0
}
trap cleanup EXIT

# The file lies below a version directory, as update files do: <base>/1/big.bin.
mkdir -p "$WORK/srv/images/1"
FILE=$WORK/srv/images/1/big.bin
if [ ! -f "$FILE" ] || [ "$(stat -c %s "$FILE")" -ne $((MB * 1048576)) ]; then
    head -c $((MB * 1048576)) /dev/urandom >"$FILE"
fi

python3 "$HERE/fileserver.py" "$WORK/srv" "$WORK/port" &
SERVER_PID=$!
for _ in $(seq 100); do [ -f "$WORK/port" ] && break; sleep 0.1; done
[ -f "$WORK/port" ] || { echo "file server did not start" >&2; exit 1; }
BASE=http://127.0.0.1:$(cat "$WORK/port")/images/

best_curl=
best_vx=
worst_growth=0
for run in $(seq "$RUNS"); do
    rm -f "$OUT/curl.bin"
    t=$(curl -sS -o "$OUT/curl.bin" -w '%{time_total}' "${BASE}1/big.bin")
    [ "$(stat -c %s "$OUT/curl.bin")" -eq $((MB * 1048576)) ] || { echo "curl fetched a wrong size" >&2; exit 1; }
    rm -f "$OUT/curl.bin"

    rm -f "$OUT/vx.bin"
    line=$("$BENCH" "$BASE" 1 big.bin "$OUT/vx.bin" $((MB * 1048576)) 2>/dev/null)
    [ "$run" -eq 1 ] && { cmp -s "$FILE" "$OUT/vx.bin" || { echo "downloaded file differs" >&2; exit 1; }; }
    rm -f "$OUT/vx.bin"
    s=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
    g=$(sed -n 's/.*growth_kib=\([0-9-]*\).*/\1/p' <<<"$line")
    printf 'run %d: curl %.3f s, updater %.3f s, updater peak RSS growth %d KiB\n' "$run" "$t" "$s" "$g"

    best_curl=$(python3 -c "print(min(x for x in [$t, ${best_curl:-$t}]))")
    best_vx=$(python3 -c "print(min(x for x in [$s, ${best_vx:-$s}]))")
    [ "$g" -gt "$worst_growth" ] && worst_growth=$g
done

python3 - "$MB" "$best_curl" "$best_vx" "$worst_growth" <<'PY'
import sys
mb, curl, vx, growth = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
ratio = curl / vx
print(f"file {mb} MiB; best of runs: curl {mb / curl:.1f} MiB/s, updater {mb / vx:.1f} MiB/s, "
      f"ratio {ratio:.2f} (target >= 0.9)")
print(f"updater peak RSS growth {growth / 1024:.1f} MiB (target < 32 MiB)")
ok = ratio >= 0.9 and growth < 32 * 1024
print("PASS" if ok else "MISS")
sys.exit(0 if ok else 1)
PY
