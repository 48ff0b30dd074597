"""BM25Engine against rank_bm25 (BM25Plus), bm25s and tantivy on real source code.

The corpus is the Python standard library's .py files cut into chunks of 50 lines; the
queries are three identifiers drawn from one chunk. Every implementation runs in its own
subprocess on the same data, so that peak memory (growth of the peak resident set over
the loaded corpus) is its own. Measured: index time including tokenization, and query
latency at top_k=50 (median over the queries, query tokenization included). A last row
checks that documents holding none of the query terms do not slow queries down: the
corpus is doubled with such documents and the median latency compared.

Run: PYTHONPATH=build python3 benchmarks/bm25.py [--quick]
Peers: pip install rank_bm25 bm25s tantivy
"""

import json
import os
import random
import re
import statistics
import subprocess
import sys
import sysconfig
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import resident_peak_mb  # noqa: E402

CHUNK_LINES = 50
TOP_K = 50
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]{2,}")
# Words the tantivy query parser reads as operators.
OPERATORS = {"AND", "OR", "NOT", "TO", "IN"}


def load_chunks(quick):
    root = sysconfig.get_paths()["stdlib"]
    paths = []
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "__pycache__"))
        paths.extend(os.path.join(directory, f) for f in sorted(files) if f.endswith(".py"))
    if quick:
        paths = paths[::6]
    chunks = []
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
        for start in range(0, len(lines), CHUNK_LINES):
            chunks.append("".join(lines[start:start + CHUNK_LINES]))
    return chunks


def make_queries(chunks, count):
    rng = random.Random(42)
    queries = []
    while len(queries) < count:
        words = sorted(set(IDENTIFIER.findall(rng.choice(chunks))) - OPERATORS)
        if len(words) >= 3:
            queries.append(" ".join(rng.sample(words, 3)))
    return queries


def filler_documents(chunks):
    """As many documents again, of similar lengths, over words no query contains."""
    rng = random.Random(7)
    vocabulary = [f"zzq{i}x" for i in range(50_000)]
    return [" ".join(rng.choices(vocabulary, k=max(1, len(c.split())))) for c in chunks]


def median_latency(search, queries):
    times = []
    for q in queries:
        start = time.perf_counter()
        search(q)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


# ---------------------------------------------------------------------------------------
# One implementation per subprocess: build(chunks) -> search(query)


def build_native(chunks):
    import morvane_native

    engine = morvane_native.BM25Engine(k1=1.5, b=0.75, delta=1.0)
    engine.index(chunks)
    return lambda q: engine.score(q, top_k=TOP_K)


def build_bm25s(chunks):
    import bm25s

    retriever = bm25s.BM25(method="bm25+", k1=1.5, b=0.75, delta=1.0)
    retriever.index(bm25s.tokenize(chunks, stopwords=None, show_progress=False), show_progress=False)

    def search(q):
        tokens = bm25s.tokenize([q], stopwords=None, return_ids=False, show_progress=False)
        return retriever.retrieve(tokens, k=TOP_K, show_progress=False)

    return search


def build_rank_bm25(chunks):
    import numpy as np
    from rank_bm25 import BM25Plus

    word = re.compile(r"\w+")
    model = BM25Plus([word.findall(c.lower()) for c in chunks], k1=1.5, b=0.75, delta=1.0)

    def search(q):
        scores = model.get_scores(word.findall(q.lower()))
        top = np.argpartition(-scores, TOP_K)[:TOP_K]
        return top[np.argsort(-scores[top], kind="stable")]

    return search


def build_tantivy(chunks):
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False)
    index = tantivy.Index(builder.build())
    writer = index.writer()
    for c in chunks:
        writer.add_document(tantivy.Document(body=c))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    searcher = index.searcher()
    return lambda q: searcher.search(index.parse_query(q, ["body"]), TOP_K).hits


BUILDERS = {
    "morvane_native": build_native,
    "bm25s": build_bm25s,
    "rank_bm25": build_rank_bm25,
    "tantivy": build_tantivy,
}


def worker(name, quick):
    chunks = load_chunks(quick)
    queries = make_queries(chunks, 100 if quick else 400)
    if name == "rank_bm25":
        queries = queries[: 15 if quick else 40]  # each query scans every document in Python
    extra = filler_documents(chunks) if name == "morvane_native" else None
    BUILDERS[name](["warm up the imports"])
    base_mb = resident_peak_mb()
    start = time.perf_counter()
    search = BUILDERS[name](chunks)
    index_s = time.perf_counter() - start
    search(queries[0])
    result = {
        "docs": len(chunks),
        "index_s": index_s,
        "query_s": median_latency(search, queries),
        "peak_mb": resident_peak_mb() - base_mb,
    }
    if extra is not None:
        del search
        doubled = build_native(chunks + extra)
        doubled(queries[0])
        result["query_doubled_s"] = median_latency(doubled, queries)
    print(json.dumps(result))


def measure(name, quick):
    command = [sys.executable, os.path.abspath(__file__), "--worker", name] + (["--quick"] if quick else [])
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------


def row(benchmark, peer, native_s, peer_s, target, minimum, native_mb=None, peer_mb=None):
    ratio = peer_s / native_s
    out = {"benchmark": benchmark, "peer": peer, "native_s": native_s, "peer_s": peer_s, "ratio": ratio,
           "target": target, "met": ratio >= minimum if minimum is not None else True}
    if native_mb is not None:
        out["native_peak_mb"] = native_mb
        out["peer_peak_mb"] = peer_mb
    return out


def run(quick: bool = False) -> list[dict]:
    native = measure("morvane_native", quick)
    peers = {name: measure(name, quick) for name in ("bm25s", "rank_bm25", "tantivy")}
    docs = native["docs"]
    index_targets = {"bm25s": (">= 5x", 5.0), "rank_bm25": ("(none)", None), "tantivy": ("(none)", None)}
    query_targets = {"bm25s": (">= 5x", 5.0), "rank_bm25": (">= 100x", 100.0), "tantivy": ("> 1x", 1.0)}
    rows = []
    for name, peer in peers.items():
        rows.append(row(f"index {docs} chunks (tokenization included)", name, native["index_s"], peer["index_s"],
                        *index_targets[name], native["peak_mb"], peer["peak_mb"]))
    for name, peer in peers.items():
        rows.append(row(f"query latency, top_k={TOP_K} (median)", name, native["query_s"], peer["query_s"],
                        *query_targets[name]))
    rows.append(row(f"query latency with {docs} more docs holding no query term", "morvane_native, base corpus",
                    native["query_doubled_s"], native["query_s"], "> 0.77 (slowdown < 1.3x)", 1 / 1.3))
    return rows


def markdown(rows):
    lines = ["| benchmark | peer | native | peer | ratio | target | met | native peak MB | peer peak MB |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        mb = (f"{r['native_peak_mb']:.0f} | {r['peer_peak_mb']:.0f}" if "native_peak_mb" in r else " | ")
        lines.append(f"| {r['benchmark']} | {r['peer']} | {r['native_s'] * 1e3:.3f} ms | {r['peer_s'] * 1e3:.3f} ms "
                     f"| {r['ratio']:.2f} | {r['target']} | {'yes' if r['met'] else 'no'} | {mb} |")
    return "\n".join(lines)


if __name__ == "__main__":
    args = sys.argv[1:]
    if "--worker" in args:
        worker(args[args.index("--worker") + 1], "--quick" in args)
    else:
        print(markdown(run(quick="--quick" in args)))
