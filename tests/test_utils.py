import ctypes
import hashlib
import math
import os
import random
import re
import socket
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane_native as mn

WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
_WORD = re.compile("[^" + re.escape(WHITE_SPACE) + "]+")


def word_set(text):
    return set(_WORD.findall(text))


def jaccard_model(a, b):
    wa, wb = word_set(a), word_set(b)
    if not wa and not wb:
        return 1.0
    common = len(wa & wb)
    return common / (len(wa) + len(wb) - common)


def random_text(rng, vocabulary):
    # Separators include characters that look like white space but are not White_Space.
    separators = [" ", "  ", "\t", "\n", "\u00a0", "\u3000", "\x85", "\u2028", "\x1c", "\u200b"]
    words = rng.choices(vocabulary, k=rng.randint(0, 12))
    return "".join(w + rng.choice(separators) for w in words)


VOCABULARY = ["foo", "Foo", "bar", "bar,", "baz", "é", "naïve", "x", "日本", "😀", "a-b"]


# ---------------------------------------------------------------------------------------
# compute_file_hash


@pytest.mark.parametrize("text", ["", "é", "line\n", "line\r\n", "x" * 100_000, "😀 mixed ✓ \u0000 nul"])
def test_hash_is_truncated_sha256_of_utf8(text):
    expected = hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]
    assert mn.compute_file_hash(text) == expected
    assert mn.compute_file_hash(content=text) == expected


def test_hash_refuses_non_text():
    with pytest.raises(TypeError, match=r"^argument 'content': 'bytes' object cannot be cast as 'str'$"):
        mn.compute_file_hash(b"abc")
    with pytest.raises(UnicodeEncodeError):
        mn.compute_file_hash("\ud800")


# ---------------------------------------------------------------------------------------
# jaccard_similarity


@pytest.mark.parametrize(
    "text1, text2, expected",
    [
        ("", "", 1.0),
        ("   ", "\t\n", 1.0),
        ("", "foo", 0.0),
        ("foo bar", "bar foo", 1.0),
        ("foo foo bar", "foo bar", 1.0),
        ("foo bar", "foo baz", 1 / 3),
        ("Foo", "foo", 0.0),
        ("foo, bar", "foo bar", 1 / 3),
        ("foo\u00a0bar", "foo bar", 1.0),
        ("foo\u3000bar\x85baz", "baz bar foo", 1.0),
        # Not White_Space: each joins its neighbours into one word.
        ("foo\x1cbar", "foo bar", 0.0),
        ("foo\u200bbar", "foo bar", 0.0),
    ],
)
def test_jaccard_cases(text1, text2, expected):
    assert mn.jaccard_similarity(text1, text2) == expected
    assert mn.jaccard_similarity_batch(text1, [text2]) == [expected]


@pytest.mark.parametrize("seed", range(3))
def test_jaccard_matches_model_on_generated_texts(seed):
    rng = random.Random(seed)
    query = random_text(rng, VOCABULARY)
    texts = [random_text(rng, VOCABULARY) for _ in range(200)]
    expected = [jaccard_model(query, t) for t in texts]
    assert mn.jaccard_similarity_batch(query, texts) == expected
    assert [mn.jaccard_similarity(query, t) for t in texts] == expected


def test_jaccard_matches_model_on_long_texts():
    # Mostly ASCII, so that long stretches are cut 64 bytes at a time, with words of every
    # length crossing those steps and an occasional non-ASCII word or separator.
    rng = random.Random(5)
    ascii_words = ["w" * n for n in range(1, 24)] + ["Wx" * n for n in range(1, 12)] + ["a,b", "(c)"]

    def long_text():
        words = rng.choices(ascii_words + VOCABULARY[:3], k=rng.randint(0, 90))
        seps = rng.choices([" "] * 12 + ["\t", "\n  ", "\u00a0", "\u3000"], k=len(words))
        return "".join(w + s for w, s in zip(words, seps)).lstrip(rng.choice(["", " "]))

    query = long_text()
    texts = [long_text() for _ in range(400)]
    assert mn.jaccard_similarity_batch(query, texts) == [jaccard_model(query, t) for t in texts]


