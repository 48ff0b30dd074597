"""Code-token extraction over the standard library's sources: the native module against a
straightforward pure-Python implementation of the same rules, and the batch entry point
against a loop of single native calls."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_time, markdown_table, row, stdlib_sources  # noqa: E402

import morvane_native as mn  # noqa: E402

STOP_WORDS = frozenset("""
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

# Words: letters, digits and joiners (Python's \w is close to the rule for this corpus).
WORD = re.compile(r"[\w-]+")


def py_split_camel(piece):
    parts, start = [], 0
    for i in range(1, len(piece)):
        c = piece[i]
        if c.isupper() and (not piece[i - 1].isupper() or (i + 1 < len(piece) and piece[i + 1].islower())):
            parts.append(piece[start:i])
            start = i
    parts.append(piece[start:])
    return parts


def py_extract_code_tokens(text):
    out = []
    for word in WORD.findall(text):
        for piece in re.split(r"[_-]", word):
            if not piece:
                continue
            for part in py_split_camel(piece):
                low = part.lower()
                if len(low.encode()) >= 2 and low not in STOP_WORDS:
                    out.append(low)
    return out


def run(quick=False):
    sources = [text for _, text in stdlib_sources(limit=150 if quick else None)]
    total_mb = sum(len(t.encode()) for t in sources) / 2**20
    sample = sources[: max(1, len(sources) // (10 if quick else 4))]
    sample_mb = sum(len(t.encode()) for t in sample) / 2**20

    native_single = best_time(lambda: [mn.extract_code_tokens(t) for t in sources], repeat=3)
    native_batch = best_time(lambda: mn.batch_extract_tokens(sources), repeat=3)
    python_sample = best_time(lambda: [py_extract_code_tokens(t) for t in sample], repeat=1)
    native_sample = best_time(lambda: [mn.extract_code_tokens(t) for t in sample], repeat=3)
    tokens = sum(len(x) for x in mn.batch_extract_tokens(sources))
    assert [py_extract_code_tokens(t) for t in sample[:50]] == [mn.extract_code_tokens(t) for t in sample[:50]]

    info = f"{len(sources)} files, {total_mb:.1f} MB, {tokens} tokens"
    return [
        row(f"extract_code_tokens, single texts ({sample_mb:.1f} MB sample)", "pure Python", native_sample,
            python_sample, 30, mb_per_s=sample_mb / native_sample),
        row(f"batch_extract_tokens vs loop of single native calls ({info})", "native single calls", native_batch,
            native_single, 1.7, mb_per_s=total_mb / native_batch, tokens_per_s=tokens / native_batch),
    ]


if __name__ == "__main__":
    rows = run(quick="--quick" in sys.argv)
    print(markdown_table(rows))
    for r in rows:
        extra = ", ".join(f"{k} {v:,.0f}" for k, v in r.items() if k in ("mb_per_s", "tokens_per_s"))
        print(f"- {r['benchmark']}: {extra}")
