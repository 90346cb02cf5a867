"""The release tools: build_wheels.sh refuses what it cannot do before it
touches dist/, and check_dist.py tells a wheel's modules from another ABI's."""
from __future__ import annotations

import importlib.util
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"
pytestmark = pytest.mark.skipif(not (TOOLS / "build_wheels.sh").exists()
                                or shutil.which("bash") is None,
                                reason="needs the source tree's tools/")


@pytest.mark.parametrize("args, status", [(["--help"], 0), (["-h"], 0),
                                          (["--bogus"], 2),
                                          (["no-such-python"], 2)])
def test_build_wheels_usage_leaves_dist_alone(tmp_path, args, status):
    (tmp_path / "tools").mkdir()
    shutil.copy(TOOLS / "build_wheels.sh", tmp_path / "tools")
    (tmp_path / "dist").mkdir()
    kept = tmp_path / "dist" / "kept.whl"
    kept.write_bytes(b"x")
    r = subprocess.run(["bash", str(tmp_path / "tools" / "build_wheels.sh"),
                        *args], capture_output=True, text=True, timeout=60)
    assert r.returncode == status
    assert "tools/build_wheels.sh --help" in r.stdout + r.stderr
    assert kept.exists() and not (tmp_path / "build").exists()


def load_check_dist():
    spec = importlib.util.spec_from_file_location("check_dist",
                                                  TOOLS / "check_dist.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.mark.parametrize("tag, suffixes, bad", [
    ("cp311-abi3", ["abi3.so"] * 4, 0),
    ("cp310-cp310", ["cpython-310-x86_64-linux-gnu.so"] * 4, 0),
    # a module of another ABI beside the right ones, or instead of one
    ("cp311-abi3", ["abi3.so"] * 4 + ["cpython-311-x86_64-linux-gnu.so"], 1),
    ("cp311-abi3", ["cpython-311-x86_64-linux-gnu.so"] + ["abi3.so"] * 3, 2),
    ("cp312-cp312", ["cpython-312-x86_64-linux-gnu.so"] * 3 + ["abi3.so"], 2),
])
def test_check_dist_wheel_modules_match_its_abi(tmp_path, tag, suffixes, bad):
    cd = load_check_dist()
    path = tmp_path / f"quorvan_cext-0.1.0-{tag}-manylinux_2_17_x86_64.whl"
    with zipfile.ZipFile(path, "w") as z:
        for name in cd.WHEEL_NEEDS + ["quorvan_cext-0.1.0.dist-info/LICENSE"]:
            z.writestr(name, "")
        for i, suffix in enumerate(suffixes):
            z.writestr(f"{cd.PKG}{cd.MODULES[i % 4]}.{suffix}", "")
    assert len(cd.check_wheel(str(path))) == bad