def test_jaccard_batch_edges_and_refusals():
    assert mn.jaccard_similarity_batch("foo", []) == []
    assert mn.jaccard_similarity_batch(" ", ["", "\t", "x"]) == [1.0, 1.0, 0.0]
    assert mn.jaccard_similarity_batch(query="a", texts=("a", "b")) == [1.0, 0.0]
    with pytest.raises(TypeError, match=r"^argument 'texts': "):
        mn.jaccard_similarity_batch("a", "abc")
    with pytest.raises(TypeError, match=r"^argument 'texts': 'int' object cannot be cast as 'str'$"):
        mn.jaccard_similarity_batch("a", ["b", 3])
    with pytest.raises(TypeError, match=r"^argument 'text2': "):
        mn.jaccard_similarity("a", None)


# ---------------------------------------------------------------------------------------
# mmr_select_indices

f32 = np.float32


def mmr_model(scores, contents, target_count, lam=0.7):
    """The selection rules written out plainly, in single precision."""
    if len(scores) != len(contents):
        raise ValueError
    n = len(scores)
    if n == 0 or target_count == 0:
        return []
    lam = f32(lam)
    if lam < 0:
        lam = f32(0)
    elif lam > 1:
        lam = f32(1)
    s = [f32(x) for x in scores]
    sets = [word_set(c) for c in contents]

    def similarity(i, j):
        common = len(sets[i] & sets[j])
        d = f32(len(sets[i]) + len(sets[j])) - f32(common)
        return f32(common) / d if d > 0 else f32(0)

    k = min(target_count, n)
    chosen = [0]
    with np.errstate(all="ignore"):
        while len(chosen) < k:
            best, best_i = f32(-np.inf), None
            for i in range(n):
                if i in chosen:
                    continue
                m = f32(0)
                for j in chosen:
                    m = max(m, similarity(i, j))
                    if m >= 1:
                        break
                v = (f32(1) - m) * (f32(1) - lam) + s[i] * lam
                if v > best:
                    best, best_i = v, i
            if best_i is None:
                break
            chosen.append(best_i)
    return chosen


@pytest.mark.parametrize(
    "scores, contents, target_count, lam, expected",
    [
        ([0.1, 0.9], ["a", "b"], 2, 0.7, [0, 1]),
        ([1.0, 0.9, 0.5], ["x y", "x y", "z"], 3, 0.7, [0, 2, 1]),
        ([0.2, 0.5, 0.9], ["a", "b", "c"], 1, 0.7, [0]),
        ([0.2, 0.5, 0.9], ["a", "b", "c"], 2**64 - 1, 0.7, [0, 2, 1]),
        # lambda 1 orders by score (ties to the lower position), 5 acts as 1.
        ([0.0, 0.3, 0.9, 0.9], ["a", "a", "a", "a"], 4, 1.0, [0, 2, 3, 1]),
        ([0.0, 0.3, 0.9, 0.9], ["a", "a", "a", "a"], 4, 5.0, [0, 2, 3, 1]),
        # lambda 0 takes the least similar item first, -2 acts as 0.
        ([0.0, 0.9, 0.1], ["a b", "a b", "c"], 3, 0.0, [0, 2, 1]),
        ([0.0, 0.9, 0.1], ["a b", "a b", "c"], 3, -2.0, [0, 2, 1]),
        ([0.0, 0.9, 0.1], ["a", "b", "c"], 3, math.nan, [0]),
        # NaN and -inf values are never chosen; selection stops short.
        ([0.0, math.nan, -math.inf, 0.1], ["a", "b", "c", "d"], 4, 0.7, [0, 3]),
        ([0.0, math.inf, 0.5], ["a", "b", "c"], 3, 0.0, [0, 2]),
        # Two empty contents are not similar to each other.
        ([0.0, 0.1], ["", ""], 2, 0.0, [0, 1]),
        # Scores equal in single precision tie: the lower position wins.
        ([0.0, 0.5 + 1e-12, 0.5], ["a", "b", "c"], 2, 1.0, [0, 1]),
        ([0.0, 0.5, 0.5 + 1e-12], ["a", "b", "c"], 2, 1.0, [0, 1]),
        ([], [], 5, 0.7, []),
        ([0.5], ["a"], 0, 0.7, []),
    ],
)
def test_mmr_cases(scores, contents, target_count, lam, expected):
    assert mn.mmr_select_indices(scores, contents, target_count, lam) == expected
    assert mmr_model(scores, contents, target_count, lam) == expected


