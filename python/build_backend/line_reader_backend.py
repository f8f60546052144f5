"""The build backend: scikit-build-core's own hooks, after a check that this
Python has what the build needs, which otherwise ends in a traceback (or, with
build isolation, in minutes of retries to fetch it)."""

import importlib.util
import sys

_NEEDED = (
    ("scikit_build_core", "python3-scikit-build-core (from bookworm-backports on Debian 12)"),
    ("pybind11", "python3-pybind11 and pybind11-dev"),
)

for _module, _package in _NEEDED:
    if importlib.util.find_spec(_module) is None:
        sys.stderr.write(
            f"line_reader: {sys.executable} has no {_module}: install Debian's {_package} "
            "and use /usr/bin/python3 (a venv made with --system-site-packages sees them)\n"
        )
        raise SystemExit(1)

from scikit_build_core import build as _build  # noqa: E402

for _hook in (
    "build_wheel",
    "build_sdist",
    "build_editable",
    "get_requires_for_build_wheel",
    "get_requires_for_build_sdist",
    "get_requires_for_build_editable",
    "prepare_metadata_for_build_wheel",
    "prepare_metadata_for_build_editable",
):
    if hasattr(_build, _hook):
        globals()[_hook] = getattr(_build, _hook)
