"""Shared helpers for the benchmark scripts: timing, peak memory, corpora, tables."""
import glob
import os
import statistics
import sys
import sysconfig
import time
import tracemalloc


def stdlib_dir():
    return sysconfig.get_paths()["stdlib"]


def stdlib_sources(limit=None):
    """(path, text) of the standard library's .py files, in a stable order."""
    out = []
    for path in sorted(glob.glob(os.path.join(stdlib_dir(), "**", "*.py"), recursive=True)):
        if "site-packages" in path:
            continue
        try:
            with open(path, encoding="utf-8") as f:
                out.append((path, f.read()))
        except (UnicodeDecodeError, OSError):
            continue
        if limit and len(out) >= limit:
            break
    return out


def best_time(fn, repeat=5, number=1):
    """Best wall time per call of `number` calls, over `repeat` rounds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def median_time(fn, inputs):
    samples = []
    for item in inputs:
        start = time.perf_counter()
        fn(item)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def resident_peak_mb():
    """The peak resident set of this process image, in MiB. It is read from VmHWM:
    getrusage's maximum would also carry the peak of the process that this one was forked
    from before it started its interpreter."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def peak_mb(fn):
    """Peak Python-allocated memory of one call, in MiB (native allocations are not seen)."""
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1] / 2**20
    finally:
        tracemalloc.stop()


def row(benchmark, peer, native_s, peer_s, target_ratio, **extra):
    ratio = peer_s / native_s if native_s > 0 else float("inf")
    out = {"benchmark": benchmark, "peer": peer, "native_s": native_s, "peer_s": peer_s, "ratio": ratio,
           "target": f">= {target_ratio:g}x" if target_ratio is not None else "-",
           "met": True if target_ratio is None else ratio >= target_ratio}
    out.update(extra)
    return out


def markdown_table(rows):
    lines = ["| benchmark | peer | native | peer | ratio | target | met |", "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['benchmark']} | {r['peer']} | {fmt_s(r['native_s'])} | {fmt_s(r['peer_s'])} | "
                     f"{r['ratio']:.2f}x | {r['target']} | {'yes' if r['met'] else 'no'} |")
    return "\n".join(lines)


def fmt_s(seconds):
    if seconds is None or seconds != seconds:
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.2f} µs"


def main(run):
    quick = "--quick" in sys.argv
    print(markdown_table(run(quick=quick)))
