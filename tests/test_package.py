import importlib
import pickle
import re
from pathlib import Path

import pytest

MODULES = ["linesift", "deltafold", "pentacode", "hunkfix"]


@pytest.mark.parametrize("name", MODULES)
def test_module_imports_under_package(name):
    mod = importlib.import_module(f"quorvan.cext.{name}")
    assert mod.__name__ == f"quorvan.cext.{name}"
    assert mod.version == 1


@pytest.mark.parametrize("module, call", [
    ("deltafold", lambda m: m.patchedsize(0, b"\0")),
    ("hunkfix", lambda m: m.fix_newline([], [], [])),
])
def test_module_errors_pickle(module, call):
    # A host reading patches in a worker process gets its errors back
    # pickled, which needs the type importable under its full name.
    mod = importlib.import_module(f"quorvan.cext.{module}")
    with pytest.raises(getattr(mod, f"{module}Error")) as raised:
        call(mod)
    back = pickle.loads(pickle.dumps(raised.value))
    assert type(back) is type(raised.value)
    assert back.args == raised.value.args


def test_quorvan_is_a_namespace_package():
    import quorvan

    # No __init__.py of ours, so a host package can live beside it.
    assert getattr(quorvan, "__file__", None) is None


def test_version_comes_from_the_metadata():
    import quorvan.cext
    from importlib.metadata import version

    assert quorvan.cext.__version__ == version("quorvan-cext")
    # The metadata is pyproject.toml's [project] version, when the tests sit
    # beside it (a checkout or an unpacked sdist).
    pyproject = Path(__file__).resolve().parents[1] / "pyproject.toml"
    if pyproject.exists():
        declared = re.search(r'(?m)^version = "([^"]+)"',
                             pyproject.read_text(encoding="utf-8"))
        assert declared and declared.group(1) == quorvan.cext.__version__
    with pytest.raises(AttributeError):
        quorvan.cext.no_such_attribute
