"""Dependency-graph algorithms against networkx, rustworkx and igraph.

Every implementation starts from the same Python list of (source, target) name pairs and
is timed to its answer with its graph building included, as a caller would pay it. Two
inputs: a synthetic import graph (100,000 file paths, 1,000,000 edges, in-degree skewed
towards a few hub modules, 15% of the files importing nothing) and the real import graph
of the running interpreter's standard library.

Peak memory is measured in a fresh interpreter per run, which loads the same edge list:
the highest resident set size above what that process held before the call.
"""

from __future__ import annotations

import ast
import itertools
import os
import pickle
import random
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import warnings

import igraph as ig
import networkx as nx
import rustworkx as rx

import morvane_native as mn

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import resident_peak_mb  # noqa: E402

MAX_HOPS, MAX_RESULTS = 3, 30
UNCAPPED = 10**9

# ---------------------------------------------------------------------------------------
# Inputs


def synthetic_import_graph(nodes: int, edges: int, seed: int = 7) -> list[tuple[str, str]]:
    rng = random.Random(seed)
    packages = [f"pkg_{w}" for w in ("core", "api", "db", "ui", "net", "auth", "jobs", "cli", "util", "models")]
    names = set()
    while len(names) < nodes:
        depth = rng.choice((1, 2, 2, 3))
        parts = [rng.choice(packages)] + [f"sub{rng.randrange(40)}" for _ in range(depth - 1)]
        names.add("src/" + "/".join(parts) + f"/module_{rng.randrange(10**6)}.py")
    names = sorted(names)
    rng.shuffle(names)
    importers = names[: nodes * 85 // 100]
    leaves = names[len(importers) :]
    # Zipf-like popularity for targets, lognormal appetite for imports.
    in_weights = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(nodes)))
    out_weights = list(itertools.accumulate(rng.lognormvariate(0, 1) for _ in importers))
    pairs = [(source, rng.choice(names)) for source in importers]  # everyone imports something
    pairs += [(rng.choice(importers), leaf) for leaf in leaves]  # and every leaf is imported
    rest = edges - len(pairs)
    sources = rng.choices(importers, cum_weights=out_weights, k=rest)
    targets = rng.choices(names, cum_weights=in_weights, k=rest)
    pairs += zip(sources, targets)
    # An extractor reports a file's imports together.
    position = {name: i for i, name in enumerate(names)}
    pairs.sort(key=lambda pair: position[pair[0]])
    return pairs


def stdlib_import_graph(skip_tests: bool) -> list[tuple[str, str]]:
    root = sysconfig.get_paths()["stdlib"]
    edges = []
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        parts = [] if rel == "." else rel.split(os.sep)
        skipped = ("site-packages", "__pycache__") + (("test", "tests", "idle_test") if skip_tests else ())
        if any(p in skipped or "-" in p for p in parts):
            dirnames[:] = []
            continue
        dirnames.sort()
        for filename in sorted(f for f in filenames if f.endswith(".py")):
            stem = filename[:-3]
            module = ".".join(parts + ([] if stem == "__init__" else [stem]))
            package = parts if stem != "__init__" else module.split(".")
            try:
                with open(os.path.join(dirpath, filename), "rb") as f, warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    tree = ast.parse(f.read())
            except (SyntaxError, ValueError):
                continue
            for node in ast.walk(tree):
                if isinstance(node, ast.Import):
                    edges.extend((module, alias.name) for alias in node.names)
                elif isinstance(node, ast.ImportFrom):
                    if node.level:
                        base = package[: len(package) - node.level + 1]
                        target = ".".join(base + ([node.module] if node.module else []))
                    else:
                        target = node.module
                    if target:
                        edges.append((module, target))
    return edges


# ---------------------------------------------------------------------------------------
# Implementations, each from the edge list to the answer


def nx_expansion(edges, seed, max_results):
    graph = nx.Graph(edges)
    distances = {}
    for hop, layer in enumerate(nx.bfs_layers(graph, [seed])):
        if hop > MAX_HOPS:
            break
        for node in layer[: max_results - len(distances)]:
            distances[node] = hop
    return distances


def nx_traversal(edges, seed, max_results):
    graph = nx.Graph(edges)
    hops, records = {seed: 0}, []
    for parent, node in itertools.islice(nx.bfs_edges(graph, seed, depth_limit=MAX_HOPS), max_results):
        hops[node] = hops[parent] + 1
        records.append((parent, node, hops[node]))
    return records


