#!/usr/bin/env python3
"""Ensemble patches on the executable corpus, against bsdiff and xdelta3.

  run-ensemble-bench.py [--build DIR] [--corpus DIR] [--repeat N]

For every pair of the corpus (see ../shared/corpus/README.md; fetch it with
fetch.sh into <source>/corpus) it makes an ensemble patch with `vxpatch
mkpatch`, checks that `vxpatch apply` rebuilds the new file exactly, and
prints one table row: the patch sizes of vxpatch, bsdiff and `xdelta3 -9`,
the apply CPU time and peak memory of vxpatch against bspatch (best of N runs),
and the peak memory in relation to the new file. A summary gives the medians
and whether they meet the targets: apply CPU time <= 2x bspatch's, apply peak
memory <= 3x the new file. The peak memory includes what the idle process
takes (libraries, program text: `vxpatch --help`), which alone exceeds 3x for
files below about 1.2 MB; the column "data/new" gives the peak less that idle
footprint, to show what the patch application itself holds. Needs bsdiff,
bspatch, xdelta3 and GNU time (/usr/bin/time).
"""

TIME_TARGET = 2.0
MEMORY_TARGET = 3.0
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


def timed(command):
    """Runs the command: (CPU seconds, user plus system; peak resident KiB). CPU time
    rather than elapsed time, so that other load on the machine does not count; the
    peak memory from GNU time, whose small process is what the command is forked from."""
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    error = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), error))
    return usage.ru_utime + usage.ru_stime, int(error.strip().splitlines()[-1])


def best(command, repeat):
    runs = [timed(command) for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def same(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--corpus", default=os.environ.get("VX_CORPUS_DIR", os.path.join(SOURCE, "corpus")))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    vxpatch = os.path.join(args.build, "bin", "vxpatch")
    pairs_file = os.path.join(args.corpus, "pairs.tsv")
    if not os.path.exists(vxpatch):
        sys.exit("no %s: build the vxpatch_tool target first" % vxpatch)
    if not os.path.exists(pairs_file):
        sys.exit("no corpus at %s: run ../shared/corpus/fetch.sh %s" % (args.corpus, args.corpus))

    with open(pairs_file) as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]

    _, idle_kib = best([vxpatch, "--help"], args.repeat)
    print("idle vxpatch process: %.1f MiB peak\n" % (idle_kib / 1024))

    header = ("pair", "new size", "vxpatch", "bsdiff", "xdelta3", "vx/bs", "apply cpu s", "bspatch cpu s", "time x",
              "apply MiB", "bspatch MiB", "mem/new", "data/new")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    ratios, xdelta_ratios, time_ratios, memory_ratios, data_ratios = [], [], [], [], []
    with tempfile.TemporaryDirectory() as work:
        for row in rows:
            if len(row) < 5:
                continue
            pair, old, new = row[0], os.path.join(args.corpus, row[3]), os.path.join(args.corpus, row[4])
            patch = os.path.join(work, "patch")
            result = os.path.join(work, "result")
            bs = os.path.join(work, "bsdiff")
            xd = os.path.join(work, "xdelta")
            subprocess.run([vxpatch, "mkpatch", old, new, patch], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            subprocess.run(["bsdiff", old, new, bs], check=True)
            subprocess.run(["xdelta3", "-9", "-f", "-e", "-s", old, new, xd], check=True)
            apply_s, apply_kib = best([vxpatch, "apply", old, patch, result], args.repeat)
            if not same(result, new):
                sys.exit("%s: vxpatch apply did not rebuild the new file" % pair)
            bspatch_s, bspatch_kib = best(["bspatch", old, result, bs], args.repeat)
            new_size = os.path.getsize(new)
            sizes = [os.path.getsize(p) for p in (patch, bs, xd)]
            ratio = sizes[0] / sizes[1]
            time_ratio = apply_s / bspatch_s if bspatch_s > 0 else float("nan")
            memory_ratio = apply_kib * 1024 / new_size
            ratios.append(ratio)
            xdelta_ratios.append(sizes[0] / sizes[2])
            time_ratios.append(time_ratio)
            memory_ratios.append(memory_ratio)
            data_ratio = max(apply_kib - idle_kib, 0) * 1024 / new_size
            data_ratios.append(data_ratio)
            print("| %s | %d | %d | %d | %d | %.2f | %.3f | %.3f | %.2f | %.1f | %.1f | %.2f | %.2f |" % (
                pair, new_size, sizes[0], sizes[1], sizes[2], ratio, apply_s, bspatch_s, time_ratio,
                apply_kib / 1024, bspatch_kib / 1024, memory_ratio, data_ratio))
            sys.stdout.flush()
    if not ratios:
        sys.exit("no pairs in %s" % pairs_file)
    median_time = statistics.median(time_ratios)
    median_memory = statistics.median(memory_ratios)

    def verdict(value, target):
        return "met" if value <= target else "NOT met"

    print("\nmedian patch size vxpatch/bsdiff %.2f, vxpatch/xdelta3 %.2f" % (statistics.median(ratios),
                                                                         statistics.median(xdelta_ratios)))
    print("median apply time vs bspatch %.2fx: target <= %.1fx %s" % (median_time, TIME_TARGET,
                                                                    verdict(median_time, TIME_TARGET)))
    print("median apply peak memory %.2fx the new file: target <= %.1fx %s (less the idle process: %.2fx)" % (
        median_memory, MEMORY_TARGET, verdict(median_memory, MEMORY_TARGET), statistics.median(data_ratios)))


if __name__ == "__main__":
    main()
