"""Cosine similarity and rank fusion against NumPy, faiss and plain Python, one run."""
import importlib.util
import os
import random
import sys
import time

import numpy as np

import morvane_native as mn


def best(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def row(benchmark, peer, native_s, peer_s, target, factor):
    ratio = peer_s / native_s
    return {"benchmark": benchmark, "peer": peer, "native_s": native_s, "peer_s": peer_s,
            "ratio": ratio, "target": target, "met": ratio >= factor}


def py_rrf(lists, weights, k=60.0):
    fused = {}
    for lst, w in zip(lists, weights):
        for rank, (doc, _) in enumerate(lst):
            fused[doc] = fused.get(doc, 0.0) + w / (rank + k + 1)
    return sorted(fused.items(), key=lambda item: -item[1])


def run(quick=False):
    rng = np.random.default_rng(0)
    rows = 50_000 if quick else 200_000
    repeat = 3 if quick else 10
    docs = rng.standard_normal((rows, 384), dtype=np.float32)
    query = rng.standard_normal(384, dtype=np.float32)
    label = f"cosine_similarity_batch {rows}x384"
    native = best(lambda: mn.cosine_similarity_batch(query, docs), repeat)
    out = [row(label, "numpy D @ q (no norms)", native, best(lambda: docs @ query, repeat), ">= 1x", 1.0)]
    full = lambda: (docs @ query) / (np.linalg.norm(docs, axis=1) * np.linalg.norm(query))
    out.append(row(label, "numpy with norms", native, best(full, repeat), ">= 1x", 1.0))
    try:
        import faiss
        normed = docs / np.linalg.norm(docs, axis=1, keepdims=True)
        index = faiss.IndexFlatIP(384)
        index.add(normed)
        q = (query / np.linalg.norm(query)).reshape(1, -1)
        out.append(row(label, "faiss IndexFlatIP (pre-normalised)", native,
                       best(lambda: index.search(q, 10), repeat), ">= 1x", 1.0))
    except ImportError:
        pass

    a, b = rng.standard_normal(384, dtype=np.float32), rng.standard_normal(384, dtype=np.float32)
    n = 20_000 if quick else 100_000
    per_call = lambda fn: best(lambda: [fn(a, b) for _ in range(n)], 3) / n
    out.append(row("cosine_similarity 384", "numpy.dot", per_call(mn.cosine_similarity), per_call(np.dot),
                   "within 1.5x (ratio >= 0.67)", 1 / 1.5))

    pyrng = random.Random(0)
    lists = [[(f"doc{pyrng.randrange(2000)}", pyrng.random()) for _ in range(500)] for _ in range(4)]
    weights = [1.0, 0.5, 2.0, 1.5]
    out.append(row("reciprocal_rank_fusion 4x500", "pure Python", best(lambda: mn.reciprocal_rank_fusion(lists), 20),
                   best(lambda: py_rrf(lists, [1.0] * 4), 20), ">= 10x", 10.0))
    out.append(row("reciprocal_rank_fusion_weighted 4x500", "pure Python",
                   best(lambda: mn.reciprocal_rank_fusion_weighted(lists, weights), 20),
                   best(lambda: py_rrf(lists, weights), 20), ">= 10x", 10.0))

    utils = os.path.join(os.path.dirname(os.path.abspath(__file__)), "utils_bench.py")
    if os.path.exists(utils):
        spec = importlib.util.spec_from_file_location("utils_bench", utils)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        if hasattr(module, "run"):
            out.extend(module.run(quick))
    return out


if __name__ == "__main__":
    rows = run(quick="--quick" in sys.argv)
    print("| benchmark | peer | native s | peer s | ratio | target | met |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['benchmark']} | {r['peer']} | {r['native_s']:.3g} | {r['peer_s']:.3g} | {r['ratio']:.2f} | "
              f"{r['target']} | {'yes' if r['met'] else 'no'} |")
