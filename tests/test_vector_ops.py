import gc
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import morvane_native as mn

F32 = np.float32


# --- float32 models: every sum starts at -0.0 and adds in index order ---------------------

def model_cosine(a, b):
    a, b = np.asarray(a, F32), np.asarray(b, F32)
    if a.size == 0:
        return 0.0
    dot = s1 = s2 = F32(-0.0)
    with np.errstate(all="ignore"):
        for x, y in zip(a, b):
            dot, s1, s2 = F32(dot + x * y), F32(s1 + x * x), F32(s2 + y * y)
        if s1 == 0 or s2 == 0:
            return 0.0
        return float(F32(dot / F32(np.sqrt(s1) * np.sqrt(s2))))


def model_batch(query, documents):
    docs = np.array(documents, dtype=F32)  # a plain copy; elementwise float32 ops are exact
    rows, cols = docs.shape
    qs = F32(-0.0)
    for x in query:
        qs = F32(qs + x * x)
    if cols == 0 or qs == 0:
        return np.zeros(rows, F32)
    dot = np.full(rows, -0.0, F32)
    squares = np.full(rows, -0.0, F32)
    with np.errstate(all="ignore"):
        for j in range(cols):
            dot = dot + query[j] * docs[:, j]
            squares = squares + docs[:, j] * docs[:, j]
        scores = dot / (np.sqrt(squares) * np.sqrt(qs))
    scores[squares == 0] = 0
    return scores.astype(F32)


def same_bits(got, expected):
    return got.dtype == F32 and got.shape == expected.shape and np.array_equal(
        got.view(np.uint32), expected.view(np.uint32))


