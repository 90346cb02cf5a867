import pytest
from hypothesis import settings

# For the slow instrumented runs of CI (sanitizers, development mode): fewer
# examples, and no per-example deadline.
settings.register_profile("checked", max_examples=20, deadline=None)


def pytest_addoption(parser):
    parser.addoption("--run-bigmem", action="store_true",
                     help="run the tests that need inputs of 2 GiB or more")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--run-bigmem"):
        return
    skip = pytest.mark.skip(reason="needs --run-bigmem")
    for item in items:
        if "bigmem" in item.keywords:
            item.add_marker(skip)
