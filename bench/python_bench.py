#!/usr/bin/env python3
"""corvanel.evaluate against the engine's own in-memory evaluation, against a
numpy contingency table with the matching in Python, and on 1 and 2 threads.

The engine's figure comes from corvanel_bench_engine's InMemory/words, run by
this script, on the very maps it then hands to corvanel.evaluate: two 2500 x
3500 word-level pages of about 300 regions a side.

    PYTHONPATH=build/python python3 bench/python_bench.py build/bench/corvanel_bench_engine
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import corvanel

WIDTH, HEIGHT = 2500, 3500


def engine_in_memory(engine, maps_dir, repetitions):
    """The engine's medians in ms, wall and CPU, of InMemory/words (counts) and
    InMemoryDiagnosed/words (with the per-region diagnosis); writes its maps to
    maps_dir."""
    out = subprocess.run(
        [engine, f"--maps-to={maps_dir}", "--benchmark_filter=^InMemory(Diagnosed)?/words$",
         "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            assert b["time_unit"] == "ms"
            medians[b["run_name"].split("/")[0]] = (b["real_time"], b["cpu_time"])
    return medians


def median_ms(fn, runs):
    """Medians of wall and process CPU time in ms."""
    wall, cpu = [], []
    for _ in range(runs):
        w, c = time.perf_counter(), time.process_time()
        fn()
        cpu.append((time.process_time() - c) * 1000)
        wall.append((time.perf_counter() - w) * 1000)
    return statistics.median(wall), statistics.median(cpu)


def numpy_evaluate(gt, rs, T=90, table="bincount"):
    """The seven counts by a numpy contingency table (bincount, or np.unique,
    over the pair codes) and the engine's matching passes written in Python."""
    g, r = gt.ravel().astype(np.int64), rs.ravel().astype(np.int64)
    width = int(r.max()) + 1
    if table == "bincount":
        pixels = np.bincount(g * width + r)
        codes = np.flatnonzero(pixels)
        pixels = pixels[codes]
    else:
        codes, pixels = np.unique(g * width + r, return_counts=True)
    pg, pr = codes // width, codes % width
    keep = (pg != 0) & (pr != 0)
    pg, pr, shared = pg[keep], pr[keep], pixels[keep]
    gt_area, rs_area = np.bincount(g), np.bincount(r)
    gt_labels = np.flatnonzero(gt_area)[np.flatnonzero(gt_area) != 0]
    rs_labels = np.flatnonzero(rs_area)[np.flatnonzero(rs_area) != 0]
    gi = {int(l): i for i, l in enumerate(gt_labels)}
    rj = {int(l): j for j, l in enumerate(rs_labels)}
    N, M = len(gt_labels), len(rs_labels)

    # Pairs in row order (codes ascend by gt, then result); columns by result.
    P = len(shared)
    pair_gt = [gi[int(x)] for x in pg]
    pair_rs = [rj[int(x)] for x in pr]
    rows = [[] for _ in range(N)]
    cols = [[] for _ in range(M)]
    score, match = [0] * P, [False] * P
    for p in range(P):
        s100 = 100 * int(shared[p])
        sg = s100 / int(gt_area[gt_labels[pair_gt[p]]])
        sr = s100 / int(rs_area[rs_labels[pair_rs[p]]])
        s = sr if sr <= sg else sg
        score[p] = int(s)
        match[p] = int(s / T) >= 1
        rows[pair_gt[p]].append(p)
    for p in sorted(range(P), key=lambda q: (pair_rs[q], pair_gt[q])):
        cols[pair_rs[p]].append(p)

    gs, rsn = [0] * N, [0] * M
    for p in range(P):
        if match[p]:
            gs[pair_gt[p]] += 1
            rsn[pair_rs[p]] += 1
    c = dict(N=N, M=M, one2one=0, g_one2many=0, g_many2one=0, d_one2many=0, d_many2one=0)

    def first_highest(ps, accept):
        best, highest = None, 0
        for p in ps:
            if accept(p) and score[p] > highest:
                best, highest = p, score[p]
        return best

    for i in range(N):
        for p in rows[i]:
            j = pair_rs[p]
            if match[p] and rsn[j] == 1 and gs[i] == 1:
                gs[i] = rsn[j] = -1
                c["one2one"] += 1
    for i in range(N):
        for p in rows[i]:
            j = pair_rs[p]
            if not (match[p] and rsn[j] > 1 and gs[i] == 1):
                continue
            c["one2one"] += 1
            best, chosen = 0, i
            for q in cols[j]:
                g_ = pair_gt[q]
                if not (score[q] > best and match[q]):
                    continue
                takes = True
                if gs[g_] > 1:
                    takes = pair_rs[first_highest(rows[g_], lambda _: True)] == j
                if takes:
                    best, chosen = score[q], g_
            gs[chosen] = rsn[j] = -1
    for i in range(N):
        if gs[i] <= 1:
            continue
        top = first_highest(rows[i], lambda q: match[q])
        gs[i] = rsn[pair_rs[top]] = -1
        c["one2one"] += 1
    for i in range(N):
        if gs[i] < 0:
            continue
        members = [pair_rs[p] for p in rows[i] if rsn[pair_rs[p]] >= 0 and score[p] >= 5]
        if sum(score[p] for p in rows[i] if rsn[pair_rs[p]] >= 0 and score[p] >= 5) < T:
            continue
        gs[i] = -1
        for j in members:
            rsn[j] = -1
        c["d_one2many"] += 1
        c["g_many2one"] += len(members)
    for j in range(M):
        if rsn[j] < 0:
            continue
        members = [pair_gt[q] for q in cols[j] if gs[pair_gt[q]] >= 0 and score[q] >= 5]
        if sum(score[q] for q in cols[j] if gs[pair_gt[q]] >= 0 and score[q] >= 5) < T:
            continue
        rsn[j] = -1
        for i in members:
            gs[i] = -1
        c["g_one2many"] += 1
        c["d_many2one"] += len(members)
    return c


