"""Retrieval utilities against their Python counterparts, on the same data in one run.

    PYTHONPATH=build python3 benchmarks/utils_bench.py [--quick]
"""

import hashlib
import math
import random
import re
import sys
import time

import morvane_native as mn

WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000"
WORD = re.compile("[^" + WHITE_SPACE + "]+")


def seconds_per_call(fn, repeats, inner=1):
    """Best of `repeats` timings of `inner` back-to-back calls, per call."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(inner):
            fn()
        best = min(best, (time.perf_counter() - start) / inner)
    return best


def row(benchmark, peer, native_s, peer_s, target_ratio):
    ratio = peer_s / native_s
    return {
        "benchmark": benchmark,
        "peer": peer,
        "native_s": native_s,
        "peer_s": peer_s,
        "ratio": ratio,
        "target": f">= {target_ratio:g}x",
        "met": ratio >= target_ratio,
    }


# ---------------------------------------------------------------------------------------
# Straightforward Python versions of the same rules


def py_hash(content):
    return hashlib.sha256(content.encode()).hexdigest()[:16]


def py_jaccard_batch(query, texts):
    q = set(WORD.findall(query))
    out = []
    for text in texts:
        words = set(WORD.findall(text))
        if not q and not words:
            out.append(1.0)
            continue
        common = len(q & words)
        out.append(common / (len(q) + len(words) - common))
    return out


def py_mmr(scores, contents, target_count, lam=0.7):
    n = len(scores)
    if n == 0 or target_count == 0:
        return []
    lam = min(max(lam, 0.0), 1.0)
    sets = [set(WORD.findall(c)) for c in contents]
    k = min(target_count, n)
    selected, chosen = [0], {0}
    while len(selected) < k:
        best, best_i = -math.inf, None
        for i in range(n):
            if i in chosen:
                continue
            si, m = sets[i], 0.0
            for j in selected:
                sj = sets[j]
                common = len(si & sj)
                d = len(si) + len(sj) - common
                m = max(m, common / d if d > 0 else 0.0)
                if m >= 1.0:
                    break
            value = (1.0 - m) * (1.0 - lam) + scores[i] * lam
            if value > best:
                best, best_i = value, i
        if best_i is None:
            break
        selected.append(best_i)
        chosen.add(best_i)
    return selected


# ---------------------------------------------------------------------------------------
# Data


def code_like_texts(rng, count, words_per_text):
    vocabulary = [f"{rng.choice(['get', 'set', 'load', 'parse', 'node', 'user', 'db'])}_{i}" for i in range(3000)]
    weights = [1 / (rank + 1) for rank in range(len(vocabulary))]  # a few words are common
    texts = []
    for _ in range(count):
        if texts and rng.random() < 0.2:  # near-duplicates, as hybrid retrieval returns them
            words = rng.choice(texts).split()
            words[rng.randrange(len(words))] = rng.choice(vocabulary)
        else:
            words = rng.choices(vocabulary, weights, k=rng.randint(*words_per_text))
        texts.append(" ".join(words))
    return texts


def run(quick: bool = False) -> list[dict]:
    rng = random.Random(7)
    repeats = 3 if quick else 7
    rows = []

    for label, text, inner in [("1 MiB", "x" * (1 << 20), 5 if quick else 20), ("100 bytes", "y" * 100, 20_000)]:
        assert mn.compute_file_hash(text) == py_hash(text)
        native = seconds_per_call(lambda: mn.compute_file_hash(text), repeats, inner)
        peer = seconds_per_call(lambda: py_hash(text), repeats, inner)
        rows.append(row(f"compute_file_hash, {label}", "hashlib.sha256(s.encode()).hexdigest()[:16]", native, peer, 1))

    query = " ".join(code_like_texts(rng, 1, (20, 20)))
    texts = code_like_texts(rng, 1000, (30, 60))
    assert mn.jaccard_similarity_batch(query, texts) == py_jaccard_batch(query, texts)
    native = seconds_per_call(lambda: mn.jaccard_similarity_batch(query, texts), repeats, 5)
    peer = seconds_per_call(lambda: py_jaccard_batch(query, texts), repeats, 1)
    rows.append(row("jaccard_similarity_batch, 1,000 texts", "pure Python (regex words, sets)", native, peer, 10))

    contents = code_like_texts(rng, 1000, (30, 60))
    scores = sorted((rng.random() for _ in contents), reverse=True)
    native_order = mn.mmr_select_indices(scores, contents, 50)
    assert len(native_order) == 50
    native = seconds_per_call(lambda: mn.mmr_select_indices(scores, contents, 50), repeats, 3)
    peer = seconds_per_call(lambda: py_mmr(scores, contents, 50), 1 if quick else 2, 1)
    rows.append(row("mmr_select_indices, 1,000 items, 50 selected", "pure Python (sets)", native, peer, 10))
    return rows


def markdown(rows):
    lines = [
        "| benchmark | peer | native (s) | peer (s) | ratio | target | met |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['benchmark']} | {r['peer']} | {r['native_s']:.3g} | {r['peer_s']:.3g} | {r['ratio']:.1f}x"
            f" | {r['target']} | {'yes' if r['met'] else 'no'} |"
        )
    return "\n".join(lines)


if __name__ == "__main__":
    print(markdown(run(quick="--quick" in sys.argv)))
