# SPDX-License-Identifier: MIT
"""Prints, for the interpreter running it, three lines: its executable, whether its
C headers are installed (1 or 0) and whether it can import pytest (1 or 0)."""
import importlib.util
import os
import sys
import sysconfig

print(sys.executable)
print(int(os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))))
print(int(importlib.util.find_spec("pytest") is not None))
