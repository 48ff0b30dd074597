"""BM25Engine: statistics, its word tokenizer, BM25+ scores against a float32 model of the
formula, bad input, and the borrow rules under real threads."""

import math
import random
import threading
import time

import numpy as np
import pytest

import morvane_native
from morvane_native import BM25Engine

F32 = np.float32


# ---------------------------------------------------------------------------------------
# A plain float32 model of the engine, over token lists the test knows in advance.


def model_idf(num_docs, doc_freq):
    ratio = (F32(num_docs) - F32(doc_freq) + F32(0.5)) / (F32(doc_freq) + F32(0.5))
    return F32(math.log(float(ratio + F32(1.0))))


def model_score(docs_tokens, query_tokens, k1, b, delta, top_k=None, threshold=0.0):
    k1, b, delta, threshold = F32(k1), F32(b), F32(delta), F32(threshold)
    n = len(docs_tokens)
    if n == 0:
        return []
    total = sum(len(tokens) for tokens in docs_tokens)
    avg = F32(total) / F32(n)
    doc_freq = {}
    for tokens in docs_tokens:
        for term in set(tokens):
            doc_freq[term] = doc_freq.get(term, 0) + 1
    idf = {term: model_idf(n, df) for term, df in doc_freq.items()}
    hits = []
    with np.errstate(all="ignore"):
        for i, tokens in enumerate(docs_tokens):
            score = F32(0.0)
            if query_tokens and tokens:
                avgdl = avg if avg > F32(0.0) else F32(1.0)
                norm = ((F32(len(tokens)) / avgdl) * b + (F32(1.0) - b)) * k1
                counts = {}
                for term in tokens:
                    counts[term] = counts.get(term, 0) + 1
                for q in query_tokens:
                    if q in counts:
                        f = F32(counts[q])
                        score = score + ((k1 + F32(1.0)) * f / (f + norm) + delta) * idf[q]
            if score > threshold:
                hits.append((i, float(score)))
    hits.sort(key=lambda hit: -hit[1])
    return hits if top_k is None else hits[:top_k]


def exact(hits):
    """Hits with scores as bit patterns, so that -0.0 and 0.0 differ."""
    return [(i, float(s).hex()) for i, s in hits]


# ---------------------------------------------------------------------------------------
# Statistics


@pytest.mark.parametrize(
    "params, documents, expected",
    [
        ({}, None, dict(num_docs=0.0, avg_doc_length=0.0, vocab_size=0.0, k1=1.5, b=0.75, delta=1.0)),
        ({}, [], dict(num_docs=0.0, avg_doc_length=0.0, vocab_size=0.0)),
        ({}, ["", "!!!"], dict(num_docs=2.0, avg_doc_length=0.0, vocab_size=0.0)),
        ({}, ["a b", "a"], dict(num_docs=2.0, avg_doc_length=1.5, vocab_size=2.0)),
        ({}, ("x x x",), dict(num_docs=1.0, avg_doc_length=3.0, vocab_size=1.0)),
        ({"k1": 1.2}, None, dict(k1=1.2000000476837158)),
        ({"k1": -5, "b": 2, "delta": 0}, None, dict(k1=-5.0, b=2.0, delta=0.0)),
        ({"k1": 1e39, "delta": float("-inf")}, None, dict(k1=math.inf, delta=-math.inf)),
    ],
)
def test_get_stats(params, documents, expected):
    engine = BM25Engine(**params)
    if documents is not None:
        engine.index(documents)
    stats = engine.get_stats()
    assert set(stats) == {"num_docs", "avg_doc_length", "vocab_size", "k1", "b", "delta"}
    assert {key: stats[key] for key in expected} == expected


def test_nan_parameter_is_kept():
    assert math.isnan(BM25Engine(b=float("nan")).get_stats()["b"])


def test_index_replaces_the_whole_corpus():
    engine = BM25Engine()
    engine.index(["Hello World"])
    engine.index(["foo", "bar", "baz"])
    assert engine.get_stats()["num_docs"] == 3.0
    assert engine.get_stats()["vocab_size"] == 3.0
    assert engine.score("hello") == []
    assert engine.score("bar") == engine.score("bar", top_k=1) and engine.score("bar")[0][0] == 1


