"""Code structure extraction: symbols, calls, imports and inheritance links."""

import os
import random
import resource

import pytest

import morvane_native as mn

LANGUAGES = ["python", "javascript", "typescript", "tsx", "go", "rust", "c", "cpp"]
EXTRACTORS = {
    "symbols": lambda code, lang: mn.extract_symbols(code, lang, "a.txt"),
    "calls": mn.extract_calls,
    "imports": mn.extract_imports_ast,
    "relationships": mn.extract_relationships,
}


def symbols(code, lang="python", filename="pkg/a.py"):
    return mn.extract_symbols(code, lang, filename)


def names_kinds_parents(code, lang, filename="src/a.txt"):
    return [(r[0], r[1], r[6]) for r in symbols(code, lang, filename)]


# ---------------------------------------------------------------------------------------
# Registry, arguments, bad input


@pytest.mark.parametrize(
    "name, supported",
    [(lang, True) for lang in LANGUAGES] + [(n, False) for n in ["c++", "Python", "py", "js", " python", ""]],
)
def test_language_names_are_exact(name, supported):
    assert mn.is_language_supported(name) is supported


@pytest.mark.parametrize("extract", EXTRACTORS.values(), ids=EXTRACTORS.keys())
@pytest.mark.parametrize("code, lang", [("", "cobol"), ("   \n\t", "python"), ("\u3000\u2028", "rust"),
                                        ("def f(): pass", "cobol"), ("def f(): pass", "Python")])
