"""Fetches the pinned runtime and grammar packages with npm and keeps only the C sources the
build compiles (plus licences), in third_party_pins/tree_sitter/fetched/, laid out like
node_modules. Run it before `python -m build --sdist` so that the source distribution
builds without npm; cmake/tree_sitter.cmake prefers that folder when it exists.
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PINS = ROOT / "third_party_pins" / "tree_sitter"
DEST = PINS / "fetched"

# Paths inside node_modules that the build reads.
KEEP = [
    "tree-sitter/vendor/tree-sitter/lib/src",
    "tree-sitter/vendor/tree-sitter/lib/include",
    "tree-sitter-python/src",
    "tree-sitter-javascript/src",
    "tree-sitter-typescript/typescript/src",
    "tree-sitter-typescript/tsx/src",
    "tree-sitter-typescript/common",
    "tree-sitter-go/src",
    "tree-sitter-rust/src",
    "tree-sitter-c/src",
    "tree-sitter-cpp/src",
]
SKIP = shutil.ignore_patterns("*.json", "*.wasm")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        for name in ("package.json", "package-lock.json", ".npmrc"):
            shutil.copy(PINS / name, work / name)
        subprocess.run(["npm", "ci", "--ignore-scripts", "--no-audit", "--no-fund"], cwd=work, check=True)
        modules = work / "node_modules"
        if DEST.exists():
            shutil.rmtree(DEST)
        for rel in KEEP:
            shutil.copytree(modules / rel, DEST / rel, ignore=SKIP)
        for package in {rel.split("/")[0] for rel in KEEP}:
            for extra in ("LICENSE", "package.json"):
                if (modules / package / extra).exists():
                    shutil.copy(modules / package / extra, DEST / package / extra)
    print(f"grammar sources written to {DEST}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
