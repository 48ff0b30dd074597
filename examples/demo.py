#!/usr/bin/env python3
"""Hybrid code search over a source tree, end to end with morvane_native.

    python examples/demo.py [PATH] [QUERY] [--top N]

PATH defaults to this interpreter's standard library sources. The demo walks the tree,
extracts symbols and imports of every supported language, indexes ~50-line chunks with
BM25, ranks symbol names against the query, fuses both rankings, drops near-duplicates,
widens the hit files along their imports and orders files by PageRank.
"""
import argparse
import os
import sys
import sysconfig
import time

import morvane_native as mn

LANGUAGES = {
    ".py": "python", ".js": "javascript", ".mjs": "javascript", ".cjs": "javascript", ".jsx": "javascript",
    ".ts": "typescript", ".tsx": "tsx", ".go": "go", ".rs": "rust", ".c": "c", ".h": "c",
    ".cc": "cpp", ".cpp": "cpp", ".cxx": "cpp", ".hpp": "cpp", ".hh": "cpp", ".hxx": "cpp",
}
SKIP_DIRS = {"__pycache__", "node_modules", "site-packages", ".git", ".hg", ".svn", ".venv", "build", "dist"}
DEFAULT_QUERY = "parse http response headers"


class DemoError(Exception):
    """A problem with the user's input, reported as one line."""


class Progress:
    """A one-line progress bar on standard error, shown only on a terminal."""

    def __init__(self, label, total):
        self.label, self.total, self.done, self.last = label, max(total, 1), 0, 0.0
        self.enabled = sys.stderr.isatty()

    def step(self, n=1):
        self.done += n
        now = time.monotonic()
        if self.enabled and (now - self.last > 0.05 or self.done >= self.total):
            self.last = now
            width = 30
            filled = int(width * self.done / self.total)
            sys.stderr.write(f"\r{self.label:<22} [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}")
            sys.stderr.flush()

    def close(self):
        if self.enabled:
            sys.stderr.write("\r" + " " * 80 + "\r")
            sys.stderr.flush()


class SourceFile:
    def __init__(self, rel, language, text):
        self.rel, self.language, self.text = rel, language, text
        self.lines = text.splitlines()
        self.symbols = []
        self.imports = []


def find_sources(root):
    """Paths (relative to root) of the files of every supported language, sorted."""
    found = []
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not d.startswith("."))
        for name in sorted(files):
            if os.path.splitext(name)[1] in LANGUAGES:
                found.append(os.path.relpath(os.path.join(directory, name), root))
    return found


def load_sources(root, paths):
    sources, skipped = [], 0
    progress = Progress("reading files", len(paths))
    for rel in paths:
        progress.step()
        try:
            with open(os.path.join(root, rel), "rb") as f:
                data = f.read()
            text = data.decode("utf-8")
        except (OSError, UnicodeDecodeError):
            skipped += 1
            continue
        sources.append(SourceFile(rel, LANGUAGES[os.path.splitext(rel)[1]], text))
    progress.close()
    return sources, skipped


def extract_structure(sources):
    progress = Progress("extracting symbols", len(sources))
    for src in sources:
        progress.step()
        src.symbols = mn.extract_symbols(src.text, src.language, src.rel)
        src.imports = mn.extract_imports_ast(src.text, src.language)
    progress.close()


def make_chunks(sources, chunk_lines):
    """(file index, first line, last line, text) per chunk of about chunk_lines lines."""
    chunks = []
    for file_index, src in enumerate(sources):
        for start in range(0, max(len(src.lines), 1), chunk_lines):
            body = "\n".join(src.lines[start:start + chunk_lines])
            if body.strip():
                last = min(start + chunk_lines, len(src.lines))
                chunks.append((file_index, start + 1, last, src.rel + "\n" + body))
    return chunks


