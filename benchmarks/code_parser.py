"""Symbol extraction on real source files found on this machine, against the Python binding
of the same parsing runtime with its grammar wheels, measured two ways: parsing alone, and
parsing plus a straightforward Python visitor that collects the same symbol records.

Corpora: the Python standard library (.py), npm's own JavaScript (/usr/lib/node_modules/npm),
the Go standard library (GOROOT/src, when Go is installed), the system C headers
(/usr/include/*.h) and the C++ standard library headers (/usr/include/c++/*/bits).
The visitor's records are compared with the native ones, so a mismatch shows up here too.
"""
import glob
import os
import subprocess
import sys
import sysconfig
import time

import morvane_native as mn

try:
    import tree_sitter
except ImportError:  # the peers are optional: without them nothing is compared
    tree_sitter = None

WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
              "\u2028\u2029\u202f\u205f\u3000"


def read_texts(paths, limit):
    out = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except (UnicodeDecodeError, OSError):
            continue
        if text.strip(WHITE_SPACE):
            out.append(text)
        if len(out) >= limit:
            break
    return out


def go_root():
    try:
        return subprocess.run(["go", "env", "GOROOT"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def corpora(quick):
    limit = 60 if quick else 400
    stdlib = sysconfig.get_paths()["stdlib"]
    found = {
        "python": sorted(p for p in glob.glob(os.path.join(stdlib, "**", "*.py"), recursive=True)
                         if "site-packages" not in p),
        "javascript": sorted(glob.glob("/usr/lib/node_modules/npm/**/*.js", recursive=True)),
        "go": sorted(p for p in glob.glob(os.path.join(go_root() or "/nonexistent", "src", "**", "*.go"),
                                          recursive=True) if "testdata" not in p),
        "c": sorted(glob.glob("/usr/include/*.h")),
        "cpp": sorted(glob.glob("/usr/include/c++/*/bits/*.h")),
    }
    return {lang: read_texts(paths, limit) for lang, paths in found.items() if paths}


def peer_language(lang):
    module = {"python": "tree_sitter_python", "javascript": "tree_sitter_javascript", "go": "tree_sitter_go",
              "c": "tree_sitter_c", "cpp": "tree_sitter_cpp", "rust": "tree_sitter_rust"}[lang]
    grammar = __import__(module)
    return tree_sitter.Language(grammar.language())


# ---------------------------------------------------------------------------------------
# The Python visitor: the same symbol rules, written plainly over the binding's nodes.

class PyVisitor:
    def __init__(self, data, lang, is_test_file):
        self.data, self.lang, self.is_test_file, self.out = data, lang, is_test_file, []

    def text(self, node):
        try:
            return self.data[node.start_byte:node.end_byte].decode("utf-8")
        except UnicodeDecodeError:
            return ""

    def trimmed(self, node):
        return self.text(node).strip(WHITE_SPACE)

    def signature(self, node):
        s = self.text(node).split("\n", 1)[0].strip(WHITE_SPACE)
        if self.lang == "python":
            colon = s.rfind(":")
            if colon >= 0:
                s = s[:colon + 1]
        elif "{" in s:
            s = s[:s.index("{")].strip(WHITE_SPACE)
        raw = s.encode()
        return raw[:200].decode("utf-8", "ignore") if len(raw) > 200 else s

    def doc_comment(self, node):
        lines = []
        s = node.prev_sibling
        while s is not None and s.type in ("comment", "line_comment", "block_comment"):
            c = self.trimmed(s)
            line = None
            if len(c) >= 3 and c.startswith("///"):
                line = c.lstrip("/").strip(WHITE_SPACE)
            elif len(c) >= 3 and c.startswith("//!"):
                line = c[3:].strip(WHITE_SPACE)
            elif c.startswith("#") and (c == "#" or not c.startswith("#!")):
                line = c.lstrip("#").strip(WHITE_SPACE)
            elif len(c) >= 2 and c.startswith("/*"):
                line = c.strip("/* \n")
            if line is not None:
                lines.insert(0, line)
            s = s.prev_sibling
        return "\n".join(lines) if lines else None

    def docstring(self, node):
        body = node.child_by_field_name("body")
        if body is None or body.child_count == 0 or body.children[0].type != "expression_statement":
            return None
        statement = body.children[0]
        if statement.child_count == 0 or statement.children[0].type != "string":
            return None
        s = self.text(statement.children[0]).strip(WHITE_SPACE)
        quote = s.find('"')
        if quote < 0:
            quote = s.find("'")
        if quote > 0 and all(c.isascii() and c.isalpha() for c in s[:quote]):
            s = s[quote:]
        if len(s.encode()) > 5 and ((s.startswith('"""') and s.endswith('"""')) or
                                    (s.startswith("'''") and s.endswith("'''"))):
            return s[3:-3]
        return s.strip(WHITE_SPACE).strip("\"'")

    def visibility(self, name, node):
        if self.lang == "python":
            if name.startswith("__") and not name.endswith("__"):
                return "private"
            return "internal" if name.startswith("_") else "public"
        if self.lang == "go":
            return "internal" if name and name[0].islower() else "public"
        if self.lang == "rust":
            pub = any(c.type == "visibility_modifier" or self.trimmed(c) == "pub" for c in node.children)
            return "public" if pub else "private"
        return "public"

    def role(self, name):
        if self.is_test_file:
            return "test"
        if self.lang == "go":
            test = name.startswith(("Test", "Benchmark"))
        else:
            low = name.lower()
            test = low.startswith("test") or (self.lang in ("javascript", "typescript", "tsx")
                                              and low in ("it", "describe"))
        return "test" if test else "implementation"

    def record(self, node, name, kind, parent, doc, visibility):
        self.out.append((name, kind, node.start_point[0] + 1, node.end_point[0] + 1, self.signature(node), doc,
                         parent, visibility, self.role(name)))

    TABLE = {
        "python": {"class_definition": "class", "function_definition": "function"},
        "javascript": {"class_declaration": "class", "method_definition": "method",
                       "function_declaration": "function"},
        "go": {"function_declaration": "function", "method_declaration": "method"},
        "rust": {"struct_item": "class", "enum_item": "class", "trait_item": "interface",
                 "function_item": "function"},
    }

    def visit(self, node, parent):
        k, lang = node.type, self.lang
        if lang == "rust" and k == "impl_item":
            t = node.child_by_field_name("type")
            for child in node.children:
                self.visit(child, self.trimmed(t) if t is not None else parent)
            return
        if lang == "javascript" and k == "lexical_declaration":
            for d in node.children:
                if d.type != "variable_declarator":
                    continue
                n, v = d.child_by_field_name("name"), d.child_by_field_name("value")
                if n is None or v is None:
                    continue
                name = self.trimmed(n)
                if name[:1] in ("{", "[") or v.type not in ("arrow_function", "function_expression"):
                    continue
                if name == "use" or (name.startswith("use") and len(name) > 3 and name[3].isupper()):
                    kind = "hook"
                else:
                    kind = "component" if name[:1].isupper() else "function"
                self.record(node, name, kind, parent, self.doc_comment(node), "public")
            return
        kind, name_node = self.TABLE.get(lang, {}).get(k), None
        if kind is not None:
            name_node = node.child_by_field_name("name")
        elif lang == "go" and k == "type_declaration":
            spec = next((c for c in node.children if c.type == "type_spec"), None)
            if spec is not None:
                t = spec.child_by_field_name("type")
                kind = "interface" if t is not None and t.type == "interface_type" else "class"
                name_node = spec.child_by_field_name("name")
        child_parent = parent
        if name_node is not None:
            name = self.trimmed(name_node)
            if kind == "function" and parent is not None:
                kind = "method"
            doc = self.docstring(node) if lang == "python" else None
            if doc is None:
                doc = self.doc_comment(node)
            self.record(node, name, kind, parent, doc, self.visibility(name, node))
            if k in ("class_definition", "class_declaration"):
                child_parent = name
        for child in node.children:
            self.visit(child, child_parent)


def python_visitor_symbols(parser, text, lang):
    data = text.encode()
    visitor = PyVisitor(data, lang, is_test_file=False)
    visitor.visit(parser.parse(data).root_node, None)
    return visitor.out


# ---------------------------------------------------------------------------------------

def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def row(benchmark, peer, native_s, peer_s, target, met):
    ratio = peer_s / native_s if native_s > 0 else float("inf")
    return {"benchmark": benchmark, "peer": peer, "native_s": native_s, "peer_s": peer_s, "ratio": ratio,
            "target": target, "met": met(ratio)}


def run(quick=False):
    if tree_sitter is None:
        return []
    sys.setrecursionlimit(100_000)  # the Python visitor recurses with the tree
    rows = []
    repeat = 2 if quick else 5
    for lang, texts in corpora(quick).items():
        parser = tree_sitter.Parser(peer_language(lang))
        encoded = [t.encode() for t in texts]
        filename = "src/module.txt"  # not a test file
        mb = sum(map(len, encoded)) / 2**20
        native = best_of(lambda: [mn.extract_symbols(t, lang, filename) for t in texts], repeat)
        bare = best_of(lambda: [parser.parse(d) for d in encoded], repeat)
        visitor = best_of(lambda: [python_visitor_symbols(parser, t, lang) for t in texts], max(1, repeat // 2))
        mismatches = sum(python_visitor_symbols(parser, t, lang) != mn.extract_symbols(t, lang, filename)
                         for t in texts)
        what = f"extract_symbols, {lang} ({len(texts)} files, {mb:.1f} MB"
        what += f", {mismatches} files differ)" if mismatches else ")"
        rows.append(row(what, "binding: parse + Python visitor", native, visitor, ">= 10x", lambda r: r >= 10))
        rows.append(row(what, "binding: parse only", native, bare, "<= 1.5x parse time",
                        lambda r: r >= 1 / 1.5))
    return rows


def markdown_table(rows):
    def fmt(s):
        return f"{s:.3f} s" if s >= 1 else f"{s * 1e3:.1f} ms"

    lines = ["| benchmark | peer | native | peer | ratio | target | met |", "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['benchmark']} | {r['peer']} | {fmt(r['native_s'])} | {fmt(r['peer_s'])} | "
                     f"{r['ratio']:.2f}x | {r['target']} | {'yes' if r['met'] else 'no'} |")
    return "\n".join(lines)


if __name__ == "__main__":
    print(markdown_table(run(quick="--quick" in sys.argv)))