def gen_matrix(rows, cols, seed=7):
    rng = np.random.default_rng(seed)
    m = (rng.standard_normal((rows, cols)) * rng.choice([1e-3, 1.0, 1e3], (rows, 1))).astype(F32)
    if rows > 3:
        m[1] = 0.0                      # a zero row scores 0
        m[2, : cols // 2] = -0.0
    return m


# --- cosine_similarity -------------------------------------------------------------------

@pytest.mark.parametrize("a, b, expected", [
    ([3, 4], [4, 3], 0.9599999785423279),
    ([1, 2, 3], [1, 2, 3], 0.9999999403953552),
    ([1, 1], [-1, -1], -1.0000001192092896),   # not clamped
    ([1, 0], [0, 1], 0.0),
    ([0, 0, 0], [1, 2, 3], 0.0),
    ([-0.0, 0.0], [1, 2], 0.0),
    ([], [], 0.0),
])
def test_cosine_known_values(a, b, expected):
    assert mn.cosine_similarity(np.array(a, F32), np.array(b, F32)) == expected


@pytest.mark.parametrize("n", [1, 7, 384, 1000])
def test_cosine_matches_sequential_model(n):
    rng = np.random.default_rng(n)
    a = (rng.standard_normal(n) * 1e3).astype(F32)
    b = rng.standard_normal(n).astype(F32)
    assert mn.cosine_similarity(a, b) == model_cosine(a, b)


@pytest.mark.parametrize("a, b", [
    ([np.inf, 1], [1, 1]),
    ([np.nan, 1], [1, 1]),
    ([3e38, 3e38], [1, 1]),     # the squares overflow to infinity
])
def test_cosine_non_finite_values_propagate(a, b):
    a, b = np.array(a, F32), np.array(b, F32)
    got, expected = mn.cosine_similarity(a, b), model_cosine(a, b)
    assert got == expected or (np.isnan(got) and np.isnan(expected))


def test_cosine_reads_unaligned_and_subclassed_arrays():
    values = np.array([1, 2, 3, 4, 5], F32)
    unaligned = np.frombuffer(b"\0" + values.tobytes(), dtype=F32, offset=1)
    assert not unaligned.flags.aligned
    subclassed = np.arange(5, dtype=F32).view(type("Sub", (np.ndarray,), {}))
    assert mn.cosine_similarity(unaligned, subclassed) == model_cosine(values, np.arange(5))
    assert mn.cosine_similarity(np.asfortranarray(values), values[::-1].copy()[::-1].copy()) == model_cosine(values, values)


# --- cosine_similarity_batch -------------------------------------------------------------

def views(m):
    """The same logical matrix through different memory layouts."""
    yield "c", m
    yield "fortran", np.asfortranarray(m)
    yield "reversed rows", np.ascontiguousarray(m[::-1])[::-1]
    yield "reversed cols", np.ascontiguousarray(m[:, ::-1])[:, ::-1]
    yield "reversed both", np.ascontiguousarray(m[::-1, ::-1])[::-1, ::-1]
    yield "fortran reversed rows", np.asfortranarray(m[::-1])[::-1]
    big = np.zeros((m.shape[0] * 2, m.shape[1] * 3), F32)
    big[::2, 1::3] = m
    yield "sliced", big[::2, 1::3]
    raw = np.zeros(m.size * 4 + 3, np.uint8)
    unaligned = np.ndarray(m.shape, F32, raw.data, offset=3, strides=(m.shape[1] * 4, 4))
    unaligned[...] = m
    yield "unaligned", unaligned
    raw = np.zeros(m.size * 6 + 8, np.uint8)
    odd = np.lib.stride_tricks.as_strided(
        np.ndarray((m.size,), F32, raw.data, offset=1, strides=(6,)), m.shape, (m.shape[1] * 6, 6))
    odd_writer = np.ndarray(m.shape, F32, raw.data, offset=1, strides=(m.shape[1] * 6, 6))
    odd_writer[...] = m
    yield "byte strides not a multiple of 4", odd


@pytest.mark.parametrize("shape", [(1, 1), (5, 3), (17, 8), (33, 40), (70, 384), (1000, 9)])
def test_batch_matches_model_for_every_layout(shape):
    m = gen_matrix(*shape)
    query = np.random.default_rng(1).standard_normal(shape[1]).astype(F32)
    expected = model_batch(query, m)
    for name, view in views(m):
        assert np.array_equal(view, m)
        assert same_bits(mn.cosine_similarity_batch(query, view), expected), name


def test_batch_transposed_matrix():
    m = gen_matrix(30, 50)
    query = np.linspace(-1, 1, 30).astype(F32)
    assert same_bits(mn.cosine_similarity_batch(query, m.T), model_batch(query, m.T))
    assert same_bits(mn.cosine_similarity_batch(query, m.T[::-1]), model_batch(query, m.T[::-1]))


def test_batch_broadcast_rows_and_non_finite_values():
    row = np.array([1, np.inf, 2, np.nan, 3e38, 1e-45, -0.0, 4], F32)
    rows = np.broadcast_to(row, (20, 8))        # row stride 0
    mixed = np.vstack([rows, np.eye(8, dtype=F32), np.full((3, 8), 3e38, F32)])
    query = np.arange(1, 9, dtype=F32)
    for m in (rows, mixed):
        got = mn.cosine_similarity_batch(query, m)
        assert np.array_equal(got, model_batch(query, m), equal_nan=True)


@pytest.mark.parametrize("query, shape", [
    (np.zeros(4, F32), (6, 4)),
    (np.array([-0.0, 0.0], F32), (3, 2)),
    (np.zeros(0, F32), (5, 0)),
    (np.ones(4, F32), (0, 4)),
])
def test_batch_zero_query_or_empty_shapes(query, shape):
    got = mn.cosine_similarity_batch(query, np.ones(shape, F32))
    assert got.dtype == F32 and got.shape == (shape[0],) and not got.any()


def test_batch_result_owns_its_buffer():
    m = gen_matrix(50, 16)
    got = mn.cosine_similarity_batch(np.ones(16, F32), m)
    assert got.flags.c_contiguous and got.flags.writeable and not got.flags.owndata
    assert got.base is not None and not isinstance(got.base, np.ndarray)
    del m
    got[0] = 5.0                    # the buffer is ours to write and outlives the inputs
    assert got[0] == 5.0


def test_batch_releases_the_interpreter_lock():
    m = np.ones((100_000, 384), F32)
    ticks = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1.0)      # the spinner runs only when the lock is given up
    worker = threading.Thread(target=spin)
    worker.start()
    try:
        stop.wait(0.01)
        before = ticks[0]
        for _ in range(3):
            mn.cosine_similarity_batch(np.ones(384, F32), m)
        after = ticks[0]
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(old)
    assert after > before


