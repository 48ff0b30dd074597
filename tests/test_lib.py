"""The module surface: registration, docstrings, binding messages, conversion kinds, the
worker pool across fork, and the shared library's exports."""
import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import morvane_native as mn

NAMES = [
    "cosine_similarity", "cosine_similarity_batch", "reciprocal_rank_fusion", "reciprocal_rank_fusion_weighted",
    "BM25Engine", "pagerank", "bfs_expansion", "bfs_traversal_edges", "strongly_connected_components",
    "extract_code_tokens", "tokenize_for_search", "batch_extract_tokens", "batch_tokenize_queries",
    "compute_file_hash", "jaccard_similarity", "jaccard_similarity_batch", "mmr_select_indices",
    "extract_code_by_line_range", "is_language_supported", "extract_imports_ast", "extract_symbols",
    "extract_relationships", "extract_calls",
]

SIGNATURES = {
    "cosine_similarity": "(vec1, vec2)",
    "cosine_similarity_batch": "(query, documents)",
    "reciprocal_rank_fusion": "(ranked_lists, k=60.0)",
    "reciprocal_rank_fusion_weighted": "(ranked_lists, weights, k=60.0)",
    "pagerank": "(edges, damping=0.85, max_iterations=100, tolerance=1e-06)",
    "bfs_expansion": "(edges, start_nodes, max_hops=3, max_results=30, bidirectional=True)",
    "bfs_traversal_edges": "(edges, start_nodes, max_hops=3, max_results=30, bidirectional=True)",
    "strongly_connected_components": "(edges)",
    "extract_code_tokens": "(text)",
    "tokenize_for_search": "(query)",
    "batch_extract_tokens": "(texts)",
    "batch_tokenize_queries": "(queries)",
    "compute_file_hash": "(content)",
    "jaccard_similarity": "(text1, text2)",
    "jaccard_similarity_batch": "(query, texts)",
    "mmr_select_indices": "(scores, contents, target_count, lambda_param=0.7)",
    "extract_code_by_line_range": "(repo_path, filename, line_start, line_end, max_code_chars=None)",
    "is_language_supported": "(language)",
    "extract_imports_ast": "(code, language)",
    "extract_symbols": "(code, language, filename)",
    "extract_relationships": "(code, language)",
    "extract_calls": "(code, language, current_function_name=None)",
}


def test_registration_order_and_attributes():
    assert mn.__all__ == NAMES
    assert all(hasattr(mn, name) for name in NAMES)
    assert mn.__doc__ == ""


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_signature_and_module(name):
    import inspect

    fn = getattr(mn, name)
    assert fn.__module__ == "morvane_native"
    assert fn.__self__ is mn
    assert fn.__name__ == name
    assert str(inspect.signature(fn)) == SIGNATURES[name]


def test_docstrings():
    assert mn.extract_calls.__doc__ is None and mn.extract_calls.__text_signature__ == "(code, language, current_function_name=None)"
    assert mn.cosine_similarity.__text_signature__ == "(vec1, vec2)"
    assert mn.extract_code_tokens.__doc__ == "Extract code tokens from text, handling camelCase, snake_case, etc."
    assert mn.bfs_traversal_edges.__doc__.endswith(
        '- "imports" when traversing a forward edge (source -> target)\n'
        '- "imported_by" when traversing a reverse edge (target <- source)')
    assert mn.jaccard_similarity_batch.__doc__ == (
        "Batch compute Jaccard similarity of one text against many.\nReturns vec of similarities in same order as texts.")


