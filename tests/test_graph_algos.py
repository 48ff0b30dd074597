"""Dependency-graph algorithms, checked against plain Python models of the same steps."""

import collections
import math
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import morvane_native as mn

# ---------------------------------------------------------------------------------------
# Models: the documented steps written out naively.


def adjacency(edges, bidirectional, sort):
    forward, reverse = {}, {}
    for s, t in edges:
        forward.setdefault(s, []).append(t)
        if bidirectional:
            reverse.setdefault(t, []).append(s)
    if sort:
        for lists in (forward, reverse):
            for key in lists:
                lists[key].sort(key=lambda name: name.encode())
    return forward, reverse


def model_bfs_expansion(edges, starts, max_hops=3, max_results=30, bidirectional=True):
    if not edges or not starts or max_results == 0:
        return {}
    forward, reverse = adjacency(edges, bidirectional, sort=False)
    distances, queue = {}, collections.deque()
    for name in starts:
        if len(distances) >= max_results:
            break
        if name not in distances:
            distances[name] = 0
            queue.append((name, 0))
    while queue:
        v, hop = queue.popleft()
        if len(distances) >= max_results:
            break
        if hop >= max_hops:
            continue
        for lists in (forward, reverse) if bidirectional else (forward,):
            for w in lists.get(v, []):
                if len(distances) >= max_results:
                    break
                if w not in distances:
                    distances[w] = hop + 1
                    queue.append((w, hop + 1))
    return distances


def model_bfs_traversal_edges(edges, starts, max_hops=3, max_results=30, bidirectional=True):
    if not edges or not starts or max_hops == 0 or max_results == 0:
        return []
    forward, reverse = adjacency(edges, bidirectional, sort=True)
    visited, queue = set(), collections.deque()
    for name in starts:
        if name not in visited:
            visited.add(name)
            queue.append((name, None, 0, None))
    seeds = len(visited)
    records = []
    while queue:
        v, parent, hop, relation = queue.popleft()
        if len(records) >= max_results:
            break
        if relation is not None:
            records.append((parent, v, relation, hop))
            if len(records) >= max_results:
                break
        if hop >= max_hops:
            continue
        steps = [(forward, "imports")] + ([(reverse, "imported_by")] if bidirectional else [])
        for lists, rel in steps:
            for w in lists.get(v, []):
                if len(visited) - seeds >= max_results:
                    break
                if w not in visited:
                    visited.add(w)
                    queue.append((w, v, hop + 1, rel))
    return records


def intern(edges):
    index = {}
    for s, t in edges:
        index.setdefault(s, len(index))
        index.setdefault(t, len(index))
    return list(index), index


def model_scc(edges):
    names, index = intern(edges)
    n = len(names)
    outgoing = [[] for _ in range(n)]
    incoming = [[] for _ in range(n)]
    for s, t in reversed(edges):  # chains list the newest edge first
        outgoing[index[s]].append(index[t])
        incoming[index[t]].append(index[s])
    discovered, finished, order = [False] * n, [False] * n, []
    for i in range(n):
        if discovered[i]:
            continue
        stack = [i]
        while stack:
            v = stack[-1]
            if not discovered[v]:
                discovered[v] = True
                stack.extend(u for u in incoming[v] if not discovered[u])
            else:
                stack.pop()
                if not finished[v]:
                    finished[v] = True
                    order.append(v)
    discovered = [False] * n
    components = []
    for v in reversed(order):
        if discovered[v]:
            continue
        component, stack = [], [v]
        while stack:
            x = stack.pop()
            if discovered[x]:
                continue
            discovered[x] = True
            stack.extend(w for w in outgoing[x] if not discovered[w])
            component.append(names[x])
        components.append(component)
    return components