NETWORKX = {
    "pagerank": lambda edges, seed: nx.pagerank(nx.DiGraph(edges), alpha=0.85, max_iter=100, tol=1e-6),
    "strongly_connected_components": lambda edges, seed: [
        list(c) for c in nx.strongly_connected_components(nx.DiGraph(edges))
    ],
    "bfs_expansion": lambda edges, seed: nx_expansion(edges, seed, MAX_RESULTS),
    "bfs_traversal_edges": lambda edges, seed: nx_traversal(edges, seed, MAX_RESULTS),
    "bfs_expansion uncapped": lambda edges, seed: nx_expansion(edges, seed, UNCAPPED),
    "bfs_traversal_edges uncapped": lambda edges, seed: nx_traversal(edges, seed, UNCAPPED),
}


def rx_graph(edges, directed=True):
    index = {}
    intern = index.setdefault
    pairs = [(intern(s, len(index)), intern(t, len(index))) for s, t in edges]
    graph = rx.PyDiGraph() if directed else rx.PyGraph()
    names = list(index)
    graph.add_nodes_from(names)
    graph.add_edges_from_no_data(pairs)
    return graph, names, index


def rx_pagerank(edges, seed):
    graph, names, _ = rx_graph(edges)
    return {names[i]: score for i, score in rx.pagerank(graph, alpha=0.85, max_iter=100, tol=1e-6).items()}


def rx_components(edges, seed):
    graph, names, _ = rx_graph(edges)
    return [[names[i] for i in c] for c in rx.strongly_connected_components(graph)]


def rx_expansion(edges, seed, max_results):
    graph, names, index = rx_graph(edges, directed=False)
    distances = {}
    for hop, layer in enumerate(rx.bfs_layers(graph, [index[seed]])):
        if hop > MAX_HOPS:
            break
        for node in layer[: max_results - len(distances)]:
            distances[names[node]] = hop
    return distances


def rx_traversal(edges, seed, max_results):
    graph, names, index = rx_graph(edges, directed=False)
    hops, records = {index[seed]: 0}, []

    class Visitor(rx.visit.BFSVisitor):
        def tree_edge(self, edge):
            parent, node, _ = edge
            if hops[parent] >= MAX_HOPS:
                raise rx.visit.PruneSearch
            hops[node] = hops[parent] + 1
            records.append((names[parent], names[node], hops[node]))
            if len(records) >= max_results:
                raise rx.visit.StopSearch

    rx.bfs_search(graph, [index[seed]], Visitor())
    return records


RUSTWORKX = {
    "pagerank": rx_pagerank,
    "strongly_connected_components": rx_components,
    "bfs_expansion": lambda edges, seed: rx_expansion(edges, seed, MAX_RESULTS),
    "bfs_traversal_edges": lambda edges, seed: rx_traversal(edges, seed, MAX_RESULTS),
    "bfs_expansion uncapped": lambda edges, seed: rx_expansion(edges, seed, UNCAPPED),
    "bfs_traversal_edges uncapped": lambda edges, seed: rx_traversal(edges, seed, UNCAPPED),
}


def ig_bfs(edges, seed, max_results, keep):
    graph = ig.Graph.TupleList(edges, directed=True)
    names = graph.vs["name"]
    out = []
    for vertex, hop, parent in graph.bfsiter(graph.vs.find(name=seed).index, mode="all", advanced=True):
        if hop > MAX_HOPS or len(out) >= max_results:
            break
        if keep(parent):
            out.append((names[parent.index] if parent else None, names[vertex.index], hop))
    return out


IGRAPH = {
    "pagerank": lambda edges, seed: (lambda g: dict(zip(g.vs["name"], g.pagerank(damping=0.85))))(
        ig.Graph.TupleList(edges, directed=True)
    ),
    "strongly_connected_components": lambda edges, seed: (
        lambda g, names: [[names[i] for i in c] for c in g.connected_components(mode="strong")]
    )(*(lambda g: (g, g.vs["name"]))(ig.Graph.TupleList(edges, directed=True))),
    "bfs_expansion": lambda edges, seed: ig_bfs(edges, seed, MAX_RESULTS, lambda parent: True),
    "bfs_traversal_edges": lambda edges, seed: ig_bfs(edges, seed, MAX_RESULTS, lambda parent: parent is not None),
    "bfs_expansion uncapped": lambda edges, seed: ig_bfs(edges, seed, UNCAPPED, lambda parent: True),
    "bfs_traversal_edges uncapped": lambda edges, seed: ig_bfs(
        edges, seed, UNCAPPED, lambda parent: parent is not None
    ),
}

NATIVE = {
    "pagerank": lambda edges, seed: mn.pagerank(edges),
    "strongly_connected_components": lambda edges, seed: mn.strongly_connected_components(edges),
    "bfs_expansion": lambda edges, seed: mn.bfs_expansion(edges, [seed]),
    "bfs_traversal_edges": lambda edges, seed: mn.bfs_traversal_edges(edges, [seed]),
    "bfs_expansion uncapped": lambda edges, seed: mn.bfs_expansion(edges, [seed], max_results=UNCAPPED),
    "bfs_traversal_edges uncapped": lambda edges, seed: mn.bfs_traversal_edges(edges, [seed], max_results=UNCAPPED),
}

