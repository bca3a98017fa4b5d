"""Imports for the tests of the pyserial face: pyserial itself and torvak_serial, which is
taken from the installation when it is installed and from the source tree otherwise."""
import os
import sys

import pytest

serial = pytest.importorskip("serial", minversion="3.5", reason="pyserial 3.5 or newer is not installed")

try:
    import torvak_serial
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
    import torvak_serial

__all__ = ["serial", "torvak_serial"]
