import importlib

import pytest

MODULES = ["linesift", "deltafold", "pentacode", "hunkfix"]


@pytest.mark.parametrize("name", MODULES)
def test_module_imports_under_package(name):
    mod = importlib.import_module(f"quorvan.cext.{name}")
    assert mod.__name__ == f"quorvan.cext.{name}"
    assert mod.version == 1


def test_quorvan_is_a_namespace_package():
    import quorvan

    # No __init__.py of ours, so a host package can live beside it.
    assert getattr(quorvan, "__file__", None) is None
