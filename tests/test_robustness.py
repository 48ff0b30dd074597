"""Every entry point, called with arbitrary Python objects, raises only its documented
exception types (or the caller's own exception, raised from the caller's own objects),
and memory stays flat over many calls."""
import os

import pytest

import morvane_native as mn

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

np = pytest.importorskip("numpy")


class Boom(Exception):
    """Raised by the hostile objects below; it must come out unchanged."""


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class RaisingLen:
    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        if i < 3:
            return "a b"
        raise IndexError


class RaisingIter(list):
    def __iter__(self):
        raise Boom("iter")


class IntSub(int):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


ALLOWED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, OSError, RuntimeError, MemoryError, Boom,
           IndexError)

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=20),
    st.sampled_from(["python", "go", "rust", "tsx", "a\udc80b", "x\x00y", "", " ", "def f(): pass", "../x",
                     "/", "/dev/null", "a.py", float("nan"), -0.0, 2**64, -1, 0, 1, 3]),
    st.builds(IntSub, st.integers(-5, 5)), st.builds(StrSub, st.text(max_size=5)),
    st.sampled_from([RaisingIndex(), RaisingFloat(), RaisingLen(), object(), b"bytes", 1j, {"a": 1}, {1, 2}]),
    st.sampled_from([np.float32(1.5), np.bool_(True), np.zeros(3, np.float32), np.zeros((2, 3), np.float32),
                     np.zeros(0, np.float32), np.zeros((0, 4), np.float32), np.arange(4.0), np.ones((3, 3))[::-1].astype(np.float32).T]),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.tuples(inner),
        st.builds(TupleSub, st.tuples(inner, inner)), st.builds(RaisingIter, st.lists(inner, max_size=2)),
    ),
    max_leaves=8,
)

ARITY = {
    "cosine_similarity": 2, "cosine_similarity_batch": 2, "reciprocal_rank_fusion": 2,
    "reciprocal_rank_fusion_weighted": 3, "pagerank": 4, "bfs_expansion": 5, "bfs_traversal_edges": 5,
    "strongly_connected_components": 1, "extract_code_tokens": 1, "tokenize_for_search": 1,
    "batch_extract_tokens": 1, "batch_tokenize_queries": 1, "compute_file_hash": 1, "jaccard_similarity": 2,
    "jaccard_similarity_batch": 2, "mmr_select_indices": 4, "extract_code_by_line_range": 5,
    "is_language_supported": 1, "extract_imports_ast": 2, "extract_symbols": 3, "extract_relationships": 2,
    "extract_calls": 3,
}


def bounded(name, args):
    # A caller may ask PageRank for 2**64 iterations; that runs as asked, so keep it short here.
    if name == "pagerank" and len(args) > 2:
        args = list(args)
        if isinstance(args[2], int) and not isinstance(args[2], bool):
            args[2] = min(abs(args[2]), 1000)
        else:
            args[2] = 100
    return args


@pytest.mark.parametrize("name", sorted(ARITY))
@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_arbitrary_arguments(name, data):
    count = data.draw(st.integers(0, ARITY[name] + 1))
    args = bounded(name, data.draw(st.lists(values, min_size=count, max_size=count)))
    try:
        getattr(mn, name)(*args)
    except ALLOWED:
        pass


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(ctor=st.lists(values, max_size=4), documents=values, query=values, extra=st.lists(values, max_size=3))
def test_engine_with_arbitrary_arguments(ctor, documents, query, extra):
    try:
        engine = mn.BM25Engine(*ctor)
    except ALLOWED:
        engine = mn.BM25Engine()
    for call in (lambda: engine.index(documents), lambda: engine.score(query, *extra),
                 lambda: engine.index(["alpha beta", "beta gamma"]), lambda: engine.score("beta", *extra[:1])):
        try:
            call()
        except ALLOWED:
            pass
    stats = engine.get_stats()
    assert set(stats) == {"num_docs", "avg_doc_length", "vocab_size", "k1", "b", "delta"}


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def leak_calls(tmp_path):
    (tmp_path / "f.py").write_text("def f():\n    return g(1)\n" * 5)
    vec = np.linspace(-1, 1, 64, dtype=np.float32)
    mat = np.ones((16, 64), np.float32)
    edges = [("a", "b"), ("b", "c"), ("c", "a"), ("c", "d")]
    lists = [[("x", 1.0), ("y", 0.5)], [("y", 2.0), ("z", 1.0)]]
    engine = mn.BM25Engine()
    engine.index(["alpha beta gamma", "beta delta", "gamma epsilon"])
    py_code = "import os\nclass A(B):\n    def m(self):\n        return self.n(len(x))\n"
    ts_code = "import x from './x';\nexport class C extends D implements E { m(): void {} }\n"
    return [
        lambda: mn.cosine_similarity(vec, vec), lambda: mn.cosine_similarity_batch(vec, mat),
        lambda: mn.reciprocal_rank_fusion(lists), lambda: mn.reciprocal_rank_fusion_weighted(lists, [1.0, 0.5]),
        lambda: engine.score("beta gamma", top_k=2), engine.get_stats,
        lambda: mn.pagerank(edges), lambda: mn.bfs_expansion(edges, ["a"]),
        lambda: mn.bfs_traversal_edges(edges, ["a"]), lambda: mn.strongly_connected_components(edges),
        lambda: mn.extract_code_tokens("parseHttpHeader value"), lambda: mn.tokenize_for_search("getUserName"),
        lambda: mn.batch_extract_tokens(["fooBar", "bazQux"]), lambda: mn.batch_tokenize_queries(["a_b", "cD"]),
        lambda: mn.compute_file_hash("content"), lambda: mn.jaccard_similarity("a b c", "b c d"),
        lambda: mn.jaccard_similarity_batch("a b", ["a", "b c"]),
        lambda: mn.mmr_select_indices([1.0, 0.9, 0.5], ["a b", "a b", "c d"], 2),
        lambda: mn.extract_code_by_line_range(str(tmp_path), "f.py", 2, 4),
        lambda: mn.is_language_supported("rust"), lambda: mn.extract_imports_ast(py_code, "python"),
        lambda: mn.extract_symbols(py_code, "python", "a.py"), lambda: mn.extract_relationships(ts_code, "typescript"),
        lambda: mn.extract_calls(py_code, "python", "m"),
        lambda: mn.BM25Engine().index(["one two", "three"]),
    ]


@pytest.mark.skipif(bool(os.environ.get("MORVANE_SANITIZED")), reason="the sanitizer keeps freed memory")
def test_memory_stays_flat(tmp_path):
    calls = leak_calls(tmp_path)
    for call in calls:
        for _ in range(2000):
            call()
    before = rss_mb()
    rounds = int(os.environ.get("MORVANE_LEAK_ROUNDS", "100000"))
    for call in calls:
        for _ in range(rounds):
            call()
    growth = rss_mb() - before
    assert growth < 20, f"RSS grew by {growth:.1f} MB over {rounds} calls of each entry point"