def model_pagerank(edges, damping=0.85, max_iterations=100, tolerance=1e-6):
    f32 = np.float32
    names, index = intern(edges)
    n = len(names)
    if n == 0:
        return {}
    out = [[] for _ in range(n)]
    for s, t in edges:
        out[index[s]].append(index[t])
    d, tol, nf = f32(damping), f32(tolerance), f32(n)
    rank = np.full(n, f32(1) / nf, dtype=np.float32)
    base = (f32(1) - d) / nf
    with np.errstate(all="ignore"):
        for _ in range(max_iterations):
            new = np.full(n, base, dtype=np.float32)
            for i in range(n):
                c = rank[i] * d
                if not out[i]:
                    new += c / nf  # one rounded addition per node, in place
                else:
                    share = c / f32(len(out[i]))
                    for t in out[i]:
                        new[t] += share
            diff = f32(0)
            for change in np.abs(new - rank):
                diff = diff + change
            rank = new
            if tol > diff:
                break
    return {names[i]: float(rank[i]) for i in range(n)}


def bits(ranks):
    return {name: struct.pack("<d", value) for name, value in ranks.items()}


# ---------------------------------------------------------------------------------------
# Generated graphs: few names, so that they repeat; self-loops and repeated edges.

ALPHABET = ["a", "b", "c", "A", "", "a/b.py", "a/./b.py", "é", "ü/x", "a\0b", "zz", "ab"]


def random_edges(rng, names=ALPHABET, count=None):
    count = rng.randrange(0, 25) if count is None else count
    return [(rng.choice(names), rng.choice(names)) for _ in range(count)]


def random_starts(rng, edges):
    pool = sorted({n for e in edges for n in e}) + ["absent"]
    return [rng.choice(pool) for _ in range(rng.randrange(0, 4))]


def random_bfs_options(rng):
    return dict(
        max_hops=rng.choice([0, 1, 2, 3, 5, 2**64 - 1]),
        max_results=rng.choice([0, 1, 2, 3, 5, 30, 2**64 - 1]),
        bidirectional=rng.random() < 0.6,
    )


class FreshSequence:
    """A sequence that builds new tuples and new strings on every access."""

    def __init__(self, edges):
        self._edges = edges

    def __len__(self):
        return len(self._edges)

    def __getitem__(self, i):
        s, t = self._edges[i]
        return ("".join(list(s)), "".join(list(t)))


CONTAINERS = [list, tuple, FreshSequence]