@pytest.mark.parametrize("seed", range(6))
def test_mmr_matches_model_on_generated_inputs(seed):
    rng = random.Random(seed)
    vocabulary = [f"w{i}" for i in range(12)]
    n = rng.randint(1, 40)
    # Few distinct scores and overlapping contents make ties and duplicates common.
    score_pool = [0.0, 0.25, 0.5, 0.9, 1.0, 0.1 + 1e-9, -0.3, 2.0]
    if seed % 3 == 0:
        score_pool += [math.nan, math.inf, -math.inf]
    scores = [rng.choice(score_pool) for _ in range(n)]
    contents = [" ".join(rng.choices(vocabulary, k=rng.randint(0, 6))) for _ in range(n)]
    for lam in (0.0, 0.3, 0.7, 1.0):
        for target in (1, n // 2 + 1, n + 3):
            assert mn.mmr_select_indices(scores, contents, target, lambda_param=lam) == mmr_model(
                scores, contents, target, lam
            ), (lam, target)


def test_mmr_refusals():
    with pytest.raises(ValueError, match=r"^scores and contents must have the same length$"):
        mn.mmr_select_indices([1.0], [], 0)
    for target_count in (-1, 2**64):
        with pytest.raises(OverflowError):
            mn.mmr_select_indices([1.0], ["a"], target_count)
    with pytest.raises(TypeError, match=r"^argument 'scores': "):
        mn.mmr_select_indices("12", ["a", "b"], 1)
    with pytest.raises(TypeError, match=r"^argument 'contents': 'int' object cannot be cast as 'str'$"):
        mn.mmr_select_indices([1.0], [1], 1)
    with pytest.raises(TypeError, match=r"^argument 'lambda_param': "):
        mn.mmr_select_indices([1.0], ["a"], 1, None)


# ---------------------------------------------------------------------------------------
# extract_code_by_line_range


def extract_model(data, start, end, budget):
    """The extraction rules over the file's bytes."""
    parts = data.split(b"\n")
    lines = [p + b"\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    code, last, hit = "", start - 1, False
    for number, line in enumerate(lines, 1):
        if not start <= number <= end:
            continue
        if budget is None or len(code.encode()) + len(line) <= budget:
            code, last = code + line.decode(), number
            continue
        hit = True
        if not code:
            code, last = line.decode()[:budget], number
        break
    count = len(lines)
    if max(count, 1) < start:
        return f"line_start beyond end of file ({count} lines)"
    return {
        "code": code,
        "extracted_line_start": start,
        "extracted_line_end": last,
        "file_line_count": count,
        "truncated": max(count, 1) < end or hit,
    }


@pytest.fixture
def repo(tmp_path):
    root = tmp_path / "repo"
    (root / "sub").mkdir(parents=True)
    (root / "abc.txt").write_bytes(b"a\nb\nc\n")
    (root / "sub" / "inner.txt").write_bytes(b"inner\n")
    (root / "..config").write_bytes(b"config\n")
    (root / "empty.txt").write_bytes(b"")
    return root


def extract(repo, filename, *args, **kwargs):
    return mn.extract_code_by_line_range(str(repo), filename, *args, **kwargs)


@pytest.mark.parametrize(
    "start, end, budget, code, last, truncated",
    [
        (1, 2, None, "a\nb\n", 2, False),
        (2, 10, None, "b\nc\n", 3, True),
        (3, 3, None, "c\n", 3, False),
        (1, 3, 3, "a\n", 1, True),
        (1, 3, 1, "a", 1, True),
        (1, 3, 0, "", 1, True),
        (1, 3, 6, "a\nb\nc\n", 3, False),
    ],
)
def test_extract_ranges(repo, start, end, budget, code, last, truncated):
    assert extract(repo, "abc.txt", start, end, budget) == {
        "code": code,
        "extracted_line_start": start,
        "extracted_line_end": last,
        "file_line_count": 3,
        "truncated": truncated,
    }


@pytest.mark.parametrize(
    "content, start, end, budget, expected",
    [
        (b"", 1, 1, None, ("", 0, 0, False)),
        (b"", 1, 5, None, ("", 0, 0, True)),
        (b"a\nlast", 2, 2, None, ("last", 2, 2, False)),
        (b"a\r\nb\r\n", 1, 2, None, ("a\r\nb\r\n", 2, 2, False)),
        ("ééééé\n".encode(), 1, 1, 3, ("ééé", 1, 1, True)),
        # Whole lines count bytes: "é\n" is 3 bytes, so two of them need a budget of 6.
        ("é\né\n".encode(), 1, 2, 5, ("é\n", 1, 2, True)),
        # The first line that does not fit ends the extraction, even if a later one would.
        (b"ab\nlong line\nc\n", 1, 3, 5, ("ab\n", 1, 3, True)),
    ],
)
def test_extract_line_and_budget_rules(repo, content, start, end, budget, expected):
    (repo / "f.txt").write_bytes(content)
    code, last, count, truncated = expected
    result = extract(repo, "f.txt", start, end, max_code_chars=budget)
    assert (result["code"], result["extracted_line_end"], result["file_line_count"], result["truncated"]) == (
        code,
        last,
        count,
        truncated,
    )
    assert result == extract_model(content, start, end, budget)


@pytest.mark.parametrize("seed", range(4))
def test_extract_matches_model_on_long_lines(repo, seed):
    # Lines longer than the read buffer, multi-byte characters cut anywhere by it.
    rng = random.Random(seed)
    alphabet = "ab é€😀\r"
    lines = ["".join(rng.choices(alphabet, k=rng.choice([0, 1, 5, 300, 9000, 20000]))) for _ in range(12)]
    data = "\n".join(lines).encode() + (b"\n" if seed % 2 else b"")
    (repo / "long.txt").write_bytes(data)
    for _ in range(40):
        start = rng.randint(1, 14)
        end = start + rng.randint(0, 5)
        budget = rng.choice([None, 0, 1, 7, 299, 301, 5000, 9001, 30000, 60000])
        expected = extract_model(data, start, end, budget)
        if isinstance(expected, str):
            with pytest.raises(ValueError, match=re.escape(expected)):
                extract(repo, "long.txt", start, end, budget)
        else:
            assert extract(repo, "long.txt", start, end, budget) == expected, (start, end, budget)


@pytest.mark.parametrize(
    "filename, start, end, message",
    [
        ("abc.txt", 0, 3, "line_start must be >= 1"),
        ("abc.txt", 3, 2, "line_end must be >= line_start"),
        ("abc.txt", 4, 4, "line_start beyond end of file (3 lines)"),
        ("empty.txt", 2, 2, "line_start beyond end of file (0 lines)"),
        # Argument checks come before the path checks.
        ("/etc/passwd", 0, 1, "line_start must be >= 1"),
        ("/etc/passwd", 1, 1, "absolute paths are not allowed"),
        ("../x", 1, 1, "path traversal is not allowed"),
        ("a/../b", 1, 1, "path traversal is not allowed"),
        ("a/..", 1, 1, "path traversal is not allowed"),
        ("sub/../abc.txt", 1, 1, "path traversal is not allowed"),
    ],
)
def test_extract_value_errors(repo, filename, start, end, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        extract(repo, filename, start, end)


@pytest.mark.parametrize("filename", ["sub/./inner.txt", "..config", "sub//inner.txt", "./sub/inner.txt"])
def test_extract_accepts_ordinary_names(repo, filename):
    assert extract(repo, filename, 1, 1)["file_line_count"] == 1


def test_extract_repo_path_is_resolved(repo, tmp_path, monkeypatch):
    (tmp_path / "alias").symlink_to(repo)
    assert extract(tmp_path / "alias" / "sub" / "..", "abc.txt", 1, 1)["code"] == "a\n"
    monkeypatch.chdir(tmp_path)
    assert extract("repo", "abc.txt", 1, 1)["code"] == "a\n"
    with pytest.raises(ValueError, match=r"^invalid repo_path: No such file or directory \(os error 2\)$"):
        extract(tmp_path / "nowhere", "abc.txt", 1, 1)
    with pytest.raises(ValueError, match=r"^invalid repo_path: file name contained an unexpected NUL byte$"):
        extract(str(repo) + "\0", "abc.txt", 1, 1)


@pytest.mark.parametrize(
    "filename, reason",
    [
        ("missing.txt", r"No such file or directory \(os error 2\)"),
        ("abc.txt/x", r"Not a directory \(os error 20\)"),
        ("abc\0.txt", r"file name contained an unexpected NUL byte"),
    ],
)
def test_extract_unreadable_names(repo, filename, reason):
    with pytest.raises(FileNotFoundError) as info:
        extract(repo, filename, 1, 1)
    assert re.fullmatch(re.escape(f"cannot read file: {filename} (") + reason + r"\)", str(info.value))


def test_extract_symbolic_links(repo, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.txt").write_bytes(b"secret\n")
    sibling = tmp_path / "repository"  # shares the root's name as a prefix
    sibling.mkdir()
    (sibling / "x.txt").write_bytes(b"x\n")
    links = {
        "rel_inside": "sub/inner.txt",
        "abs_inside": str(repo / "sub" / "inner.txt"),
        "dir_inside": "sub",
        "rel_escape": "../outside/secret.txt",
        "abs_escape": str(outside / "secret.txt"),
        "dir_escape": str(outside),
        "prefix_escape": "../repository/x.txt",
        "dangling": "nothing-here.txt",
    }
    for name, target in links.items():
        (repo / name).symlink_to(target)

    for filename in ["rel_inside", "abs_inside", "dir_inside/inner.txt"]:
        assert extract(repo, filename, 1, 1)["code"] == "inner\n"
    for filename in ["rel_escape", "abs_escape", "dir_escape/secret.txt", "prefix_escape"]:
        with pytest.raises(ValueError, match=r"^file escapes repo root$"):
            extract(repo, filename, 1, 1)
    with pytest.raises(FileNotFoundError, match=r"^cannot read file: dangling \(No such file or directory"):
        extract(repo, "dangling", 1, 1)


@pytest.mark.parametrize("bad", [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82"])
def test_extract_invalid_utf8_anywhere_fails(repo, bad):
    lines = [b"line %d\n" % i for i in range(6000)]
    lines[5000] = b"bad " + bad + b" here\n"
    (repo / "far.txt").write_bytes(b"".join(lines))
    (repo / "tail.txt").write_bytes(b"ok\n" + bad)  # also cut off at the very end
    for filename in ["far.txt", "tail.txt"]:
        with pytest.raises(OSError) as info:
            extract(repo, filename, 1, 1)
        assert info.type is OSError
        assert str(info.value) == "read failed: stream did not contain valid UTF-8"


def test_extract_directory_is_a_read_error(repo):
    for filename in ["sub", "", "."]:
        with pytest.raises(OSError) as info:
            extract(repo, filename, 1, 1)
        assert info.type is OSError
        assert str(info.value) == "read failed: Is a directory (os error 21)"


def run_isolated(code, timeout=30):
    """Runs code in a child interpreter: a call that blocks must fail the test, not hang it."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, env=env
    )


def test_extract_special_files_fail_promptly(repo):
    os.mkfifo(repo / "fifo")
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(repo / "sock"))
        server.listen()
        result = run_isolated(
            f"""
            import morvane_native as mn
            for name in ["fifo", "sock"]:
                try:
                    mn.extract_code_by_line_range({str(repo)!r}, name, 1, 1)
                except OSError as e:
                    print(type(e).__name__, e)
            """
        )
    assert result.returncode == 0, result.stderr
    fifo, sock = result.stdout.splitlines()
    assert fifo.startswith("OSError read failed: ")
    assert sock.startswith("FileNotFoundError cannot read file: sock (")


SWAPPER = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
os.chdir(sys.argv[1])
if libc.renameat2(AT_FDCWD, b"d", AT_FDCWD, b"e", RENAME_EXCHANGE) != 0:
    sys.exit(3)
print("ready", flush=True)
while True:
    libc.renameat2(AT_FDCWD, b"d", AT_FDCWD, b"e", RENAME_EXCHANGE)
"""


def test_extract_never_follows_a_component_swapped_for_an_escaping_link(repo, tmp_path):
    # Another process keeps exchanging directory d with a link to a directory outside;
    # whatever the interleaving with the checks, the outside file must never be read.
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "f").write_bytes(b"SECRET\n")
    (repo / "d").mkdir()
    (repo / "d" / "f").write_bytes(b"inside\n")
    (repo / "e").symlink_to(outside)
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, str(repo)], stdout=subprocess.PIPE, text=True)
    try:
        if swapper.stdout.readline().strip() != "ready":
            pytest.skip("this file system cannot exchange names atomically")
        outcomes = set()
        for _ in range(20_000):
            try:
                code = extract(repo, "d/f", 1, 1)["code"]
                outcomes.add(code)
                assert code == "inside\n"
            except (ValueError, FileNotFoundError) as e:
                outcomes.add(type(e).__name__)
    finally:
        swapper.kill()
        swapper.wait()
    assert "ValueError" in outcomes  # the race really ran


def test_extract_argument_refusals(repo):
    with pytest.raises(TypeError, match=r"^argument 'repo_path': 'PosixPath' object cannot be cast as 'str'$"):
        mn.extract_code_by_line_range(repo, "abc.txt", 1, 1)
    with pytest.raises(OverflowError):
        extract(repo, "abc.txt", -1, 1)
    with pytest.raises(TypeError, match=r"^argument 'max_code_chars': "):
        extract(repo, "abc.txt", 1, 1, 2.5)
    assert extract(repo, "abc.txt", 1, 1, None)["code"] == "a\n"
