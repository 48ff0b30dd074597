"""The committed Unicode tables are exactly what the generator makes from the UCD files."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UCD = "/usr/share/unicode"


@pytest.mark.skipif(not os.path.exists(os.path.join(UCD, "UnicodeData.txt")), reason="UCD files not installed")
def test_generated_tables_are_current():
    tool = os.path.join(ROOT, "tools", "gen_unicode.py")
    if not os.path.exists(tool):
        pytest.skip("source tree not available")
    result = subprocess.run([sys.executable, tool, "--ucd", UCD, "--check"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
