"""setuptools' build backend, also for interpreters without the wheel package.

setuptools (before 70.1) builds wheels with the wheel package, which an
offline --no-build-isolation build cannot fetch; an interpreter that lacks it
gets Debian's copy (python3-wheel-whl), imported straight from its wheel.
"""

import glob
import sys

try:
    import wheel  # noqa: F401
except ImportError:
    sys.path.extend(sorted(glob.glob("/usr/share/python-wheels/wheel-*.whl"))[-1:])

from setuptools.build_meta import *  # noqa: E402,F401,F403
