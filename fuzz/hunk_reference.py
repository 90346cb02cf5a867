"""What the hunk fuzz target loads: the check of tests/reference.py, where
the reading of hunk bodies and the target's input layout are written."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from reference import check_hunk as check  # noqa: E402,F401
