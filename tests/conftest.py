import pytest


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