# --- errors ------------------------------------------------------------------------------

V2 = np.ones(2, F32)
V3 = np.ones(3, F32)
NDARRAY = "'ndarray' object cannot be cast as 'ndarray'"


@pytest.mark.parametrize("call, error, message", [
    (lambda: mn.cosine_similarity(V2), TypeError,
     "cosine_similarity() missing 1 required positional argument: 'vec2'"),
    (lambda: mn.cosine_similarity(V2, V2, vec1=V2), TypeError,
     "cosine_similarity() got multiple values for argument 'vec1'"),
    (lambda: mn.cosine_similarity([1.0], [1.0]), TypeError,
     "argument 'vec1': 'list' object cannot be cast as 'ndarray'"),
    (lambda: mn.cosine_similarity(V2, np.ones(2)), TypeError, "argument 'vec2': " + NDARRAY),
    (lambda: mn.cosine_similarity(V2, np.ones(2, ">f4")), TypeError, "argument 'vec2': " + NDARRAY),
    (lambda: mn.cosine_similarity(np.ones((1, 2), F32), V2), TypeError, "argument 'vec1': " + NDARRAY),
    (lambda: mn.cosine_similarity(np.ones(4, F32)[::2], V2), TypeError, "The given array is not contiguous"),
    (lambda: mn.cosine_similarity(V2, np.ones(4, F32)[::-2]), TypeError, "The given array is not contiguous"),
    (lambda: mn.cosine_similarity(V2, V3), ValueError, "Vectors must have the same length"),
    (lambda: mn.cosine_similarity_batch(V3, np.ones((5, 4), F32)), ValueError,
     "query length 3 does not match document vector size 4"),
    (lambda: mn.cosine_similarity_batch(np.ones(8, F32)[::2], np.ones((5, 4), F32)), TypeError,
     "The given array is not contiguous"),
    (lambda: mn.cosine_similarity_batch(V2, np.ones(2, F32)), TypeError, "argument 'documents': " + NDARRAY),
    (lambda: mn.cosine_similarity_batch(V2, np.ones((2, 2), np.float64)), TypeError,
     "argument 'documents': " + NDARRAY),
    (lambda: mn.cosine_similarity_batch(query=V2), TypeError,
     "cosine_similarity_batch() missing 1 required positional argument: 'documents'"),
])
def test_vector_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_contiguity_is_checked_before_length():
    with pytest.raises(TypeError, match="not contiguous"):
        mn.cosine_similarity(V2, np.ones(6, F32)[::2])


def test_without_numpy_import_works_and_vector_calls_fail_until_numpy_is_back():
    script = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None          # make "import numpy" fail
        import morvane_native as mn
        assert mn.jaccard_similarity is not None
        for call in (lambda: mn.cosine_similarity([1.0], [1.0]),
                     lambda: mn.cosine_similarity_batch(None, None)):
            try:
                call()
            except Exception as e:
                raise SystemExit("caught as Exception: %r" % e)
            except BaseException as e:
                assert str(e).startswith("Failed to access NumPy array API capsule: "), str(e)
            else:
                raise SystemExit("no error")
        del sys.modules["numpy"]             # a failure is not remembered
        import numpy as np
        a = np.array([3, 4], np.float32)
        assert mn.cosine_similarity(a, a[::-1].copy()) == 0.9599999785423279
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr + result.stdout
    assert result.stdout.strip() == "ok"


# --- reciprocal rank fusion --------------------------------------------------------------