# ---------------------------------------------------------------------------------------
# The word tokenizer, seen through the index: the vocabulary is exactly the expected
# set of terms, each term matches, and the document length is the token count.


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("Hello, World! os.path e-mail 3.14 ΣΑΣ", ["hello", "world", "os.path", "e", "mail", "3.14", "σας"]),
        ("snake_case_name abc123 can't 1,000 getUserName", ["snake_case_name", "abc123", "can't", "1,000", "getusername"]),
        ("STRASSE Straße", ["strasse", "straße"]),
        ("İstanbul ὈΔΥΣΣΕΎΣ", ["i̇stanbul", "ὀδυσσεύς"]),
        ("日本 カタカナ", ["日", "本", "カタカナ"]),
        ("a.b. 1. .5 x_ _y", ["a.b", "1", "5", "x_", "_y"]),
        ("👍🏽 ... --- \t\n !!! ¿? ", []),
        ("word word\r\nword", ["word", "word", "word"]),
    ],
)
def test_tokenizer(text, tokens):
    engine = BM25Engine()
    engine.index([text])
    stats = engine.get_stats()
    assert stats["vocab_size"] == len(set(tokens))
    assert stats["avg_doc_length"] == len(tokens)
    for token in set(tokens):
        assert [i for i, _ in engine.score(token)] == [0], token


@pytest.mark.parametrize("query", ["os", "path", "OS.PATH"])
def test_query_matches_whole_words_case_insensitively(query):
    engine = BM25Engine()
    engine.index(["os.path", "os path"])
    assert [i for i, _ in engine.score(query)] == ([0] if query == "OS.PATH" else [1])


# ---------------------------------------------------------------------------------------
# Scores


@pytest.mark.parametrize(
    "documents, query, kwargs, expected",
    [
        (["a b", "a"], "a", {}, [(1, 0.396818), (0, 0.340862)]),
        (["a b", "a"], "b", {}, [(0, 1.295884)]),
        (["a b", "a"], "a a", {}, [(1, 0.793635), (0, 0.681724)]),
        (["a", "zzz"], "a", {"score_threshold": -1.0}, [(0, 1.386294), (1, 0.0)]),
        (["a", "zzz"], "...", {}, []),
        (["a", "zzz"], "...", {"score_threshold": -1.0}, [(0, 0.0), (1, 0.0)]),
        (["a b", "a"], "a", {"top_k": 0}, []),
        (["a b", "a"], "a", {"top_k": 1}, [(1, 0.396818)]),
        (["a b", "a"], "a", {"top_k": 10**9}, [(1, 0.396818), (0, 0.340862)]),
        (["a b", "a"], "a", {"top_k": None, "score_threshold": 0.35}, [(1, 0.396818)]),
        (["a b", "a"], "a", {"score_threshold": math.nan}, []),
        (["same", "x", "same", "same"], "same", {}, [(0, 0.713350), (2, 0.713350), (3, 0.713350)]),
        ([], "a", {"score_threshold": -1.0}, []),
        (None, "a", {"score_threshold": -1.0}, []),
    ],
)
def test_score_cases(documents, query, kwargs, expected):
    engine = BM25Engine()
    if documents is not None:
        engine.index(documents)
    hits = engine.score(query, **kwargs)
    assert [i for i, _ in hits] == [i for i, _ in expected]
    assert [s for _, s in hits] == pytest.approx([s for _, s in expected], abs=1e-6)
    assert all(type(i) is int and type(s) is float for i, s in hits)


# Each generated word comes with the tokens it must give, so the model needs no tokenizer.
WORDS = [
    ("alpha", ["alpha"]), ("Alpha", ["alpha"]), ("ALPHA", ["alpha"]), ("beta", ["beta"]),
    ("beta", ["beta"]), ("gamma_delta", ["gamma_delta"]), ("os.path", ["os.path"]), ("x2", ["x2"]),
    ("42", ["42"]), ("3.14", ["3.14"]), ("can't", ["can't"]), ("e-mail", ["e", "mail"]),
    ("café", ["café"]), ("Straße", ["straße"]), ("ΣΑΣ", ["σας"]), ("日本", ["日", "本"]),
    ("getUserName", ["getusername"]), ("İx", ["i̇x"]), ("!!!", []), ("...", []),
]
SEPARATORS = [" ", "  ", "\n", ", ", "! ", " (", ") ", "\t", " - ", "? "]


