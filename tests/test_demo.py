"""The demonstration script: a search over a small tree, and its one-line refusals."""
import os
import subprocess
import sys

import pytest

DEMO = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "demo.py")
pytestmark = pytest.mark.skipif(not os.path.exists(DEMO), reason="source tree not available")


def run(*args):
    return subprocess.run([sys.executable, DEMO, *args], capture_output=True, text=True, timeout=120)


def test_search_over_a_small_tree(tmp_path):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    (tmp_path / "pkg" / "headers.py").write_text(
        "def parse_http_headers(lines):\n    '''Parse HTTP headers.'''\n    return dict(l.split(':', 1) for l in lines)\n")
    (tmp_path / "pkg" / "client.py").write_text("from pkg.headers import parse_http_headers\n\nclass Client:\n"
                                                "    def fetch(self):\n        return parse_http_headers([])\n")
    (tmp_path / "util.js").write_text("export function formatDate(d) { return d.toISOString(); }\n")
    (tmp_path / "latin1.py").write_bytes(b"x = '\xe9'\n")
    result = run(str(tmp_path), "parse http headers", "--top", "3")
    assert result.returncode == 0, result.stderr
    assert "1 skipped" in result.stdout
    assert "pkg/headers.py:1-3" in result.stdout and "parse_http_headers (function)" in result.stdout
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["/nonexistent/dir"], "demo: no such directory: /nonexistent/dir"),
        ([".", "   "], "demo: the query is empty"),
        ([".", "x", "--top", "0"], "demo: --top and --chunk-lines must be at least 1"),
    ],
)
def test_refusals_are_one_line(args, message):
    result = run(*args)
    assert result.returncode != 0
    assert result.stderr.strip() == message
