#!/bin/sh
# Runs the test suite and the demo against the quorvan.cext installed in
# PYTHON's environment, from DIR (a copy of the tests outside the source
# tree), after making sure that every module is imported from
# site-packages and not from DIR:
#
#   tools/test_installed.sh PYTHON DIR [PYTEST ARGS...]
#
# Plain sh, for it also runs inside the chroots.
set -eu
py=$1 dir=$2
shift 2
cd "$dir"
"$py" -c '
import importlib, sys, sysconfig
from pathlib import Path
site = {Path(sysconfig.get_path(k)).resolve() for k in ("purelib", "platlib")}
for name in ("quorvan.cext", "quorvan.cext.linesift", "quorvan.cext.deltafold",
             "quorvan.cext.pentacode", "quorvan.cext.hunkfix"):
    where = Path(importlib.import_module(name).__file__).resolve()
    if not any(s in where.parents for s in site):
        sys.exit(f"{name} imported from {where}, not from site-packages")
print("quorvan.cext", importlib.import_module("quorvan.cext").__version__,
      "from", Path(importlib.import_module("quorvan.cext.linesift").__file__).name)
'
"$py" -m pytest -q -p no:cacheprovider "$@"
log=$(mktemp)
if ! "$py" -m quorvan.cext >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    exit 1
fi
tail -n 1 "$log"
rm -f "$log"
