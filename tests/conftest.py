import warnings

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


# Reporting a failed property test imports more code (hypothesis writes the
# failing example as a patch, with whatever libraries it finds for that).
# A deprecation warning from those imports must not turn the report into an
# internal error under filterwarnings = error, which would hide the example:
# around the report hooks, warnings are only recorded. Test code never runs
# inside these hooks.
@pytest.hookimpl(wrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        return (yield)


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_terminal_summary(terminalreporter):
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        return (yield)