def random_text(rng, max_words):
    words = [rng.choice(WORDS) for _ in range(rng.randint(0, max_words))]
    text = "".join(surface + rng.choice(SEPARATORS) for surface, _ in words)
    return text, [token for _, tokens in words for token in tokens]


def random_param(rng, usual, specials):
    return rng.choice(specials) if rng.random() < 0.15 else rng.choice([usual, rng.uniform(-3.0, 3.0)])


@pytest.mark.parametrize("seed", range(25))
def test_scores_equal_the_float32_model(seed):
    rng = random.Random(seed)
    k1 = random_param(rng, 1.5, [0.0, -5.0, math.inf, math.nan, 1e-30])
    b = random_param(rng, 0.75, [0.0, 1.0, 2.0, -0.5, math.nan])
    delta = random_param(rng, 1.0, [0.0, -1.0, math.inf])
    corpus = [random_text(rng, 12) for _ in range(rng.randint(0, 30))]
    if corpus and rng.random() < 0.5:
        corpus += corpus[: rng.randint(1, len(corpus))]  # identical documents tie
    engine = BM25Engine(k1, b, delta)
    engine.index([text for text, _ in corpus])
    docs_tokens = [tokens for _, tokens in corpus]
    for _ in range(8):
        query, query_tokens = random_text(rng, 5)
        if rng.random() < 0.3:
            query += " zzz " + query  # an unknown term, and every token repeated
            query_tokens = query_tokens * 2
        top_k = rng.choice([None, None, 0, 1, rng.randint(0, 12), 10**6])
        threshold = rng.choice([0.0, -0.0, -1.0, rng.uniform(-2.0, 3.0), math.nan, -math.inf, math.inf])
        expected = model_score(docs_tokens, query_tokens, k1, b, delta, top_k, threshold)
        assert exact(engine.score(query, top_k=top_k, score_threshold=threshold)) == exact(expected)


@pytest.mark.parametrize(
    "documents, query, params, threshold",
    [
        # 17 documents all holding the term: an idf where a less accurate logf is one unit off.
        (["t"] * 17, "t", (1.5, 0.75, 1.0), 0.0),
        # Contributions of -0.0 (k1 = -1, delta = -0.0) still sum to +0.0 from a +0.0 start.
        (["a b", "a", "b b a"], "a a", (-1.0, 0.75, -0.0), -1.0),
    ],
)
def test_fixed_corpora_equal_the_float32_model(documents, query, params, threshold):
    engine = BM25Engine(*params)
    engine.index(documents)
    expected = model_score([d.split() for d in documents], query.split(), *params, threshold=threshold)
    assert exact(engine.score(query, score_threshold=threshold)) == exact(expected)


@pytest.mark.parametrize("threshold, top_k", [(0.0, None), (0.0, 7), (-1.0, None), (-1.0, 40)])
def test_scores_of_a_large_query_equal_the_float32_model(threshold, top_k):
    # Enough postings that scoring is split across the worker pool by document range.
    rng = random.Random(7)
    vocabulary = ["w", "x", "y", "z", "v"]
    docs_tokens = [[rng.choice(vocabulary) for _ in range(rng.randint(0, 9))] for _ in range(3000)]
    engine = BM25Engine()
    engine.index([" ".join(tokens) for tokens in docs_tokens])
    query_tokens = [rng.choice(vocabulary) for _ in range(60)]
    expected = model_score(docs_tokens, query_tokens, 1.5, 0.75, 1.0, top_k, threshold)
    assert exact(engine.score(" ".join(query_tokens), top_k, threshold)) == exact(expected)


def test_large_corpora_and_documents():
    engine = BM25Engine()
    engine.index([""] * 500_000 + ["needle"] + ["hay"] * 499_999)
    norm = (F32(1.0) / F32(0.5) * F32(0.75) + F32(0.25)) * F32(1.5)
    needle = (F32(2.5) / (F32(1.0) + norm) + F32(1.0)) * model_idf(1_000_000, 1)
    assert engine.score("needle") == [(500_000, float(needle))]
    assert len(engine.score("needle", score_threshold=-1.0)) == 1_000_000
    engine.index(["needle " * 4_000_000 + "end"])  # 28 MB in one document
    assert engine.get_stats()["avg_doc_length"] == 4_000_001.0
    assert [i for i, _ in engine.score("END")] == [0]