LISTS = [[("a", 0.9), ("b", 0.8)], [("b", 0.7), ("c", 0.5)]]


@pytest.mark.parametrize("call, expected", [
    (lambda: mn.reciprocal_rank_fusion(LISTS),
     [("b", 0.032522473484277725), ("a", 0.016393441706895828), ("c", 0.016129031777381897)]),
    (lambda: mn.reciprocal_rank_fusion_weighted(LISTS, [2.0, 1.0]),
     [("b", 0.04865150526165962), ("a", 0.032786883413791656), ("c", 0.016129031777381897)]),
    (lambda: mn.reciprocal_rank_fusion([[("a", -5), ("b", 1e9)], [("b", 0), ("c", True)]]),
     [("b", 0.032522473484277725), ("a", 0.016393441706895828), ("c", 0.016129031777381897)]),
    (lambda: mn.reciprocal_rank_fusion([[("x", 1.0), ("x", 1.0)]]), [("x", float(F32(1) / F32(61) + F32(1) / F32(62)))]),
    (lambda: mn.reciprocal_rank_fusion([[("a", 1.0), ("b", 1.0)]], k=0), [("a", 1.0), ("b", 0.5)]),
    (lambda: mn.reciprocal_rank_fusion([]), []),
    (lambda: mn.reciprocal_rank_fusion([[], ()]), []),
    (lambda: mn.reciprocal_rank_fusion_weighted([], []), []),
    (lambda: mn.reciprocal_rank_fusion_weighted([[("a", 1)], [("b", 1)]], [-1.0, 1.0]),
     [("b", 0.016393441706895828), ("a", -0.016393441706895828)]),
    (lambda: mn.reciprocal_rank_fusion((([("a", 1)]),), 1e300), [("a", 0.0)]),   # k rounds to inf
])
def test_fusion_known_results(call, expected):
    assert call() == expected


def test_fusion_ties_and_nan_ordering():
    tied = mn.reciprocal_rank_fusion([[("a", 1.0)], [("b", 1.0)]])
    assert sorted(tied) == [("a", F32(1) / F32(61)), ("b", F32(1) / F32(61))]
    mixed = mn.reciprocal_rank_fusion_weighted([[("n1", 0), ("n2", 0)], [("x", 0), ("y", 0)]], [float("nan"), 1.0])
    assert [d for d, _ in mixed[:2]] == ["x", "y"]
    assert {d for d, _ in mixed[2:]} == {"n1", "n2"} and all(np.isnan(s) for _, s in mixed[2:])
    assert all(np.isnan(s) for _, s in mn.reciprocal_rank_fusion(LISTS, k=float("nan")))
    zero = mn.reciprocal_rank_fusion([[("a", 0), ("b", 0)]], k=-1)   # 1/0 is +inf, not an error
    assert zero[0] == ("a", float("inf"))


class _StrSub(str):
    pass


class _TupleSub(tuple):
    pass


class _Seq:
    """A sequence that is neither a list nor a tuple."""
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_fusion_reads_every_input_shape_alike():
    rng = np.random.default_rng(9)
    lists = [[(f"d{rng.integers(40)}", float(rng.random())) for _ in range(30)] for _ in range(3)]
    expected = mn.reciprocal_rank_fusion(lists, 5.0)
    variants = [
        tuple(tuple(lst) for lst in lists),
        [_Seq(lst) for lst in lists],
        _Seq(lists),
        [[(_StrSub(d), s) for d, s in lst] for lst in lists],
        [[_TupleSub((d, s)) for d, s in lst] for lst in lists],
        [[(d, np.float64(s)) for d, s in lst] for lst in lists],
        [[(d, int(s * 10)) for d, s in lst] for lst in lists],
        [[(d, 2**80) for d, _ in lst] for lst in lists],
    ]
    for variant in variants:
        assert mn.reciprocal_rank_fusion(variant, 5.0) == expected
    with pytest.raises(OverflowError):
        mn.reciprocal_rank_fusion([[("a", 1.0), ("b", 2**2000)]])
    with pytest.raises(UnicodeEncodeError):
        mn.reciprocal_rank_fusion([[("a", 1.0), ("\ud800", 1.0)]])