def symbol_ranking(sources, chunks, query):
    """Chunks ranked by how many query terms their best symbol's name holds."""
    terms = set(mn.tokenize_for_search(query))
    if not terms:
        return [], {}
    chunk_at = {}
    for chunk_id, (file_index, first, last, _) in enumerate(chunks):
        for line in range(first, last + 1, 1):
            chunk_at[(file_index, line)] = chunk_id
    best = {}
    for file_index, src in enumerate(sources):
        for name, kind, line_start, _line_end, _sig, _doc, parent, _vis, _role in src.symbols:
            name_terms = set(mn.tokenize_for_search(name)) | set(mn.extract_code_tokens(name))
            score = len(terms & name_terms) / len(terms)
            chunk_id = chunk_at.get((file_index, line_start))
            if score > 0 and chunk_id is not None and score > best.get(chunk_id, (0, ""))[0]:
                label = f"{parent}.{name}" if parent else name
                best[chunk_id] = (score, f"{label} ({kind})")
    ranked = sorted(best.items(), key=lambda item: (-item[1][0], item[0]))
    return [(str(chunk_id), score) for chunk_id, (score, _) in ranked], {c: label for c, (_, label) in best.items()}


def module_index(sources):
    """Maps import strings to the files of the tree they name."""
    by_module, by_path, by_base = {}, {}, {}
    for src in sources:
        stem, ext = os.path.splitext(src.rel)
        by_path[src.rel] = src.rel
        by_path.setdefault(stem, src.rel)
        by_base.setdefault(os.path.basename(src.rel), src.rel)
        if src.language == "python":
            parts = stem.split(os.sep)
            if parts[-1] == "__init__":
                parts = parts[:-1]
            if parts:
                by_module[".".join(parts)] = src.rel
    return by_module, by_path, by_base


def resolve_import(src, target, index):
    by_module, by_path, by_base = index
    if src.language == "python":
        if target.startswith("."):
            level = len(target) - len(target.lstrip("."))
            package = os.path.dirname(src.rel).split(os.sep) if os.path.dirname(src.rel) else []
            package = package[: len(package) - (level - 1)] if level > 1 else package
            target = ".".join(package + ([target.lstrip(".")] if target.lstrip(".") else []))
        while target:
            if target in by_module:
                return by_module[target]
            target = target.rpartition(".")[0]
        return None
    if target.startswith("."):
        joined = os.path.normpath(os.path.join(os.path.dirname(src.rel), target))
        return by_path.get(joined)
    if src.language in ("c", "cpp"):
        return by_path.get(os.path.normpath(os.path.join(os.path.dirname(src.rel), target))) or by_base.get(
            os.path.basename(target))
    return None


def import_edges(sources):
    index = module_index(sources)
    edges = []
    for src in sources:
        for target in src.imports:
            resolved = resolve_import(src, target, index)
            if resolved and resolved != src.rel:
                edges.append((src.rel, resolved))
    return edges


