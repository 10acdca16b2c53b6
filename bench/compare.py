"""Search and add throughput of quilane beside FAISS and NumPy, measured in one run.

    make bench            (sets up .venv-bench, then runs this)
    .venv-bench/bin/python bench/compare.py [--sizes 100000 1000000] [--nq 100] [--dim 128]
        [--bits 4] [--other-bits 2 3] [--vectors FILE.npy] [--plot PATH]

--vectors takes float32 rows of --dim (for example the cached embeddings of `make real`): the
first nq rows are the queries, the next n at most are stored. FAISS keeps its 4-bit codes
whatever --bits says. --other-bits (by default the widths other than --bits) are searched too, in
the same run, and reported beside the others.

Every figure of one size comes from the same run, so the ratios hold even on a shared, noisy
machine. Each measurement runs in a child process: pinned to one core for the per-core figures,
unpinned for all cores. Speed is reported as (query, stored vector) pairs per second.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
CACHE = HERE / "cache"
DIM = 128
BITS = 4
OTHER_BITS: list[int] = []
K = 10
REPEATS = 3


VECTORS = ""


def dataset(n: int, nq: int) -> tuple[np.ndarray, np.ndarray]:
    """Clustered float32 data (so that recall means something) and queries near it, cached; or
    the rows of --vectors."""
    if VECTORS:
        rows = np.load(VECTORS).astype(np.float32)
        return np.ascontiguousarray(rows[nq : nq + n]), np.ascontiguousarray(rows[:nq])
    CACHE.mkdir(exist_ok=True)
    path = CACHE / f"data_{n}_{nq}_{DIM}.npz"
    if not path.exists():
        rng = np.random.default_rng(1)
        centres = rng.standard_normal((1000, DIM)).astype(np.float32)
        x = centres[rng.integers(0, 1000, n)] + 0.5 * rng.standard_normal((n, DIM)).astype(
            np.float32
        )
        q = x[rng.integers(0, n, nq)] + 0.3 * rng.standard_normal((nq, DIM)).astype(np.float32)
        np.savez(path, x=x, q=q)
    data = np.load(path)
    return np.ascontiguousarray(data["x"]), np.ascontiguousarray(data["q"])


def exact_top_k(x: np.ndarray, q: np.ndarray) -> np.ndarray:
    best = np.empty((len(q), K), dtype=np.int64)
    for start in range(0, len(q), 16):
        scores = q[start : start + 16] @ x.T
        part = np.argpartition(-scores, K, axis=1)[:, :K]
        order = np.argsort(-np.take_along_axis(scores, part, 1), axis=1)
        best[start : start + 16] = np.take_along_axis(part, order, 1)
    return best


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    hits = sum(len(set(f) & set(t)) for f, t in zip(found.tolist(), truth.tolist()))
    return hits / truth.size


def best_time(f, repeats: int = REPEATS) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = f()
        best = min(best, time.perf_counter() - start)
    return best, result


def reset_peak_rss() -> int:
    """Restarts the kernel's peak-RSS count at the current RSS and returns that."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return peak_rss()


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def worker(n: int, nq: int, one_core: bool) -> dict:
    """All measurements of one size and thread setting; prints them as JSON."""
    import faiss
    import quilane

    threads = 1 if one_core else os.cpu_count() or 1
    faiss.omp_set_num_threads(threads)
    x, q = dataset(n, nq)
    out: dict = {"threads": threads}

    # quilane: add (peak memory rise against the final size of codes and norms), search, files.
    index = quilane.GyrelIndex(DIM, BITS)
    index.prepare()
    index.add(x[:16])  # builds the remaining caches outside the clock
    index = quilane.GyrelIndex(DIM, BITS)
    index.prepare()
    before = reset_peak_rss()
    start = time.perf_counter()
    index.add(x)
    out["quilane_add_s"] = time.perf_counter() - start
    out["quilane_add_peak_rise"] = peak_rss() - before
    out["quilane_store_bytes"] = n * (BITS * DIM // 8 + 4)
    out["quilane_search_s"], (_, ids) = best_time(lambda: index.search(q, K))
    out["quilane_ids"] = ids.tolist()
    out["quilane_single_s"], _ = best_time(lambda: index.search(q[:1], K), 5)
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as d:
        path = os.path.join(d, "index.qlix")
        out["quilane_write_s"], _ = best_time(lambda: index.write(path))
        size = os.path.getsize(path)
        out["file_bytes"] = size
        del index
        out["quilane_load_s"], _ = best_time(lambda: quilane.GyrelIndex.load(path))
        rss = current_rss()
        loaded = quilane.GyrelIndex.load(path)
        out["quilane_loaded_rss_rise"] = current_rss() - rss
        del loaded

    # The other widths: search only.
    for bits in OTHER_BITS:
        other = quilane.GyrelIndex(DIM, bits)
        other.add(x)
        out[f"quilane{bits}_search_s"], (_, ids) = best_time(lambda: other.search(q, K))
        out[f"quilane{bits}_ids"] = ids.tolist()
        out[f"quilane{bits}_single_s"], _ = best_time(lambda: other.search(q[:1], K), 5)
        del other

    # FAISS scalar quantiser, 4 bits, inner product; training is not timed.
    sq = faiss.IndexScalarQuantizer(DIM, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    sq.train(x[: min(n, 100_000)])
    before = reset_peak_rss()
    start = time.perf_counter()
    sq.add(x)
    out["sq_add_s"] = time.perf_counter() - start
    out["sq_add_peak_rise"] = peak_rss() - before
    out["sq_search_s"], (_, ids) = best_time(lambda: sq.search(q, K))
    out["sq_ids"] = ids.tolist()
    del sq

    # FAISS PQ fast scan, M = dim 4-bit codes: the same bytes per vector as ours at 4 bits.
    pq = faiss.IndexPQFastScan(DIM, DIM, 4, faiss.METRIC_INNER_PRODUCT)
    pq.train(x[: min(n, 50_000)])
    start = time.perf_counter()
    pq.add(x)
    out["pq_add_s"] = time.perf_counter() - start
    out["pq_search_s"], (_, ids) = best_time(lambda: pq.search(q, K))
    out["pq_ids"] = ids.tolist()
    del pq

    # NumPy exact inner products over the float32 data.
    out["numpy_single_s"], _ = best_time(lambda: x @ q[0], 5)
    out["numpy_batch_s"], _ = best_time(lambda: x @ q.T)
    return out


def run_worker(n: int, nq: int, one_core: bool) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    if one_core:
        env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    cmd = [sys.executable, __file__, "--worker", str(n), str(nq), str(int(one_core))]
    cmd += ["--dim", str(DIM), "--bits", str(BITS), "--vectors", VECTORS]
    cmd += ["--other-bits", *map(str, OTHER_BITS)]
    if one_core:
        cmd = ["taskset", "-c", "0"] + cmd
    result = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def machine() -> str:
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    flags = open("/proc/cpuinfo").read()
    simd = "AVX-512" if "avx512f" in flags else ("AVX2" if "avx2" in flags else "SSE")
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (
        f"{model}, {os.cpu_count()} cores, {simd}, {mem:.0f} GiB RAM, "
        f"{platform.system()} {platform.release()}, Python {platform.python_version()}"
    )


def report(n: int, nq: int, rows: dict, truth: np.ndarray) -> list[dict]:
    pairs = n * nq
    print(f"\n== n = {n:,}, dim {DIM}, bits {BITS}, nq {nq}, k {K}")
    one, all_ = rows["one"], rows["all"]
    methods = [
        (f"quilane {BITS}-bit", "quilane_search_s", "quilane_ids"),
        *((f"quilane {b}-bit", f"quilane{b}_search_s", f"quilane{b}_ids") for b in OTHER_BITS),
        ("FAISS SQ 4bit", "sq_search_s", "sq_ids"),
        ("FAISS PQFastScan", "pq_search_s", "pq_ids"),
    ]
    print(f"{'method':<18}{'pairs/s 1 core':>16}{'pairs/s all':>14}{'scaling':>9}{'recall@10':>11}")
    table = []
    for name, key, ids in methods:
        r = recall(np.array(all_[ids]), truth)
        per_core, all_cores = pairs / one[key], pairs / all_[key]
        table.append({"method": name, "per_core": per_core, "all": all_cores, "recall": r})
        print(f"{name:<18}{per_core:>16.3g}{all_cores:>14.3g}{all_cores / per_core:>8.2f}x{r:>11.3f}")
    for label, key in (("NumPy X @ Q.T", "numpy_batch_s"),):
        per_core, all_cores = pairs / one[key], pairs / all_[key]
        table.append({"method": label, "per_core": per_core, "all": all_cores, "recall": 1.0})
        print(f"{label:<18}{per_core:>16.3g}{all_cores:>14.3g}{all_cores / per_core:>8.2f}x{1.0:>11.3f}")
    for setting, r in (("1 core", one), ("all cores", all_)):
        print(
            f"ratios, {setting}: quilane / SQ 4bit {r['sq_search_s'] / r['quilane_search_s']:.2f}x, "
            f"quilane / PQFastScan {r['pq_search_s'] / r['quilane_search_s']:.2f}x, "
            f"quilane / NumPy X @ Q.T {r['numpy_batch_s'] / r['quilane_search_s']:.2f}x, "
            f"single query time quilane / NumPy X @ q "
            f"{r['quilane_single_s'] / r['numpy_single_s']:.2f} "
            f"({r['quilane_single_s'] * 1e3:.2f} ms vs {r['numpy_single_s'] * 1e3:.2f} ms)"
        )
        for b in OTHER_BITS:
            key = f"quilane{b}_search_s"
            print(
                f"ratios, {setting}, {b}-bit: quilane / PQFastScan {r['pq_search_s'] / r[key]:.2f}x, "
                f"quilane / NumPy X @ Q.T {r['numpy_batch_s'] / r[key]:.2f}x, single query "
                f"{r[f'quilane{b}_single_s'] * 1e3:.2f} ms"
            )
    for setting, r in (("1 core", one),):
        print(
            f"add, {setting}: quilane {n / r['quilane_add_s']:.3g} vectors/s, "
            f"FAISS SQ 4bit {n / r['sq_add_s']:.3g} ({r['sq_add_s'] / r['quilane_add_s']:.2f}x), "
            f"PQFastScan {n / r['pq_add_s']:.3g}"
        )
    mib = 2**20
    print(
        f"peak memory rise of add: quilane {one['quilane_add_peak_rise'] / mib:.1f} MiB "
        f"(codes and norms {one['quilane_store_bytes'] / mib:.1f} MiB), "
        f"FAISS SQ {one['sq_add_peak_rise'] / mib:.1f} MiB"
    )
    size = one["file_bytes"]
    print(
        f"files: write {size / one['quilane_write_s'] / 1e9:.2f} GB/s, "
        f"load {size / one['quilane_load_s'] / 1e9:.2f} GB/s, "
        f"memory after load {one['quilane_loaded_rss_rise'] / size:.3f} x file size "
        f"({size / mib:.1f} MiB)"
    )
    return table


def plot(results: dict[int, list[dict]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4))
    width = 0.8 / len(results)
    for i, (n, table) in enumerate(sorted(results.items())):
        names = [row["method"] for row in table]
        pos = np.arange(len(names)) + i * width
        axes[0].bar(pos, [row["all"] for row in table], width, label=f"n = {n:,}")
        axes[1].bar(pos, [row["recall"] for row in table], width, label=f"n = {n:,}")
    for ax, title in zip(axes, ("search, pairs/s (all cores)", "recall@10 vs exact")):
        ax.set_xticks(np.arange(len(names)) + width * (len(results) - 1) / 2, names, rotation=15)
        ax.set_title(title)
        ax.legend()
    axes[0].set_yscale("log")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main() -> None:
    global DIM, BITS, OTHER_BITS, VECTORS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--nq", type=int, default=100)
    parser.add_argument("--dim", type=int, default=DIM)
    parser.add_argument("--bits", type=int, default=BITS)
    parser.add_argument("--other-bits", type=int, nargs="*")
    parser.add_argument("--vectors", default="")
    parser.add_argument("--plot", default=str(HERE / "compare.png"))
    parser.add_argument("--worker", type=int, nargs=3)
    args = parser.parse_args()
    DIM, BITS, VECTORS = args.dim, args.bits, args.vectors
    others = args.other_bits
    OTHER_BITS = [b for b in (2, 3, 4) if b != BITS] if others is None else others
    if args.worker:
        n, nq, one_core = args.worker
        print(json.dumps(worker(n, nq, bool(one_core))))
        return
    print("machine:", machine())
    results = {}
    for n in args.sizes:
        x, q = dataset(n, args.nq)
        n = len(x)
        truth = exact_top_k(x, q)
        del x
        rows = {"one": run_worker(n, args.nq, True), "all": run_worker(n, args.nq, False)}
        results[n] = report(n, args.nq, rows, truth)
    out = Path(args.plot).resolve()
    plot(results, out)
    print(f"\nplot: {os.path.relpath(out, HERE.parent)}")


if __name__ == "__main__":
    main()