def pages_per_second(gt, rs, threads, pages):
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(lambda _: corvanel.evaluate(gt, rs), range(2 * threads)))  # warm
        start = time.perf_counter()
        list(pool.map(lambda _: corvanel.evaluate(gt, rs), range(pages)))
        return pages / (time.perf_counter() - start)


def ceiling(threads, rounds=8):
    """What the machine gives `threads` threads at the moment: hashlib.sha256
    of 20 MB, which releases the GIL and needs no memory bandwidth to speak of."""
    data = b"x" * (20 << 20)
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        start = time.perf_counter()
        list(pool.map(lambda _: hashlib.sha256(data).digest(), range(rounds * threads)))
        return rounds * threads / (time.perf_counter() - start)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("engine", help="the corvanel_bench_engine program")
    ap.add_argument("--runs", type=int, default=15, help="timed runs of corvanel.evaluate (default 15)")
    ap.add_argument("--pages", type=int, default=40, help="pages for the thread figures (default 40)")
    ap.add_argument("--threads-only", type=int, metavar="N",
                    help="only evaluate --pages pages on N threads, from the maps of --maps (for timing whole "
                         "processes against each other)")
    ap.add_argument("--maps", help="with --threads-only: a folder the engine benchmark wrote its maps to "
                                   "(written first when it does not exist)")
    args = ap.parse_args()

    if args.threads_only:
        if not os.path.isdir(args.maps):
            engine_in_memory(args.engine, args.maps, 1)
        read = lambda side: np.fromfile(os.path.join(args.maps, side, "words", "words.tif.dat"),
                                        dtype="<i4").reshape(HEIGHT, WIDTH)
        gt, rs = read("gt"), read("results")
        with concurrent.futures.ThreadPoolExecutor(args.threads_only) as pool:
            list(pool.map(lambda _: corvanel.evaluate(gt, rs), range(args.pages)))
        return

    with tempfile.TemporaryDirectory() as maps:
        before = engine_in_memory(args.engine, maps, 5)
        read = lambda side: np.fromfile(os.path.join(maps, side, "words", "words.tif.dat"),
                                        dtype="<i4").reshape(HEIGHT, WIDTH)
        gt, rs = read("gt"), read("results")

    r = corvanel.evaluate(gt, rs)
    counts_only = median_ms(lambda: corvanel.evaluate(gt, rs, boxes=False), args.runs)
    diagnosed = median_ms(lambda: corvanel.evaluate(gt, rs), args.runs)
    with tempfile.TemporaryDirectory() as again:
        after = engine_in_memory(args.engine, again, 5)
    # The engine's figure: the mean of its medians before and after.
    engine = {k: tuple((a + b) / 2 for a, b in zip(before[k], after[k])) for k in before}

    for table in ("bincount", "unique"):
        if numpy_evaluate(gt, rs, table=table) != r.counts:
            sys.exit(f"the numpy reference ({table}) disagrees with corvanel.evaluate")
    numpy_ms = median_ms(lambda: numpy_evaluate(gt, rs), 3)
    unique_ms = median_ms(lambda: numpy_evaluate(gt, rs, table="unique"), 3)

    one = pages_per_second(gt, rs, 1, args.pages)
    two = pages_per_second(gt, rs, 2, args.pages)
    machine = ceiling(2) / ceiling(1)

    def row(what, ms, against=None):
        text = f"{what:<52} wall {ms[0]:7.1f} ms  cpu {ms[1]:7.1f} ms"
        if against:
            text += f"   {ms[0] / against[0]:.2f}x / {ms[1] / against[1]:.2f}x"
        print(text)

    print(f"word-level page {WIDTH} x {HEIGHT}: N={r.N} M={r.M} one2one={r.one2one} (medians)")
    row("engine InMemory/words", engine["InMemory"])
    row("corvanel.evaluate(boxes=False) against it", counts_only, engine["InMemory"])
    row("engine InMemoryDiagnosed/words", engine["InMemoryDiagnosed"])
    row("corvanel.evaluate() against it", diagnosed, engine["InMemoryDiagnosed"])
    row("numpy bincount table + Python matching", numpy_ms)
    row("numpy np.unique table + Python matching", unique_ms)
    for what, ms in (("bincount", numpy_ms), ("np.unique", unique_ms)):
        print(f"numpy {what} against corvanel.evaluate(boxes=False): {ms[0] / counts_only[0]:.0f}x wall, "
              f"{ms[1] / counts_only[1]:.0f}x cpu; against corvanel.evaluate(): {ms[0] / diagnosed[0]:.0f}x wall, "
              f"{ms[1] / diagnosed[1]:.0f}x cpu")
    print(f"threads: 1 -> {one:.1f} pages/s, 2 -> {two:.1f} pages/s   {two / one:.2f}x "
          f"(on {len(os.sched_getaffinity(0))} processors; sha256 on 2 threads against 1 here: {machine:.2f}x)")


if __name__ == "__main__":
    main()