def test_nothing_found_for_empty_code_or_unknown_language(extract, code, lang):
    assert extract(code, lang) == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: mn.extract_symbols(123, "python", "a.py"), "argument 'code': 'int' object cannot be cast as 'str'"),
        (lambda: mn.extract_symbols("x", None, "a.py"), "argument 'language': 'NoneType' object cannot be cast as 'str'"),
        (lambda: mn.extract_symbols("x", "python", b"a.py"), "argument 'filename': 'bytes' object cannot be cast as 'str'"),
        (lambda: mn.extract_calls("f()", "python", 5), "argument 'current_function_name': 'int'"),
        (lambda: mn.extract_imports_ast(code="x"), "missing 1 required positional argument: 'language'"),
        (lambda: mn.extract_symbols(), "extract_symbols() missing 3 required positional arguments: "
                                       "'code', 'language', and 'filename'"),
        (lambda: mn.is_language_supported("a", "b"), "takes 1 positional arguments but 2 were given"),
        (lambda: mn.extract_relationships("x", "python", mode=1), "unexpected keyword argument 'mode'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_keywords_accepted():
    assert mn.extract_calls(code="f()", language="python", current_function_name="f")[0][5] is True
    assert mn.extract_symbols(filename="a.py", code="def f(): pass", language="python")[0][0] == "f"


@pytest.mark.parametrize("lang", LANGUAGES)
def test_junk_and_broken_code_never_fail(lang):
    rng = random.Random(7)
    samples = [
        bytes(rng.randrange(256) for _ in range(4000)).decode("latin-1"),
        "".join(rng.choice("{}()[]<>\"'`;:#/*\\\n") for _ in range(4000)),
        "\x00\ufeff\U0001f600 class def fn impl use import #include",
    ]
    for code in samples:
        for extract in EXTRACTORS.values():
            assert isinstance(extract(code, lang), list)


NESTING = 100_000


@pytest.mark.parametrize(
    "lang, code",
    [
        ("python", "x = " + "[" * NESTING + "]" * NESTING),
        ("javascript", "{" * NESTING + "}" * NESTING),
        ("rust", "fn f() " + "{" * NESTING),
        ("c", "int x = " + "(" * NESTING + "1" + ")" * NESTING + ";"),
    ],
)
def test_deep_nesting_does_not_overflow(lang, code):
    for extract in EXTRACTORS.values():
        assert isinstance(extract(code, lang), list)


@pytest.mark.parametrize("lang", ["python", "go"])
def test_deeply_nested_calls_are_all_reported(lang):
    calls = mn.extract_calls("f(" * NESTING + ")" * NESTING, lang)
    assert len(calls) == NESTING
    assert calls[0][:3] == ("f", 1, "function_call") and calls[-1][3] is None


def test_syntax_error_keeps_what_parsed():
    code = "import os\nfrom a import b\ng(x)\n\ndef f(x):\n    return h(x\nclass"
    assert mn.extract_imports_ast(code, "python") == ["os", "a"]
    assert [r[0] for r in mn.extract_calls(code, "python")][:1] == ["g"]


def test_crlf_lines_count_like_lf():
    code = "import os\n\nclass A(B):\n    def run(self):\n        f()\n"
    crlf = code.replace("\n", "\r\n")
    for lang_code in (code, crlf):
        assert [r[2:4] for r in symbols(lang_code)] == [(3, 5), (4, 5)]
        assert mn.extract_calls(lang_code, "python")[0][1] == 5
        assert mn.extract_relationships(lang_code, "python") == [("A", "B", "extends", 3, 1.0)]
    assert symbols(crlf)[1][4] == "def run(self):"


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


@pytest.mark.skipif(bool(os.environ.get("MORVANE_SANITIZED")), reason="the sanitizer keeps freed memory")
def test_memory_stays_flat_over_many_calls():
    python = "import os\nclass A(B):\n    '''Doc.'''\n    def run(self):\n        if x:\n            self.f(os.g())\n"
    ts = "import x from 'y';\n/** Doc */\nexport class A extends B implements C { m() { return 1; } }\n"
    work = [
        lambda: mn.extract_symbols(python, "python", "tests/test_a.py"),
        lambda: mn.extract_symbols(ts, "typescript", "a.tsx"),
        lambda: mn.extract_calls(python, "python", "run"),
        lambda: mn.extract_imports_ast(ts, "typescript"),
        lambda: mn.extract_relationships(ts, "typescript"),
    ]
    for fn in work:
        fn()
    before = rss_mb()
    for fn in work:
        for _ in range(10_000):
            fn()
    assert rss_mb() - before < 10


# ---------------------------------------------------------------------------------------
# Symbols


def test_python_class_with_methods():
    code = 'class A:\n    def __init__(self):\n        pass\n\n    def run(self):\n        """Go."""\n'
    assert symbols(code) == [
        ("A", "class", 1, 6, "class A:", None, None, "public", "implementation"),
        ("__init__", "method", 2, 3, "def __init__(self):", None, "A", "internal", "implementation"),
        ("run", "method", 5, 6, "def run(self):", "Go.", "A", "public", "implementation"),
    ]


@pytest.mark.parametrize(
    "filename, is_test",
    [
        ("tests/test_a.py", True), ("a_test.py", True), ("inspect.py", True), ("src\\Tests\\x.py", True),
        ("pkg/TestSuite/a.py", True), ("a.test.ts", False), ("a.spec.ts", True), ("my_tests", True),
        ("pkg/a.py", False), ("latest.py", False), ("contest/a.py", False), ("", False), ("test/..", False),
        ("x/test_dir/..", True),
    ],
)
def test_test_file_rule(filename, is_test):
    roles = {r[8] for r in symbols("def run(): pass\nclass A: pass", filename=filename)}
    assert roles == {"test" if is_test else "implementation"}


@pytest.mark.parametrize(
    "lang, code, expected",
    [
        ("python", "def outer():\n    def inner(): pass\nclass C:\n    def m(self):\n        def deep(): pass",
         [("outer", "function", None), ("inner", "function", None), ("C", "class", None), ("m", "method", "C"),
          ("deep", "method", "C")]),
        ("javascript", "const useCounter = () => {};\nconst user = () => 1;\nconst Button = function () {};\n"
                       "const { a, b } = obj;\nlet x = 5;\nconst g = function* () {};\nconst K = class {};",
         [("useCounter", "hook", None), ("user", "function", None), ("Button", "component", None)]),
        ("javascript", "const use = () => 1, useÉtat = () => 2, Ωmega = () => 3;",
         [("use", "hook", None), ("useÉtat", "hook", None), ("Ωmega", "component", None)]),
        ("javascript", "class A { m() { function f() {} } }\nfunction g() {}\nconst h = () => { class Hidden {} };",
         [("A", "class", None), ("m", "method", "A"), ("f", "method", "A"), ("g", "function", None),
          ("h", "function", None)]),
        ("typescript", "interface I {}\ntype T = number;\nenum E { A }\nabstract class A { m() {} }",
         [("I", "interface", None), ("T", "type", None), ("E", "enum", None), ("m", "method", None)]),
        ("javascript", "interface I {}", []),
        ("go", "type ( A struct{}; B interface{} )\ntype R interface { Read() }\nfunc F() {}\n"
               "func (r *R) m() {}",
         [("A", "class", None), ("R", "interface", None), ("F", "function", None), ("m", "method", None)]),
        ("rust", "impl<T> Display for Wrapper<T> { fn fmt(&self) {} }\ntrait Tr { fn t(); fn d() {} }\n"
                 "struct S;\nenum E { A }\nfn free() {}",
         [("fmt", "method", "Wrapper<T>"), ("Tr", "interface", None), ("d", "function", None),
          ("S", "class", None), ("E", "class", None), ("free", "function", None)]),
        ("c", "int main(){return 0;}\nstruct S { int x; };", []),
        ("cpp", "class A { void f() {} };\nint main() {}", []),
    ],
)
def test_definitions_per_language(lang, code, expected):
    assert names_kinds_parents(code, lang) == expected


def test_lexical_declaration_record_spans_the_declaration():
    code = "// note\n/// Doc.\nconst a = () => 1,\n  b = () => 2;"
    records = symbols(code, "javascript", "a.js")
    assert [r[0] for r in records] == ["a", "b"]
    assert {r[2:6] for r in records} == {(3, 4, "const a = () => 1,", "Doc.")}


def test_go_grouped_type_reports_first_spec_with_declaration_lines():
    code = "package p\n\ntype (\n\tA struct{}\n\tB interface{}\n)\n"
    assert symbols(code, "go", "a.go") == [("A", "class", 3, 6, "type (", None, None, "public", "implementation")]


def test_typescript_switches_to_tsx_by_file_name():
    code = "function App() { return <div>{'x'}</div>; }\nfunction after(): void {}\n"
    tsx = mn.extract_symbols(code, "tsx", "a.ts")
    assert [r[0] for r in tsx] == ["App", "after"]
    assert mn.extract_symbols(code, "typescript", "src/App.TSX") == tsx
    assert mn.extract_symbols(code, "javascript", "App.tsx")[0][2:4] == (1, 1)


@pytest.mark.parametrize(
    "lang, name, visibility, role",
    [
        ("python", "__secret", "private", "implementation"), ("python", "_cache", "internal", "implementation"),
        ("python", "__init__", "internal", "implementation"), ("python", "test_run", "public", "test"),
        ("python", "TestCase", "public", "test"), ("go", "testHelper", "internal", "implementation"),
        ("go", "Testify", "public", "test"), ("go", "BenchmarkX", "public", "test"),
        ("go", "éclair", "internal", "implementation"), ("go", "_x", "public", "implementation"),
        ("javascript", "Describe", "public", "test"), ("javascript", "it", "public", "test"),
        ("javascript", "item", "public", "implementation"), ("rust", "test_x", "private", "test"),
    ],
)
def test_visibility_and_role(lang, name, visibility, role):
    code = {
        "python": f"def {name}(): pass",
        "go": f"func {name}() {{}}",
        "javascript": f"function {name}() {{}}",
        "rust": f"fn {name}() {{}}",
    }[lang]
    record = symbols(code, lang, "src/a.txt")[0]
    assert (record[0], record[7], record[8]) == (name, visibility, role)


@pytest.mark.parametrize(
    "code, visibility",
    [("pub fn f() {}", "public"), ("pub(super) fn f() {}", "public"), ("pub(crate) struct S;", "public"),
     ("fn f() {}", "private"), ("trait T { fn f(); }", "private")],
)
def test_rust_visibility(code, visibility):
    assert symbols(code, "rust", "a.rs")[0][7] == visibility


# ---------------------------------------------------------------------------------------
# Annotations


@pytest.mark.parametrize(
    "lang, code, signature",
    [
        ("python", "def run(self, x: int) -> str:\n    pass", "def run(self, x: int) -> str:"),
        ("python", "class A(Base):  # note\n    pass", "class A(Base):"),
        ("python", "def f(a,\n      b): pass", "def f(a,"),
        ("python", "def f(a: int,\n      b): pass", "def f(a:"),
        ("javascript", "function add(a, b) {\n  return a + b;\n}", "function add(a, b)"),
        ("rust", "pub fn new() -> Self {\n    Self\n}", "pub fn new() -> Self"),
        ("go", "type X struct {\n\tA int\n}", "type X struct"),
        ("go", "type (\n\tA struct{}\n)", "type ("),
    ],
)
def test_signature(lang, code, signature):
    assert symbols(code, lang, "a.txt")[0][4] == signature


def test_long_signature_cut_to_200_bytes_on_a_character_boundary():
    ascii_name = "f" * 250
    assert symbols(f"def {ascii_name}(): pass")[0][4] == ("def " + ascii_name)[:200]
    # "def " plus 97 two-byte letters ends at byte 198; the next letter spans bytes 198-199,
    # the one after would straddle the limit.
    name = "é" * 120
    signature = symbols(f"def {name}(): pass")[0][4]
    assert signature == "def " + "é" * 98
    assert len(signature.encode()) == 200
    name = "x" + "é" * 120
    signature = symbols(f"def {name}(): pass")[0][4]
    assert signature == "def x" + "é" * 97 and len(signature.encode()) == 199


@pytest.mark.parametrize(
    "lang, code, doc",
    [
        ("rust", "/// Adds.\n/// Twice.\nfn f() {}", "Adds.\nTwice."),
        ("rust", "/* block */\nfn f() {}", "block"),
        ("rust", "/**\n * First\n * Second\n */\nfn f() {}", "First\n * Second"),
        ("rust", "//! Module docs\n// plain\n\n/// Item\nfn f() {}", "Module docs\nItem"),
        ("rust", "/// Far\nlet x = 1;\nfn f() {}", None),
        ("rust", "// plain only\nfn f() {}", None),
        ("python", "# Above\n#!/usr/bin/env python\n#\ndef f(): pass", "Above\n"),
        ("python", "# comment\n@decorator\ndef f(): pass", None),
        ("go", "// Plain.\n/* Block */\nfunc F() {}", "Block"),
        ("javascript", "/**\n * Adds.\n */\nfunction add() {}", "Adds."),
        ("typescript", "/** Wrapped */\nexport function f() {}", None),
    ],
)
def test_doc_comment(lang, code, doc):
    assert symbols(code, lang, "a.txt")[0][5] == doc


@pytest.mark.parametrize(
    "body, doc",
    [
        ('"""Return x."""', "Return x."),
        ('r"""Raw."""', "Raw."),
        ("'single'", "single"),
        ('""""""', ""),
        ('"""\n    Multi\n      line\n    """', "\n    Multi\n      line\n    "),
        ("x = 1", None),
    ],
)
def test_python_docstring(body, doc):
    assert symbols(f"def f():\n    {body}\n")[0][5] == doc


def test_python_docstring_falls_back_to_comments():
    assert symbols("# Explains f.\ndef f():\n    return 1\n")[0][5] == "Explains f."


# ---------------------------------------------------------------------------------------
# Calls


@pytest.mark.parametrize(
    "code, expected",
    [
        ("obj.save(x)", [("save", 1, "method_call", None, "obj", False)]),
        ("print(x)", [("print", 1, "function_call", None, None, False)]),
        ("a.b().c()", [("c", 1, "method_call", None, "[chained]", False), ("b", 1, "method_call", None, "a", False)]),
        ("self.db.query()", [("query", 1, "method_call", None, None, False)]),
        ("f(x)(y)", [("f", 1, "function_call", None, None, False)]),
        ("handlers[0]()", []),
        ("f()\nf()", [("f", 1, "function_call", None, None, False), ("f", 2, "function_call", None, None, False)]),
    ],
)
def test_python_calls(code, expected):
    assert mn.extract_calls(code, "python") == expected


@pytest.mark.parametrize(
    "code, contexts",
    [
        ("for x in y:\n    a()\n    if x:\n        b()", {"a": "loop", "b": "conditional, loop"}),
        ("[f(x) for x in g()]", {"f": None, "g": "loop"}),
        ("if x:\n    pass\nelif y:\n    a()\nelse:\n    b()", {"a": "conditional, conditional",
                                                           "b": "conditional, conditional"}),
        ("try:\n    a()\nexcept E:\n    b()", {"a": "try_block", "b": "try_block, try_block"}),
        ("with o:\n    a()\nwhile 1:\n    b = lambda: c()\nd() if x else e()",
         {"a": "with_block", "c": "lambda, loop", "d": "conditional", "e": "conditional"}),
        ("def f():\n    if x:\n        class C:\n            def m(self):\n                a()", {"a": "conditional"}),
    ],
)
def test_python_call_contexts(code, contexts):
    assert {c[0]: c[3] for c in mn.extract_calls(code, "python")} == contexts


def test_recursive_calls_only_with_a_current_function():
    code = "def fact(n):\n    return fact(n - 1)"
    assert mn.extract_calls(code, "python", "fact") == [("fact", 2, "function_call", None, None, True)]
    assert mn.extract_calls(code, "python", None)[0][5] is False
    assert mn.extract_calls(code, "python", "fac")[0][5] is False
    assert mn.extract_calls("func f() { f() }", "go", "f")[0][5] is False


def test_go_calls():
    code = "package p\nfunc f() {\n\tfmt.Println(a)\n\ta.b.C()\n\tg()\n\tfuncs[0]()\n\tif x { h() }\n}"
    assert mn.extract_calls(code, "go") == [
        ("Println", 3, "method_call", None, "fmt", False),
        ("C", 4, "method_call", None, None, False),
        ("g", 5, "function_call", None, None, False),
        ("h", 7, "function_call", None, None, False),
    ]


@pytest.mark.parametrize("lang", ["javascript", "typescript", "tsx", "rust", "c", "cpp"])
def test_no_call_rules_outside_python_and_go(lang):
    assert mn.extract_calls("foo(); a.b();", lang) == []


# ---------------------------------------------------------------------------------------
# Imports


@pytest.mark.parametrize(
    "lang, code, expected",
    [
        ("python", "import os, sys\nimport numpy as np\nfrom . import x\nfrom a.b import c\nimport os",
         ["os", "sys", "numpy", ".", "a.b"]),
        ("python", "def f():\n    import json\n    from ..pkg import y", ["json", "..pkg"]),
        ("javascript", "import React from 'react';\nconst fs = require(\"fs\");\nexport { x } from './x';\n"
                       "export const y = 1;", ["react", "fs", "./x"]),
        ("javascript", "require(name); load('x'); f(() => require('inner'));\nrequire(a, 'second')",
         ["inner", "second"]),
        ("typescript", "import type { T } from \"./types\";\nimport './side';", ["./types", "./side"]),
        ("tsx", "import * as R from 'react';\nconst C = () => <div/>;", ["react"]),
        ("go", "import (\n  \"fmt\"\n  m \"math\"\n  `raw`\n)\nimport \"fmt\"", ["fmt", "math"]),
        ("c", "#include <stdio.h>\n#include \"util.h\"\n#include <stdio.h>", ["stdio.h", "util.h"]),
        ("cpp", "#include <vector>\n#include \"a/b.hpp\"", ["vector", "a/b.hpp"]),
        ("rust", "mod tests;\nextern crate alloc;\nuse std::fmt;\nuse std::io;", ["tests", "alloc", "std"]),
        ("rust", "use serde::{Deserialize, Serialize};\nuse super::x;\nuse crate::util::x;\nuse ::std::fmt;\n"
                 "use self::a::{b};", ["serde", "super", "self"]),
        ("rust", "pub use tokio::spawn;\npub(crate) use crate::x;\npub(super) use rand::Rng;", ["tokio", "rand"]),
        ("python", "x = 1", []),
        ("rust", "fn main() {}", []),
    ],
)
def test_imports(lang, code, expected):
    assert mn.extract_imports_ast(code, lang) == expected


# ---------------------------------------------------------------------------------------
# Relationships


@pytest.mark.parametrize(
    "lang, code, expected",
    [
        ("python", "class A(Base, Mixin, metaclass=M): pass",
         [("A", "Base", "extends", 1, 1.0), ("A", "Mixin", "extends", 1, 1.0)]),
        ("python", "class A(ABC): pass\nclass B(object): pass\nclass C(abc.ABC, Generic[T]): pass", []),
        ("python", "\n\nclass A(\n    B,\n    C,\n): pass", [("A", "B", "extends", 3, 1.0), ("A", "C", "extends", 3, 1.0)]),
        ("python", "class Outer(X):\n    class Inner(Y): pass",
         [("Outer", "X", "extends", 1, 1.0), ("Inner", "Y", "extends", 2, 1.0)]),
        ("typescript", "class A extends B implements I, J {}",
         [("A", "B", "extends", 1, 1.0), ("A", "I", "implements", 1, 1.0), ("A", "J", "implements", 1, 1.0)]),
        ("tsx", "class A extends B implements I, J {}",
         [("A", "B", "extends", 1, 1.0), ("A", "I", "implements", 1, 1.0), ("A", "J", "implements", 1, 1.0)]),
        ("typescript", "class A\n  extends B\n  implements I<T>, J {}",
         [("A", "B", "extends", 2, 1.0), ("A", "J", "implements", 3, 1.0)]),
        ("typescript", "abstract class A extends B {}\ninterface I extends J {}", []),
        ("typescript", "class C { m() { abstract class A extends B {} } }", [("C", "B", "extends", 1, 1.0)]),
        ("javascript", "class A extends B {}", []),
        ("go", "type A struct { B }", []),
    ],
)
def test_relationships(lang, code, expected):
    assert mn.extract_relationships(code, lang) == expected
