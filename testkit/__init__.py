"""Helpers shared by the tests, the fuzz targets and the benchmarks; never
installed. Importable from the checkout's root (pytest puts it on the path
through pyproject.toml; scripts and fuzz targets run with PYTHONPATH set to
the root).

reference: a plain-Python reference of what the modules compute and of the
fuzz targets' input layouts. engines: ctypes bindings of the engines'
exported C functions, for tests that call the engines directly.
"""
