"""Code-aware tokenizer: the cut rules, lowercasing, the stop words, query terms and the
batch entry points, checked against a small Python model of the same rules."""
import random
import threading
import unicodedata

import pytest

import morvane_native as mn

STOP_WORDS = set("""
if else elif then endif switch case default for while do loop break continue goto return try catch except finally
throw raise throws yield await async def func fn function proc sub method class struct enum interface trait type
typedef var let const val mut static final readonly import from export require include using use package module mod
namespace crate extern new this self super extends implements override public private protected internal abstract
virtual sealed partial void null nil none undefined true false int integer float double bool boolean string str char
byte short long unsigned signed size object any dynamic auto impl pub where dyn ref box move unsafe match i j k n m x
y z a b c e f p q r s t v w id ok err io os fs db ui tx rx tmp temp arg args param params ret res result out output in
input buf buffer ptr ctx cfg opt opts idx len num cnt pos key get set has is can should will did was are add remove
delete update create init load save read write open close start stop run exec on to with by at of as or and not an
the be it its data info item items list array map node elem element entry record row col src dst source dest target
origin old prev next cur current last first min max sum avg total count name value kind mode state status msg message
text content body payload path file dir url uri cb callback handler listener observer
""".split())
assert len(STOP_WORDS) == 263


# --- A model of the rules, for characters whose Unicode properties Python's own tables
# report the same way (letters, digits, letter numbers, other numbers; no combining marks).

def is_word_char(c):
    if c.isascii():
        return c.isalnum() or c in "_-"
    return unicodedata.category(c)[0] == "L" or unicodedata.category(c) in ("Nd", "Nl", "No")


def is_letter(c):
    return c.isalpha() or unicodedata.category(c) == "Nl"


def model_camel_parts(piece):
    parts, current = [], piece[0]
    for i in range(1, len(piece)):
        c = piece[i]
        nxt = piece[i + 1] if i + 1 < len(piece) else ""
        if c.isupper() and (not piece[i - 1].isupper() or (nxt and nxt.islower())):
            parts.append(current)
            current = c
        else:
            current += c
    parts.append(current)
    return parts


def model_extract(text):
    out, word = [], ""
    for c in text + " ":
        if is_word_char(c):
            word += c
            continue
        for piece in word.replace("-", "_").split("_"):
            if piece:
                for part in model_camel_parts(piece):
                    low = part.lower()
                    if len(low.encode()) >= 2 and low not in STOP_WORDS:
                        out.append(low)
        word = ""
    return out


def model_query_terms(query):
    terms, run = set(model_extract(query)), ""
    for c in query + " ":
        if is_letter(c):
            run += c.lower() if "A" <= c <= "Z" else c
            continue
        if len(run.encode()) > 1 and run not in STOP_WORDS:
            terms.add(run)
        run = ""
    return terms


PIECES = ["get", "User", "XML", "Parser", "utf8", "Decode", "ID", "io", "x", "A", "B1", "ab", "readOnly", "_", "-",
          "__", ".", "(", ")", " ", ", ", "/", "é", "Ä", "ß", "Σ", "ΑΣ", "ς", "Жук", "中文", "٣", "²", "Ⅻ", "\u212a",
          "İ", "9", "ǅ", "\t", "\n", "\x00", "🙂", "data", "Value"]


def random_texts(count, seed):
    rng = random.Random(seed)
    return ["".join(rng.choice(PIECES) for _ in range(rng.randint(0, 16))) for _ in range(count)]


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("", []),
        ("getUserName", ["user"]),
        ("XMLParser", ["xml", "parser"]),
        ("getXMLResponse", ["xml", "response"]),
        ("parseJSONData", ["parse", "json"]),
        ("IOError", ["error"]),
        ("ABC", ["abc"]),
        ("ABCd", ["ab", "cd"]),
        ("fooBAR", ["foo", "bar"]),
        ("utf8Decode", ["utf8", "decode"]),
        ("HTML5Parser", ["html5", "parser"]),
        ("base64Encode", ["base64", "encode"]),
        ("max_retry_count", ["retry"]),
        ("user-id", ["user"]),
        ("foo.bar(baz)", ["foo", "bar", "baz"]),
        ("foo foo foo", ["foo", "foo", "foo"]),
        ("a b c", []),
        ("x1", ["x1"]),
        ("__init__ and --", []),
        ("É", ["é"]),
        ("ÄrgerÖl", ["ärger", "öl"]),
        ("readonly read_only readOnly", ["only", "only"]),
        ("\u212a", []),  # the Kelvin sign lowercases to one byte
        ("İstanbul", ["i\u0307stanbul"]),  # full lowercase mapping, two code points
        ("ΟΔΟΣ ΣΑ", ["οδος", "σα"]),  # final sigma only at the end of a piece
        ("中文字符", ["中文字符"]),
        ("naïve\u0301", ["naïve"]),  # a combining mark is not a word character here
    ],
)
def test_extract_code_tokens(text, tokens):
    assert mn.extract_code_tokens(text) == tokens
    assert mn.extract_code_tokens(text=text) == tokens