# ---------------------------------------------------------------------------------------
# Bad input


@pytest.mark.parametrize(
    "documents, error, message",
    [
        ("abc", TypeError, "argument 'documents': "),
        ({"a": 1}, TypeError, "argument 'documents': 'dict' object cannot be cast as 'Sequence'"),
        (["a", 5], TypeError, "argument 'documents': 'int' object cannot be cast as 'str'"),
        ([b"bytes"], TypeError, "argument 'documents': 'bytes' object cannot be cast as 'str'"),
        (["fine", "\ud800"], UnicodeEncodeError, ""),
        ((x for x in ["a"]), TypeError, "argument 'documents': 'generator' object cannot be cast as 'Sequence'"),
    ],
)
def test_failed_index_keeps_the_previous_corpus(documents, error, message):
    engine = BM25Engine()
    engine.index(["keep me", "me too"])
    stats, hits = engine.get_stats(), engine.score("me")
    with pytest.raises(error) as info:
        engine.index(documents)
    assert str(info.value).startswith(message)
    assert engine.get_stats() == stats
    assert engine.score("me") == hits


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.score(5), TypeError, "argument 'query': 'int' object cannot be cast as 'str'"),
        (lambda e: e.score("q", top_k=-1), OverflowError, ""),
        (lambda e: e.score("q", top_k=2.0), TypeError, "argument 'top_k': "),
        (lambda e: e.score("q", score_threshold="x"), TypeError, "argument 'score_threshold': "),
        (lambda e: e.score("q", 1, 0.0, 4), TypeError, "BM25Engine.score() takes from 1 to 3 positional arguments"),
        (lambda e: e.index(), TypeError, "BM25Engine.index() missing 1 required positional argument: 'documents'"),
        (lambda e: BM25Engine(1, 2, 3, 4), TypeError, "BM25Engine.__new__() takes from 0 to 3 positional arguments"),
        (lambda e: BM25Engine(k=1.0), TypeError, "BM25Engine.__new__() got an unexpected keyword argument 'k'"),
        (lambda e: BM25Engine(b="x"), TypeError, "argument 'b': must be real number, not str"),
        (lambda e: BM25Engine.score(object(), "q"), TypeError, ""),
    ],
)
def test_bad_arguments(call, error, message):
    engine = BM25Engine()
    engine.index(["q"])
    with pytest.raises(error) as info:
        call(engine)
    assert str(info.value).startswith(message)
    if error is OverflowError:
        assert "argument" not in str(info.value)


def test_top_k_none_and_subclass_are_accepted():
    class Engine(BM25Engine):
        pass

    engine = Engine(k1=1.2)
    engine.index(["q"])
    assert engine.score("q", top_k=None) == engine.score("q")
    assert engine.get_stats()["k1"] == BM25Engine(k1=1.2).get_stats()["k1"]


# ---------------------------------------------------------------------------------------
# Borrow rules with real threads


def test_index_during_a_running_score_is_refused():
    engine = BM25Engine()
    documents = ["w"] * 20_000
    engine.index(documents)
    slow_query = "w " * 4_000  # about 10^8 additions, scored without the interpreter lock
    expected = engine.score(slow_query, top_k=3)
    results, errors = [], []
    scoring = threading.Event()

    def score_repeatedly():
        for _ in range(4):
            scoring.set()
            results.append(engine.score(slow_query, top_k=3))

    thread = threading.Thread(target=score_repeatedly)
    thread.start()
    scoring.wait()
    time.sleep(0.05)
    side_by_side = []
    while thread.is_alive():
        try:
            engine.index(documents)  # same corpus, so a score that slipped through is unchanged
        except RuntimeError as error:
            errors.append(str(error))
            side_by_side.append((engine.get_stats()["num_docs"], engine.score("w", top_k=1)))
        time.sleep(0.005)
    thread.join()
    assert errors and set(errors) == {"Already borrowed"}
    assert all(stats == 20_000.0 and hits[0][0] == 0 for stats, hits in side_by_side)
    assert [i for i, _ in expected] == [0, 1, 2]
    assert results == [expected] * 4


def test_module_registers_the_class():
    assert morvane_native.BM25Engine.__module__ == "builtins"
    assert BM25Engine.index.__text_signature__ == "($self, documents)"
