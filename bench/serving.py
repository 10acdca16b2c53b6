"""Serving figures of quilane beside FAISS, measured in one run.

    make bench            (sets up .venv-bench, then runs compare.py and this)
    .venv-bench/bin/python bench/serving.py [--n 1000000] [--seconds 2]

1. Heartbeat: a Python thread that sleeps 1 ms in a loop, counting its wake-ups during a batch
   search, with the interpreter lock held (the default), released (release_gil=True) and in FAISS;
   beside the ticks the same thread gets in an idle period of the same length.
2. Queries per second with 1, 2 and 4 Python client threads, each searching one query at a time.
3. Threads knob: one query at n vectors with set_num_threads(1) against the default.
4. Cold start of a fresh process: import, load, first and second search of one query, for
   quilane and FAISS SQ 4-bit, over 200,000 x 384 vectors.

Timings are ratios within this run: the machine may be shared and noisy.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable

import numpy as np

DIM = 128
BITS = 4
K = 10


def heartbeat_ticks(work: Callable[[], object]) -> tuple[int, int, float]:
    """Ticks of a 1 ms heartbeat during work(), ticks in an idle period as long, and its length."""
    ticks = 0
    running = True

    def beat() -> None:
        nonlocal ticks
        while running:
            time.sleep(0.001)
            ticks += 1

    thread = threading.Thread(target=beat, daemon=True)
    thread.start()
    time.sleep(0.05)
    start_ticks, start = ticks, time.perf_counter()
    work()
    # Read before anything that lets the heartbeat in, which it may do as soon as work returns.
    during = ticks - start_ticks
    elapsed = time.perf_counter() - start
    idle_start = ticks
    time.sleep(elapsed)
    idle = ticks - idle_start
    running = False
    thread.join()
    return during, idle, elapsed


def throughput(search: Callable[[np.ndarray], object], queries: np.ndarray, clients: int,
               seconds: float) -> float:
    """Queries answered per second by `clients` threads each searching one query at a time."""
    answered = [0] * clients
    stop = time.perf_counter() + seconds

    def client(c: int) -> None:
        i = c
        while time.perf_counter() < stop:
            search(queries[i % len(queries)][None, :])
            answered[c] += 1
            i += clients

    threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(answered) / (time.perf_counter() - start)


def best_time(work: Callable[[], object], repeats: int = 5) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


# A fresh process timing its import, its load and its first and second search of one query.
COLD_START = """
import time
start = time.perf_counter()
{import_line}
imported = time.perf_counter()
index = {load}({{path!r}})
loaded = time.perf_counter()
import numpy as np
query = np.load({{queries!r}})[:1]
ready = time.perf_counter()
index.search(query, 10)
first = time.perf_counter()
index.search(query, 10)
second = time.perf_counter()
print(imported - start, loaded - imported, first - ready, second - first)
"""
COLD_QUILANE = COLD_START.format(import_line="import quilane", load="quilane.GyrelIndex.load")
COLD_FAISS = COLD_START.format(import_line="import faiss", load="faiss.read_index")


def cold_start(code: str, repeats: int = 3) -> list[float]:
    """The fastest of a few fresh processes, per phase: import, load, first and second search."""
    runs = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                             text=True).stdout
        runs.append([float(x) for x in out.split()])
    return [min(run[i] for run in runs) for i in range(4)]


def section_heartbeat(index, sq, queries: np.ndarray) -> None:
    import faiss

    print("\n1 ms heartbeat during one batch search "
          f"({len(queries)} queries over {len(index):,} x {DIM}, {BITS}-bit);\nidle ticks: in an "
          "idle period as long. With the lock held, a tick can only come as the call returns.")
    print(f"  {'':28} {'ticks':>7} {'idle ticks':>11} {'share':>6} {'seconds':>8}")
    rows = {
        "quilane, lock held": lambda: index.search(queries, K),
        "quilane, release_gil=True": lambda: index.search(queries, K, release_gil=True),
        "FAISS SQ 4-bit": lambda: sq.search(queries, K),
    }
    faiss.omp_set_num_threads(os.cpu_count() or 1)
    for name, work in rows.items():
        during, idle, elapsed = heartbeat_ticks(work)
        share = during / idle if idle else 0.0
        print(f"  {name:28} {during:7d} {idle:11d} {share:6.0%} {elapsed:8.2f}")


def section_clients(index, sq, queries: np.ndarray, seconds: float) -> None:
    import quilane

    print(f"\nQueries/s, one query per call, by Python client threads (n = {len(index):,})")
    print(f"  {'':36} {'1':>8} {'2':>8} {'4':>8}")
    default = quilane.get_num_threads()
    rows = {
        "quilane, lock held": (default, lambda q: index.search(q, K)),
        "quilane, release_gil=True": (default, lambda q: index.search(q, K, release_gil=True)),
        "quilane, release_gil, 1 thread/query": (1, lambda q: index.search(q, K, release_gil=True)),
        "FAISS SQ 4-bit": (default, lambda q: sq.search(q, K)),
    }
    # Rounds over every setting, keeping each one's best, so that a change in the machine's other
    # load during the run does not favour the settings measured first.
    best = {(name, clients): 0.0 for name in rows for clients in (1, 2, 4)}
    for _ in range(3):
        for name, (threads, search) in rows.items():
            quilane.set_num_threads(threads)
            for clients in (1, 2, 4):
                rate = throughput(search, queries, clients, seconds / 3)
                best[name, clients] = max(best[name, clients], rate)
    quilane.set_num_threads(default)
    for name in rows:
        print(f"  {name:36} " + " ".join(f"{best[name, c]:8.1f}" for c in (1, 2, 4)))


def thread_cpu_ticks() -> dict[str, int]:
    """Processor time (clock ticks) of each thread of this process, from /proc."""
    ticks = {}
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        ticks[task] = int(fields[11]) + int(fields[12])  # utime + stime
    return ticks


def threads_at_work(work: Callable[[], object], seconds: float = 2.0) -> tuple[int, float, float]:
    """Threads that used processor time while work() ran repeatedly, the processor time per
    call, and the fastest call. Counting threads does not depend on what else the machine runs."""
    before = thread_cpu_ticks()
    calls, fastest = 0, float("inf")
    stop = time.perf_counter() + seconds
    while time.perf_counter() < stop:
        fastest = min(fastest, best_time(work, 1))
        calls += 1
    after = thread_cpu_ticks()
    used = {t: after[t] - before.get(t, 0) for t in after}
    # A thread that worked for the search took a good part of the time; one tick is noise.
    busy = sum(1 for ticks in used.values() if ticks > 0.1 * max(used.values()))
    per_call = sum(used.values()) / os.sysconf("SC_CLK_TCK") / calls
    return busy, per_call, fastest


def section_threads(index, queries: np.ndarray) -> None:
    import quilane

    default = quilane.get_num_threads()
    query = queries[:1]
    print(f"\nOne query at a time over {len(index):,} vectors")
    for threads in (default, 1):
        quilane.set_num_threads(threads)
        busy, per_call, fastest = threads_at_work(lambda: index.search(query, K))
        print(f"  set_num_threads({threads}): fastest {fastest * 1e3:6.1f} ms, "
              f"processor time {per_call * 1e3:6.1f} ms per query, on {busy} thread(s)")
    quilane.set_num_threads(default)


def section_cold_start(scratch: str) -> None:
    import faiss
    import quilane

    n, dim = 200_000, 384
    rng = np.random.default_rng(2)
    x = rng.standard_normal((n, dim), dtype=np.float32)
    queries = os.path.join(scratch, "queries.npy")
    np.save(queries, rng.standard_normal((4, dim), dtype=np.float32))
    ours = os.path.join(scratch, "cold.qlix")
    index = quilane.GyrelIndex(dim, BITS)
    index.add(x)
    index.write(ours)
    theirs = os.path.join(scratch, "cold.faiss")
    sq = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    sq.train(x[:50_000])
    sq.add(x)
    faiss.write_index(sq, theirs)
    print(f"\nCold start of a fresh process, one query over {n:,} x {dim}, {BITS}-bit (ms)")
    print(f"  {'':16} {'import':>8} {'load':>8} {'first':>8} {'second':>8} {'total':>8}")
    for name, code, path in (("quilane", COLD_QUILANE, ours), ("FAISS SQ 4-bit", COLD_FAISS, theirs)):
        phases = cold_start(code.format(path=path, queries=queries))
        cells = " ".join(f"{t * 1e3:8.1f}" for t in phases)
        print(f"  {name:16} {cells} {sum(phases) * 1e3:8.1f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="stored vectors")
    parser.add_argument("--nq", type=int, default=200, help="queries of the heartbeat's batch")
    parser.add_argument("--seconds", type=float, default=3.0, help="per throughput figure")
    args = parser.parse_args(argv)

    import faiss
    import quilane

    print(f"quilane {quilane.__version__}, FAISS {faiss.__version__}, {os.cpu_count()} processors")
    rng = np.random.default_rng(1)
    x = rng.standard_normal((args.n, DIM), dtype=np.float32)
    queries = rng.standard_normal((max(args.nq, 64), DIM), dtype=np.float32)
    index = quilane.GyrelIndex(DIM, BITS)
    index.add(x)
    index.prepare()
    sq = faiss.IndexScalarQuantizer(DIM, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    sq.train(x[:100_000])
    sq.add(x)
    del x

    section_heartbeat(index, sq, queries[: args.nq])
    section_clients(index, sq, queries, args.seconds)
    section_threads(index, queries)
    del index, sq
    with tempfile.TemporaryDirectory() as scratch:
        section_cold_start(scratch)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