@pytest.mark.parametrize("container", CONTAINERS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("seed", range(60))
def test_bfs_matches_model(seed, container):
    rng = random.Random(seed)
    edges = random_edges(rng)
    starts = random_starts(rng, edges)
    options = random_bfs_options(rng)
    assert mn.bfs_expansion(container(edges), starts, **options) == model_bfs_expansion(edges, starts, **options)
    assert mn.bfs_traversal_edges(container(edges), starts, **options) == model_bfs_traversal_edges(
        edges, starts, **options
    )


@pytest.mark.parametrize("seed", range(12))
def test_traversal_matches_model_around_hubs(seed):
    # Hubs with hundreds of neighbours whose names share long prefixes: their lists are put
    # in order a part at a time, and on larger searches through a ranking of all names.
    rng = random.Random(300 + seed)
    names = [f"src/pkg/{rng.choice('ab')}/module_{i:03d}{rng.choice(['', 'x', 'xy'])}.py" for i in range(400)]
    hubs = names[:3]
    edges = [(rng.choice(names), rng.choice(hubs)) for _ in range(900)]
    edges += [(rng.choice(hubs), rng.choice(names)) for _ in range(900)] + random_edges(rng, names, 300)
    starts = [rng.choice(names) for _ in range(rng.randrange(1, 3))]
    options = dict(max_hops=rng.choice([1, 2, 5]), max_results=rng.choice([1, 5, 40, 150, 10**6]),
                   bidirectional=rng.random() < 0.7)
    assert mn.bfs_traversal_edges(edges, starts, **options) == model_bfs_traversal_edges(edges, starts, **options)


@pytest.mark.parametrize("container", CONTAINERS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("seed", range(60))
def test_scc_matches_model(seed, container):
    rng = random.Random(seed)
    edges = random_edges(rng, names=ALPHABET[: rng.randrange(1, len(ALPHABET) + 1)], count=rng.randrange(0, 40))
    components = mn.strongly_connected_components(container(edges))
    assert components == model_scc(edges)
    assert sorted(n for c in components for n in c) == sorted({n for e in edges for n in e})


def dangling_heavy_edges(rng, nodes, dangling, count):
    """Many nodes without outgoing edges, so long runs of dangling shares lie between
    the sources of a node's incoming edges."""
    names = [f"src/mod_{i}.py" for i in range(nodes)]
    rng.shuffle(names)
    sources = names[: nodes - dangling]
    edges = [(rng.choice(sources), rng.choice(names)) for _ in range(count)]
    # Every name occurs, so interning order mixes dangling and non-dangling nodes.
    edges += [(rng.choice(sources), name) for name in names]
    rng.shuffle(edges)
    return edges


PAGERANK_OPTIONS = [
    {},
    dict(damping=0.0),
    dict(damping=1.0),
    dict(damping=0.5, max_iterations=7),
    dict(max_iterations=0),
    dict(tolerance=0.0, max_iterations=40),
    dict(tolerance=-1.0, max_iterations=5),
    dict(tolerance=1e-2),
    dict(damping=1.5, max_iterations=10),
    dict(damping=-0.25, max_iterations=10),
    dict(damping=float("nan"), max_iterations=3),
    dict(damping=1e30, max_iterations=3),
]


@pytest.mark.parametrize("options", PAGERANK_OPTIONS, ids=repr)
@pytest.mark.parametrize("seed", range(4))
def test_pagerank_matches_model_bit_for_bit(seed, options):
    rng = random.Random(seed)
    small = random_edges(rng, count=rng.randrange(1, 30))
    assert bits(mn.pagerank(small, **options)) == bits(model_pagerank(small, **options))
    heavy = dangling_heavy_edges(rng, nodes=rng.randrange(40, 120), dangling=rng.randrange(20, 39), count=150)
    assert bits(mn.pagerank(heavy, **options)) == bits(model_pagerank(heavy, **options))


@pytest.mark.parametrize("seed", range(3))
def test_pagerank_matches_model_on_larger_graphs(seed):
    rng = random.Random(100 + seed)
    edges = dangling_heavy_edges(rng, nodes=700, dangling=rng.choice([100, 350, 600]), count=3000)
    options = dict(damping=rng.choice([0.85, 0.5, 0.99]), max_iterations=rng.randrange(5, 40))
    assert bits(mn.pagerank(edges, **options)) == bits(model_pagerank(edges, **options))


# ---------------------------------------------------------------------------------------
# Documented cases

CHAIN = [("a", "b"), ("b", "c"), ("c", "d"), ("d", "e")]
THIRD = struct.unpack("f", struct.pack("f", 1 / 3))[0]

CASES = [
    (mn.bfs_expansion, (CHAIN, ["a"]), {}, {"a": 0, "b": 1, "c": 2, "d": 3}),
    (mn.bfs_expansion, ([("a", "b")], ["b"]), {}, {"b": 0, "a": 1}),
    (mn.bfs_expansion, ([("a", "b")], ["b"]), dict(bidirectional=False), {"b": 0}),
    (mn.bfs_expansion, ([("a", "b")], ["zzz"]), {}, {"zzz": 0}),
    (mn.bfs_expansion, ([("a", "b")], []), {}, {}),
    (mn.bfs_expansion, ([], ["a"]), {}, {}),
    (mn.bfs_expansion, ([("a", "b")], ["a"]), dict(max_results=0), {}),
    (mn.bfs_expansion, ([("a", "b")], ["a", "b"]), dict(max_results=1), {"a": 0}),
    (mn.bfs_expansion, ([("a", "b")], ["a", "b", "a"]), dict(max_hops=0), {"a": 0, "b": 0}),
    (mn.bfs_expansion, ([("a", "c"), ("a", "b")], ["a"]), dict(max_results=2), {"a": 0, "c": 1}),
    (mn.bfs_expansion, ([("a", "b"), ("a", "b")], ["a"]), {}, {"a": 0, "b": 1}),
    (mn.bfs_expansion, ([("A", "b")], ["a"]), {}, {"a": 0}),
    (mn.bfs_traversal_edges, ([("a", "c"), ("a", "b")], ["a"]), {}, [("a", "b", "imports", 1), ("a", "c", "imports", 1)]),
    (mn.bfs_traversal_edges, ([("a", "c"), ("a", "b")], ["a"]), dict(max_results=1), [("a", "b", "imports", 1)]),
    (mn.bfs_traversal_edges, (CHAIN, ["a"]), {}, [("a", "b", "imports", 1), ("b", "c", "imports", 2), ("c", "d", "imports", 3)]),
    (mn.bfs_traversal_edges, ([("x", "a")], ["a"]), {}, [("a", "x", "imported_by", 1)]),
    (mn.bfs_traversal_edges, ([("x", "a")], ["a"]), dict(bidirectional=False), []),
    (mn.bfs_traversal_edges, ([("a", "b"), ("c", "a")], ["a"]), {}, [("a", "b", "imports", 1), ("a", "c", "imported_by", 1)]),
    (mn.bfs_traversal_edges, ([("a", "b"), ("b", "a")], ["a"]), {}, [("a", "b", "imports", 1)]),
    (mn.bfs_traversal_edges, ([("a", "b")], ["a", "b"]), {}, []),
    (mn.bfs_traversal_edges, ([("a", "b")], ["a"]), dict(max_hops=0), []),
    (mn.bfs_traversal_edges, ([("a", "a")], ["a"]), {}, []),
    (mn.bfs_traversal_edges, ([("a", "b"), ("a", "b")], ["a"]), {}, [("a", "b", "imports", 1)]),
    (mn.bfs_traversal_edges, ([("x", "ab"), ("x", "a"), ("x", "B")], ["x"]), {},
     [("x", "B", "imports", 1), ("x", "a", "imports", 1), ("x", "ab", "imports", 1)]),
    (mn.bfs_traversal_edges, ([("A", "b")], ["a"]), {}, []),
    (mn.strongly_connected_components, ([],), {}, []),
    (mn.strongly_connected_components, ([("a", "b")],), {}, [["b"], ["a"]]),
    (mn.strongly_connected_components, ([("a", "b"), ("b", "c")],), {}, [["c"], ["b"], ["a"]]),
    (mn.strongly_connected_components, ([("a", "b"), ("b", "a")],), {}, [["a", "b"]]),
    (mn.strongly_connected_components, ([("a", "b"), ("b", "c"), ("c", "a"), ("a", "c")],), {}, [["a", "b", "c"]]),
    (mn.strongly_connected_components, ([("a", "a")],), {}, [["a"]]),
    (mn.strongly_connected_components, ([("a", "b"), ("b", "c"), ("c", "b"), ("c", "d")],), {}, [["d"], ["b", "c"], ["a"]]),
    (mn.strongly_connected_components, ([("a", "b"), ("b", "a"), ("c", "d"), ("d", "c"), ("b", "c")],), {},
     [["c", "d"], ["a", "b"]]),
    (mn.strongly_connected_components, ([("x", "z"), ("x", "b"), ("x", "a")],), {}, [["a"], ["b"], ["z"], ["x"]]),
    (mn.pagerank, ([],), {}, {}),
    (mn.pagerank, ([("a", "a")],), {}, {"a": 1.0}),
    (mn.pagerank, ([("a", "b"), ("b", "a")],), {}, {"a": 0.5, "b": 0.5}),
    (mn.pagerank, ([("a", "b"), ("b", "c"), ("c", "a")],), {}, {"a": THIRD, "b": THIRD, "c": THIRD}),
    (mn.pagerank, ([("a", "b"), ("b", "c")],), dict(max_iterations=0), {"a": THIRD, "b": THIRD, "c": THIRD}),
    (mn.pagerank, ([("a", "b")],), dict(damping=0.0), {"a": 0.5, "b": 0.5}),
]


@pytest.mark.parametrize("function, args, kwargs, expected", CASES)
def test_documented_cases(function, args, kwargs, expected):
    assert function(*args, **kwargs) == expected


def test_pagerank_values():
    ranks = mn.pagerank([("a", "b")])
    assert ranks["a"] == pytest.approx(0.3508771, abs=1e-7) and ranks["b"] == pytest.approx(0.6491228, abs=1e-7)
    repeated = mn.pagerank([("a", "b"), ("a", "b"), ("a", "c")], max_iterations=1)
    assert repeated["b"] > repeated["c"] > repeated["a"]
    assert set(mn.pagerank([("A", "a")])) == {"A", "a"}


def test_damping_and_tolerance_are_single_precision():
    # 1e-6 is 9.999999974752427e-07 in single precision: a change of 9.9999999e-07 in
    # double precision would stop the run, in single precision it must not.
    edges = [("a", "b"), ("b", "c"), ("c", "a"), ("a", "c")]
    for options in [dict(damping=0.85), dict(tolerance=1e-6), dict(damping=0.1 + 0.2)]:
        assert bits(mn.pagerank(edges, **options)) == bits(model_pagerank(edges, **options))


def test_accepted_input_forms():
    Edge = collections.namedtuple("Edge", "source target")

    class Name(str):
        pass

    edges = (Edge("a", "b"), (Name("b"), "c"))
    assert mn.strongly_connected_components(edges) == [["c"], ["b"], ["a"]]
    assert type(mn.strongly_connected_components(edges)[1][0]) is str
    plain_then_subclass = [("a", "b")] * 70 + [(Name("b"), Name("c"))]
    assert all(type(k) is str for k in mn.pagerank(plain_then_subclass))
    assert [type(n) for c in mn.strongly_connected_components(plain_then_subclass) for n in c] == [str] * 3
    assert mn.bfs_expansion(edges, ("a",), bidirectional=np.bool_(False)) == {"a": 0, "b": 1, "c": 2}
    long_name = "x" * 100_000
    assert mn.bfs_traversal_edges([("a", long_name)], ["a"]) == [("a", long_name, "imports", 1)]
    assert mn.pagerank(edges, damping=1, max_iterations=True) == model_pagerank(list(edges), damping=1, max_iterations=1)


# ---------------------------------------------------------------------------------------
# Refused input

FUNCTIONS = {
    "pagerank": lambda edges: mn.pagerank(edges),
    "bfs_expansion": lambda edges: mn.bfs_expansion(edges, ["a"]),
    "bfs_traversal_edges": lambda edges: mn.bfs_traversal_edges(edges, ["a"]),
    "strongly_connected_components": lambda edges: mn.strongly_connected_components(edges),
}

BAD_EDGES = [
    ("ab", TypeError, r"^argument 'edges': .*'str'"),
    ({("a", "b")}, TypeError, r"^argument 'edges': 'set' object cannot be cast as 'Sequence'$"),
    ((e for e in [("a", "b")]), TypeError, r"^argument 'edges': 'generator' object cannot be cast as 'Sequence'$"),
    ([["a", "b"]], TypeError, r"^argument 'edges': 'list' object cannot be cast as 'tuple'$"),
    ([("a", "b"), ("a", "b", "c")], ValueError, r"^expected tuple of length 2, but got tuple of length 3$"),
    ([("a",)], ValueError, r"^expected tuple of length 2, but got tuple of length 1$"),
    ([("a", 1)], TypeError, r"^argument 'edges': 'int' object cannot be cast as 'str'$"),
    ([(b"a", "b")], TypeError, r"^argument 'edges': 'bytes' object cannot be cast as 'str'$"),
    ([("a", "b"), ("a", "b"), ("a", None)], TypeError, r"^argument 'edges': 'NoneType' object cannot be cast as 'str'$"),
    ([("a", "\ud800")], UnicodeEncodeError, "surrogate"),
]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("edges, error, message", BAD_EDGES)
def test_bad_edges_are_refused(name, edges, error, message):
    with pytest.raises(error, match=message):
        FUNCTIONS[name](edges)


BAD_ARGUMENTS = [
    (mn.bfs_expansion, ([("a", "b")], "a"), {}, TypeError, r"^argument 'start_nodes': .*'str'"),
    (mn.bfs_traversal_edges, ([("a", "b")], [1]), {}, TypeError,
     r"^argument 'start_nodes': 'int' object cannot be cast as 'str'$"),
    (mn.bfs_expansion, ("ab", "a"), {}, TypeError, r"^argument 'edges': "),
    (mn.bfs_expansion, ([], []), dict(max_hops=-1), OverflowError, ""),
    (mn.bfs_traversal_edges, ([], []), dict(max_results=2.0), TypeError, r"^argument 'max_results': "),
    (mn.bfs_expansion, ([], []), dict(bidirectional=1), TypeError,
     r"^argument 'bidirectional': 'int' object cannot be cast as 'bool'$"),
    (mn.bfs_expansion, ([],), {}, TypeError, r"missing 1 required positional argument: 'start_nodes'"),
    (mn.pagerank, ([],), dict(damping="x"), TypeError, r"^argument 'damping': "),
    (mn.pagerank, ([],), dict(tolerance=None), TypeError, r"^argument 'tolerance': "),
    (mn.pagerank, ([],), dict(max_iterations=-1), OverflowError, ""),
    (mn.pagerank, ([],), dict(max_iterations=1.5), TypeError, r"^argument 'max_iterations': "),
    (mn.strongly_connected_components, ([], []), {}, TypeError,
     r"takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("function, args, kwargs, error, message", BAD_ARGUMENTS)
def test_bad_arguments_are_refused(function, args, kwargs, error, message):
    with pytest.raises(error, match=message or None):
        function(*args, **kwargs)


# ---------------------------------------------------------------------------------------
# Scale: deep chains need no call stack; long runs answer Ctrl-C.


def test_deep_chain():
    n = 1_000_000
    names = [f"m{i}" for i in range(n + 1)]
    chain = list(zip(names, names[1:]))
    components = mn.strongly_connected_components(chain)
    assert len(components) == n + 1 and components[0] == [names[-1]] and components[-1] == [names[0]]
    cycle = chain + [(names[-1], names[0])]
    assert [len(c) for c in mn.strongly_connected_components(cycle)] == [n + 1]
    reached = mn.bfs_expansion(chain, [names[0]], max_hops=2**64 - 1, max_results=2**64 - 1)
    assert len(reached) == n + 1 and reached[names[-1]] == n
    steps = mn.bfs_traversal_edges(chain, [names[-1]], max_hops=n, max_results=n)
    assert len(steps) == n and steps[-1] == (names[1], names[0], "imported_by", n)
    assert len(mn.pagerank(chain, max_iterations=2)) == n + 1


def test_pagerank_answers_ctrl_c():
    script = textwrap.dedent(
        """
        import sys, morvane_native as mn
        edges = [(f"n{i}", f"n{(i * 7 + 1) % 5000}") for i in range(20000)]
        print("ready", flush=True)
        try:
            mn.pagerank(edges, max_iterations=2**63, tolerance=0.0)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            sys.exit(0)
        sys.exit(3)
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, env=_child_env())
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 0 and out.strip() == "interrupted"


def _child_env():
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env