@pytest.mark.parametrize(
    "query, terms",
    [
        ("", set()),
        ("getUserName", {"user", "getusername"}),
        ("user_id", {"user"}),
        ("utf8 decoder", {"utf8", "decoder", "utf"}),
        ("The", set()),
        ("x", set()),
        ("Ärger", {"ärger", "Ärger"}),
        ("readonly", set()),
        ("read only", {"only"}),
        ("fooBar fooBar", {"foo", "bar", "foobar"}),
    ],
)
def test_tokenize_for_search(query, terms):
    result = mn.tokenize_for_search(query)
    assert len(result) == len(set(result))
    assert set(result) == terms


def test_model_agreement_on_generated_text():
    for text in random_texts(3000, seed=7):
        assert mn.extract_code_tokens(text) == model_extract(text), repr(text)
        assert set(mn.tokenize_for_search(text)) == model_query_terms(text), repr(text)


def test_model_agreement_on_runs_of_every_length():
    # Character by character, so that pieces, capitals and non-ASCII letters fall at every
    # offset and every length around the scanner's 16-byte steps.
    rng = random.Random(3)
    alphabet = "aaaabbbcBBXYZ0179_- .(é中Σ\u212a"
    for _ in range(3000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 70)))
        assert mn.extract_code_tokens(text) == model_extract(text), repr(text)
        assert set(mn.tokenize_for_search(text)) == model_query_terms(text), repr(text)


def test_batches_match_single_calls_in_order():
    texts = random_texts(5000, seed=11)
    assert mn.batch_extract_tokens(texts) == [mn.extract_code_tokens(t) for t in texts]
    queries = mn.batch_tokenize_queries(texts)
    assert [set(q) for q in queries] == [set(mn.tokenize_for_search(t)) for t in texts]
    assert mn.batch_extract_tokens([]) == [] and mn.batch_tokenize_queries(()) == []
    assert mn.batch_extract_tokens(["", ""]) == [[], []]
    assert [sorted(q) for q in mn.batch_tokenize_queries(["a_b", "fooBar"])] == [[], ["bar", "foo", "foobar"]]


def test_nul_and_large_texts():
    assert mn.extract_code_tokens("foo\x00barBaz") == ["foo", "bar", "baz"]
    big = "parseHttpHeader " * 500_000
    assert mn.extract_code_tokens(big) == ["parse", "http", "header"] * 500_000
    assert mn.batch_extract_tokens([big, "x"])[0][-1] == "header"


def test_batches_from_many_threads_at_once():
    texts = random_texts(800, seed=3)
    expected = [model_extract(t) for t in texts]
    failures = []

    def worker(offset):
        rotated = texts[offset:] + texts[:offset]
        for _ in range(5):
            if mn.batch_extract_tokens(rotated) != expected[offset:] + expected[:offset]:
                failures.append(offset)

    threads = [threading.Thread(target=worker, args=(i * 50,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def test_batches_release_the_interpreter_lock(releases_gil):
    texts = ["someIdentifierName another_value_here XMLHttpRequest " * 200] * 3000
    assert releases_gil(lambda: mn.batch_extract_tokens(texts))
    assert releases_gil(lambda: mn.batch_tokenize_queries(texts))
    assert not releases_gil(lambda: mn.extract_code_tokens(texts[0] * 1500))