PEERS = [("networkx", NETWORKX, 20.0), ("rustworkx", RUSTWORKX, 1.0), ("igraph", IGRAPH, None)]

# ---------------------------------------------------------------------------------------
# Measurement


def seconds(fn, budget: float) -> float:
    """Best of several runs, as many as fit in `budget` seconds (at least two)."""
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 2 or spent < budget:
        start = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - start
        best, spent, runs = min(best, elapsed), spent + elapsed, runs + 1
        if runs >= 50:
            break
    return best


def _rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


IMPLEMENTATIONS = {"native": NATIVE, "networkx": NETWORKX, "rustworkx": RUSTWORKX, "igraph": IGRAPH}


def peak_mb(edges_path: str, implementation: str, function: str, seed: str) -> float:
    """Peak memory of one call above what the process held before it, in a fresh
    interpreter: a forked child would inherit the peers' thread pools without their
    threads, and some of them then wait forever."""
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--peak-child", edges_path, implementation, function, seed],
        capture_output=True, text=True, check=True,
    )
    return float(out.stdout.strip().splitlines()[-1])


def _peak_child(edges_path: str, implementation: str, function: str, seed: str) -> None:
    with open(edges_path, "rb") as f:
        edges = pickle.load(f)
    before = _rss_mb()
    IMPLEMENTATIONS[implementation][function](edges, seed)
    print(f"{max(0.0, resident_peak_mb() - before):.1f}")


def run(quick: bool = False, peaks: bool = False) -> list[dict]:
    if quick:
        datasets = [
            ("synthetic 20k nodes / 200k edges", synthetic_import_graph(20_000, 200_000)),
            ("stdlib (no tests)", stdlib_import_graph(skip_tests=True)),
        ]
        budget = 0.3
    else:
        datasets = [
            ("synthetic 100k nodes / 1M edges", synthetic_import_graph(100_000, 1_000_000)),
            ("stdlib", stdlib_import_graph(skip_tests=False)),
        ]
        budget = 2.0
    rows = []
    scratch = tempfile.mkdtemp(prefix="graph-bench-")
    for label, edges in datasets:
        edges_path = os.path.join(scratch, "edges.pickle")
        if peaks:
            with open(edges_path, "wb") as f:
                pickle.dump(edges, f, protocol=pickle.HIGHEST_PROTOCOL)
        counts = {}
        for s, t in edges:
            counts[t] = counts.get(t, 0) + 1
        # A mid-popular file as the seed: neither a hub nor an outlier.
        seed = sorted(counts, key=counts.get)[len(counts) * 3 // 4]
        functions = list(NATIVE) if label.startswith("synthetic") else list(NATIVE)[:4]
        for function in functions:
            native = lambda: NATIVE[function](edges, seed)
            native_s = seconds(native, budget)
            native_mb = peak_mb(edges_path, "native", function, seed) if peaks else float("nan")
            for peer, table, target in PEERS:
                call = lambda: table[function](edges, seed)
                peer_s = seconds(call, budget)
                ratio = peer_s / native_s
                rows.append(
                    {
                        "benchmark": f"{function}, {label}",
                        "peer": peer,
                        "native_s": native_s,
                        "peer_s": peer_s,
                        "ratio": ratio,
                        "target": f">= {target:g}x" if target else "none",
                        "met": ratio >= target if target else True,
                        "native_peak_mb": native_mb,
                        "peer_peak_mb": peak_mb(edges_path, peer, function, seed) if peaks else float("nan"),
                    }
                )
    shutil.rmtree(scratch, ignore_errors=True)
    return rows


def markdown(rows: list[dict]) -> str:
    lines = [
        "| benchmark | peer | native s | peer s | ratio | target | met | native peak MB | peer peak MB |",
        "|---|---|---:|---:|---:|---|---|---:|---:|",
    ]
    for r in rows:
        lines.append(
            f"| {r['benchmark']} | {r['peer']} | {r['native_s']:.5f} | {r['peer_s']:.5f} | {r['ratio']:.1f}x "
            f"| {r['target']} | {'yes' if r['met'] else 'NO'} | {r['native_peak_mb']:.1f} | {r['peer_peak_mb']:.1f} |"
        )
    return "\n".join(lines)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak-child"]:
        _peak_child(*sys.argv[2:6])
    else:
        print(markdown(run(quick="--quick" in sys.argv, peaks="--peaks" in sys.argv)))
