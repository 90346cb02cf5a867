"""Checks what the release artefacts hold: python tools/check_dist.py FILE...

A wheel must hold the package, the four modules built for its own Python tag
(.abi3.so ones, and no other, in a stable-ABI wheel), their stubs, py.typed
and the licence, and nothing from the source tree (tests, build files,
sources, a quorvan/__init__.py that would shadow a host package). An sdist must hold what building and testing need, and no build
output. Prints one line per file; exits 1 on the first problems found.
"""
from __future__ import annotations

import re
import sys
import tarfile
import zipfile
from pathlib import PurePosixPath

MODULES = ("linesift", "deltafold", "pentacode", "hunkfix")
PKG = "quorvan/cext/"

WHEEL_NEEDS = ([PKG + f for f in ("__init__.py", "__main__.py", "py.typed")]
               + [PKG + m + ".pyi" for m in MODULES])
# Anything a wheel must never carry, matched against each member's path.
WHEEL_BANS = re.compile(r"""(^|/)(tests?|fuzz|benchmarks|build|src|\.ci)/
    | (^|/)(conftest|test_\w+)\.py$ | \.(cpp|h|o|a)$
    | (^|/)(CMakeLists\.txt|CMakeCache\.txt|pyproject\.toml)$
    | ^quorvan/__init__\.py$""", re.X)

SDIST_NEEDS = ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
               "tests/conftest.py", "src/quorvan/cext/py.typed")
SDIST_BANS = re.compile(r"(^|/)(build|dist|\.venv[^/]*|\.git)/|\.(so|o|whl)$")


def check_wheel(path: str) -> list[str]:
    names = zipfile.ZipFile(path).namelist()
    tag = re.search(r"-(cp\d+)-(cp\d+|abi3)-", path)
    if not tag:
        return ["not a CPython wheel name"]
    # A stable-ABI wheel holds .abi3.so modules only; any other, modules
    # for its own Python only.
    suffix = (r"\.abi3\.so$" if tag.group(2) == "abi3"
              else r"\.cpython-" + tag.group(1)[2:] + r"-[\w-]+\.so$")
    problems = [f"missing {n}" for n in WHEEL_NEEDS if n not in names]
    for m in MODULES:
        ext = re.compile(re.escape(PKG + m) + suffix)
        if not any(ext.match(n) for n in names):
            problems.append(f"missing module {m} for {tag.group(1)}"
                            f"-{tag.group(2)}")
    problems += [f"module of another ABI: {n}" for n in names
                 if n.endswith(".so") and n.startswith(PKG)
                 and n.count("/") == 2 and not re.search(suffix, n)]
    if not any(re.search(r"\.dist-info/(licenses/)?LICENSE$", n) for n in names):
        problems.append("missing LICENSE")
    problems += [f"should not ship {n}" for n in names if WHEEL_BANS.search(n)]
    return problems


def check_sdist(path: str) -> list[str]:
    with tarfile.open(path) as tar:
        names = {str(PurePosixPath(*PurePosixPath(n).parts[1:]))
                 for n in tar.getnames()}
    problems = [f"missing {n}" for n in SDIST_NEEDS if n not in names]
    problems += [f"should not ship {n}" for n in sorted(names)
                 if SDIST_BANS.search(n)]
    return problems


def main(paths: list[str]) -> int:
    failed = False
    for path in paths:
        check = check_wheel if path.endswith(".whl") else check_sdist
        problems = check(path)
        print(f"{path}: {'; '.join(problems) if problems else 'ok'}")
        failed = failed or bool(problems)
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