def test_engine_class_record():
    cls = mn.BM25Engine
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "BM25Engine", "BM25Engine")
    assert cls.__doc__ == "High-performance BM25 scoring engine with WAND-inspired optimization"
    assert cls.__text_signature__ == "(k1=1.5, b=0.75, delta=1.0)"
    assert cls.index.__text_signature__ == "($self, documents)"
    assert cls.score.__text_signature__ == "($self, query, top_k=None, score_threshold=0.0)"
    assert cls.get_stats.__doc__.startswith("Get statistics about the indexed corpus")
    with pytest.raises(TypeError):
        cls().get_stats(1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: mn.extract_code_tokens(), "extract_code_tokens() missing 1 required positional argument: 'text'"),
        (lambda: mn.extract_code_tokens("a", "b"),
         "extract_code_tokens() takes 1 positional arguments but 2 were given"),
        (lambda: mn.extract_code_tokens(text="a", mode=1),
         "extract_code_tokens() got an unexpected keyword argument 'mode'"),
        (lambda: mn.extract_code_tokens("a", text="a"),
         "extract_code_tokens() got multiple values for argument 'text'"),
        (lambda: mn.tokenize_for_search(**{"query": "a", "é": 1}),
         "tokenize_for_search() got an unexpected keyword argument 'é'"),
        (lambda: mn.BM25Engine(1, 2, 3, 4),
         "BM25Engine.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: mn.BM25Engine(k=1.0), "BM25Engine.__new__() got an unexpected keyword argument 'k'"),
        (lambda: mn.BM25Engine(1.0, k1=2.0), "BM25Engine.__new__() got multiple values for argument 'k1'"),
        (lambda: mn.BM25Engine(b="x"), "argument 'b': must be real number, not str"),
        (lambda: mn.BM25Engine(k1=None), "argument 'k1': must be real number, not NoneType"),
        (lambda: mn.extract_code_tokens(5), "argument 'text': 'int' object cannot be cast as 'str'"),
        (lambda: mn.batch_extract_tokens({"a": 1}), "argument 'texts': 'dict' object cannot be cast as 'Sequence'"),
        (lambda: mn.batch_extract_tokens({"a"}), "argument 'texts': 'set' object cannot be cast as 'Sequence'"),
        (lambda: mn.batch_extract_tokens(["a", 5]), "argument 'texts': 'int' object cannot be cast as 'str'"),
        (lambda: mn.batch_tokenize_queries(x for x in "ab"),
         "argument 'queries': 'generator' object cannot be cast as 'Sequence'"),
    ],
)
def test_binding_and_conversion_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_string_is_not_a_sequence():
    with pytest.raises(TypeError, match=r"^argument 'texts': .*'str'.*list"):
        mn.batch_extract_tokens("abc")


def test_sequence_kinds_accept_any_sequence():
    class Texts(list):
        pass

    class StrSub(str):
        pass

    expected = [["foo", "bar"], ["baz"]]
    for texts in (["fooBar", "baz"], ("fooBar", "baz"), Texts(["fooBar", "baz"]), [StrSub("fooBar"), "baz"]):
        assert mn.batch_extract_tokens(texts) == expected
    assert mn.batch_extract_tokens(range(0)) == []


def test_failing_length_and_iteration():
    class BadLen:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return "fooBar"
            raise IndexError

    assert mn.batch_extract_tokens(BadLen()) == [["foo", "bar"]] * 2

    class BadItem(BadLen):
        def __getitem__(self, i):
            raise KeyError("boom")

    with pytest.raises(KeyError):  # not a TypeError, so no prefix
        mn.batch_extract_tokens(BadItem())


def test_lone_surrogates_raise_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        mn.extract_code_tokens("ab\udc80")
    with pytest.raises(UnicodeEncodeError):
        mn.batch_extract_tokens(["ok", "\ud800"])


def test_prefixed_type_error_keeps_cause():
    class Real:
        def __float__(self):
            try:
                raise ValueError("inner")
            except ValueError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        mn.BM25Engine(delta=Real())
    assert str(info.value) == "argument 'delta': outer"
    assert isinstance(info.value.__cause__, ValueError)


def test_repeated_init_returns_same_module():
    lib = ctypes.PyDLL(mn.__file__)
    init = lib.PyInit_morvane_native
    init.restype = ctypes.py_object
    assert init() is mn
    assert init() is mn


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    iid = interpreters.create()
    try:
        with pytest.raises(Exception) as info:
            interpreters.run_string(iid, "import morvane_native")
        assert "ImportError" in str(info.value) and "sub-interpreters" in str(info.value)
    finally:
        interpreters.destroy(iid)
    assert mn.extract_code_tokens("fooBar") == ["foo", "bar"]


def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", mn.__file__], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_morvane_native"]


SANITIZED = bool(os.environ.get("MORVANE_SANITIZED"))