def search(root, paths, query, top, chunk_lines):
    started = time.perf_counter()
    sources, skipped = load_sources(root, paths)
    if not sources:
        raise DemoError(f"no source files of a supported language under {root}")
    extract_structure(sources)
    chunks = make_chunks(sources, chunk_lines)

    engine = mn.BM25Engine()
    engine.index([text for *_, text in chunks])
    lexical = engine.score(query, top_k=max(100, top * 10))
    lexical_rank = {doc: rank for rank, (doc, _) in enumerate(lexical)}
    symbols, symbol_labels = symbol_ranking(sources, chunks, query)
    symbol_rank = {int(doc): rank for rank, (doc, _) in enumerate(symbols)}

    fused = mn.reciprocal_rank_fusion([[(str(doc), score) for doc, score in lexical], symbols[: max(100, top * 10)]])
    candidates = fused[: top * 4]
    chosen = mn.mmr_select_indices([score for _, score in candidates],
                                   [chunks[int(doc)][3].lower() for doc, _ in candidates], top)
    hits = [int(candidates[i][0]) for i in chosen]

    edges = import_edges(sources)
    hit_files = list(dict.fromkeys(sources[chunks[c][0]].rel for c in hits))
    widened = mn.bfs_traversal_edges(edges, hit_files, max_hops=1, max_results=len(hit_files) + top)
    ranks = mn.pagerank(edges) if edges else {}
    elapsed = time.perf_counter() - started

    print(f"Searched {len(sources)} files ({skipped} skipped: unreadable or not UTF-8), {len(chunks)} chunks, "
          f"{len(edges)} import edges under {root} in {elapsed:.1f}s")
    print(f"Query: {query!r}\n")
    rows = []
    for position, chunk_id in enumerate(hits, 1):
        file_index, first, last, _ = chunks[chunk_id]
        why = []
        if chunk_id in lexical_rank:
            why.append(f"lexical #{lexical_rank[chunk_id] + 1}")
        if chunk_id in symbol_rank:
            why.append(f"symbol name #{symbol_rank[chunk_id] + 1}")
        src = sources[file_index]
        symbol = symbol_labels.get(chunk_id) or enclosing_symbol(src, first, last)
        rows.append((str(position), f"{src.rel}:{first}-{last}", symbol, ", ".join(why),
                     f"{ranks.get(src.rel, 0.0):.5f}"))
    print_table(("#", "file:lines", "symbol", "why", "pagerank"), rows)

    related = {}
    for source_file, target_file, relation, hop in widened:
        if target_file not in hit_files and target_file not in related:
            verb = "imported by" if relation == "imports" else "imports"
            related[target_file] = f"{verb} {source_file}"
    if related:
        print("\nRelated files along imports, by PageRank:")
        ordered = sorted(related, key=lambda f: (-ranks.get(f, 0.0), f))
        print_table(("file", "pagerank", "why"), [(f, f"{ranks.get(f, 0.0):.5f}", related[f]) for f in ordered])


def enclosing_symbol(src, first, last):
    inside = [s for s in src.symbols if s[2] <= last and s[3] >= first]
    if not inside:
        return "-"
    name, kind, *_rest = min(inside, key=lambda s: s[3] - s[2])
    return f"{name} ({kind})"


def print_table(header, rows):
    widths = [max(len(str(x)) for x in column) for column in zip(header, *rows)]
    widths = [min(w, 60) for w in widths]
    line = "  ".join(f"{{:<{w}}}" for w in widths)
    print(line.format(*header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line.format(*(str(x)[:w] for x, w in zip(row, widths))))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Hybrid code search over a source tree.")
    parser.add_argument("path", nargs="?", default=sysconfig.get_paths()["stdlib"],
                        help="directory (or one file) to search; default: the Python standard library")
    parser.add_argument("query", nargs="?", default=DEFAULT_QUERY, help=f"what to look for (default: {DEFAULT_QUERY!r})")
    parser.add_argument("--top", type=int, default=10, help="number of results (default 10)")
    parser.add_argument("--chunk-lines", type=int, default=50, help="lines per indexed chunk (default 50)")
    args = parser.parse_args(argv)
    try:
        if not args.query.strip():
            raise DemoError("the query is empty")
        if args.top < 1 or args.chunk_lines < 1:
            raise DemoError("--top and --chunk-lines must be at least 1")
        path = os.path.abspath(args.path)
        if os.path.isfile(path):
            try:
                with open(path, "rb"):
                    pass
            except OSError as e:
                raise DemoError(f"cannot read {args.path}: {e.strerror}")
            if os.path.splitext(path)[1] not in LANGUAGES:
                raise DemoError(f"{args.path} is not a file of a supported language")
            root, paths = os.path.dirname(path), [os.path.basename(path)]
        elif os.path.isdir(path):
            root, paths = path, find_sources(path)
        else:
            raise DemoError(f"no such directory: {args.path}")
        search(root, paths, args.query, args.top, args.chunk_lines)
        return 0
    except DemoError as e:
        print(f"demo: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