def test_fusion_keeps_ids_alive_while_later_arguments_run_code():
    lists = [[("".join(("doc", str(i))), 1.0) for i in range(200)]]  # the only references
    expected = [f"doc{i}" for i in range(200)]

    class DropsTheLists:
        def __float__(self):
            lists[0].clear()
            gc.collect()
            self.reuse = ["".join(("xyz", str(i))) for i in range(2000)]  # take the freed memory
            return 60.0

    assert [d for d, _ in mn.reciprocal_rank_fusion(lists, DropsTheLists())] == expected


def model_fusion(lists, weights, k):
    k = F32(k)
    fused = {}
    for lst, w in zip(lists, weights):
        for rank, (doc, _) in enumerate(lst):
            c = F32(F32(w) / F32(F32(F32(rank) + k) + F32(1)))
            fused[doc] = F32(c + fused.get(doc, F32(0)))
    return fused


@pytest.mark.parametrize("seed, k", [(1, 60.0), (2, 0.5), (3, 1e-3), (4, 1000.3)])
def test_fusion_matches_float32_model(seed, k):
    rng = np.random.default_rng(seed)
    lists = [[(f"d{rng.integers(150)}", float(rng.random())) for _ in range(rng.integers(0, 120))]
             for _ in range(5)]
    weights = [float(w) for w in rng.random(5) * 3]
    for got, w in ((mn.reciprocal_rank_fusion(lists, k), [1.0] * 5),
                   (mn.reciprocal_rank_fusion_weighted(lists, weights, k=k), weights)):
        expected = model_fusion(lists, w, k)
        assert dict(got) == {d: float(s) for d, s in expected.items()} and len(got) == len(expected)
        scores = [s for _, s in got]
        assert scores == sorted(scores, reverse=True)


@pytest.mark.parametrize("call, error, message", [
    (lambda: mn.reciprocal_rank_fusion(LISTS, 1.0, 2), TypeError,
     "reciprocal_rank_fusion() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: mn.reciprocal_rank_fusion(LISTS, k=None), TypeError, "argument 'k': must be real number, not NoneType"),
    (lambda: mn.reciprocal_rank_fusion("abc"), TypeError, None),
    (lambda: mn.reciprocal_rank_fusion([[("a", "high")]]), TypeError, "argument 'ranked_lists': must be real number, not str"),
    (lambda: mn.reciprocal_rank_fusion([[(1, 1.0)]]), TypeError,
     "argument 'ranked_lists': 'int' object cannot be cast as 'str'"),
    (lambda: mn.reciprocal_rank_fusion([[["a", 1.0]]]), TypeError,
     "argument 'ranked_lists': 'list' object cannot be cast as 'tuple'"),
    (lambda: mn.reciprocal_rank_fusion([[("a", 1.0, 2)]]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: mn.reciprocal_rank_fusion({"a": 1}), TypeError,
     "argument 'ranked_lists': 'dict' object cannot be cast as 'Sequence'"),
    (lambda: mn.reciprocal_rank_fusion_weighted(LISTS, [1.0]), ValueError,
     "Number of ranked lists must match number of weights"),
    (lambda: mn.reciprocal_rank_fusion_weighted([[("a", 1.0, 2)]], [1.0, 2.0]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: mn.reciprocal_rank_fusion_weighted(LISTS, ["x", 1.0]), TypeError,
     "argument 'weights': must be real number, not str"),
    (lambda: mn.reciprocal_rank_fusion_weighted(LISTS), TypeError,
     "reciprocal_rank_fusion_weighted() missing 1 required positional argument: 'weights'"),
])
def test_fusion_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is None:
        assert str(info.value).startswith("argument 'ranked_lists': ")
    else:
        assert str(info.value) == message