def test_imports_without_numpy_and_links_nothing_extra():
    code = textwrap.dedent("""
        import sys
        sys.modules['numpy'] = None
        import morvane_native
        assert 'numpy' not in sys.modules or sys.modules['numpy'] is None
        print(morvane_native.extract_code_tokens('fooBar'))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['foo', 'bar']"
    if SANITIZED:
        return  # the sanitizer build links its runtimes
    ldd = subprocess.run(["ldd", mn.__file__], capture_output=True, text=True).stdout
    needed = {line.split()[0] for line in ldd.splitlines() if "=>" in line}
    assert needed <= {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "linux-vdso.so.1"}, needed


def test_worker_pool_survives_fork():
    code = textwrap.dedent("""
        import os, morvane_native as mn
        texts = ['fooBar bazQux'] * 2000
        expected = [['foo', 'bar', 'baz', 'qux']] * 2000
        assert mn.batch_extract_tokens(texts) == expected  # starts the pool
        pid = os.fork()
        if pid == 0:
            queries = mn.batch_tokenize_queries(['ab cd', 'fooBar'])
            ok = mn.batch_extract_tokens(texts) == expected and [sorted(q) for q in queries] == [['ab', 'cd'], ['bar', 'foo', 'foobar']]
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        assert os.WEXITSTATUS(status) == 0, status
        assert mn.batch_extract_tokens(texts) == expected
        print('ok')
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


def test_pool_follows_affinity_mask():
    if not hasattr(os, "sched_setaffinity"):
        pytest.skip("no affinity control")
    code = textwrap.dedent("""
        import os, threading, morvane_native as mn
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        before = len(os.listdir('/proc/self/task'))
        mn.batch_extract_tokens(['fooBar'] * 100000)
        print(len(os.listdir('/proc/self/task')) - before)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1"


def _array():
    import numpy as np

    return np.ones(3, np.float32)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: mn.cosine_similarity(_array()), TypeError,
         "cosine_similarity() missing 1 required positional argument: 'vec2'"),
        (lambda: mn.extract_symbols(), TypeError,
         "extract_symbols() missing 3 required positional arguments: 'code', 'language', and 'filename'"),
        (lambda: mn.jaccard_similarity(), TypeError,
         "jaccard_similarity() missing 2 required positional arguments: 'text1' and 'text2'"),
        (lambda: mn.is_language_supported("a", "b"), TypeError,
         "is_language_supported() takes 1 positional arguments but 2 were given"),
        (lambda: mn.reciprocal_rank_fusion([], 1.0, 2), TypeError,
         "reciprocal_rank_fusion() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: mn.cosine_similarity(_array(), _array(), vec1=_array()), TypeError,
         "cosine_similarity() got multiple values for argument 'vec1'"),
        (lambda: mn.compute_file_hash(content="x", mode=1), TypeError,
         "compute_file_hash() got an unexpected keyword argument 'mode'"),
        (lambda: mn.compute_file_hash(5), TypeError, "argument 'content': 'int' object cannot be cast as 'str'"),
        (lambda: mn.BM25Engine().score("q", top_k=-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: mn.BM25Engine().index({"a": 1}), TypeError,
         "argument 'documents': 'dict' object cannot be cast as 'Sequence'"),
        (lambda: mn.bfs_expansion([("a", "b", "c")], ["a"]), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        (lambda: mn.bfs_expansion([["a", "b"]], ["a"]), TypeError,
         "argument 'edges': 'list' object cannot be cast as 'tuple'"),
        (lambda: mn.bfs_expansion([], ["a"], bidirectional=1), TypeError,
         "argument 'bidirectional': 'int' object cannot be cast as 'bool'"),
        (lambda: mn.extract_code_by_line_range("r", "f", 1.5, 2), TypeError,
         "argument 'line_start': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_binding_rules_across_families(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message


def test_kinds_across_families():
    import numpy as np

    assert mn.BM25Engine().score("q", top_k=None) == []
    with pytest.raises(TypeError, match=r"^argument 'top_k': "):
        mn.BM25Engine().score("q", top_k=2.0)
    with pytest.raises(TypeError, match=r"^argument 'k': "):
        mn.reciprocal_rank_fusion([], k=None)
    assert mn.bfs_expansion((("a", "b"),), ("a",), bidirectional=np.bool_(False), max_hops=True) == {"a": 0, "b": 1}
    stats = mn.BM25Engine(k1=1.2, b=True, delta=np.float64(3)).get_stats()
    assert (stats["k1"], stats["b"], stats["delta"]) == (1.2000000476837158, 1.0, 3.0)
    with pytest.raises(TypeError) as info:
        mn.cosine_similarity([1.0], [1.0])
    qualname = np.ndarray.__qualname__
    assert str(info.value) == f"argument 'vec1': 'list' object cannot be cast as '{qualname}'"
    with pytest.raises(TypeError) as info:
        mn.cosine_similarity(np.ones(2), np.ones(2, np.float32))
    assert str(info.value) == f"argument 'vec1': '{qualname}' object cannot be cast as '{qualname}'"
