# SPDX-License-Identifier: MIT
"""Prints where the marrowvane_dat package goes, relative to an install prefix, for
the interpreter running this script: the directory that interpreter searches when
its own prefix is that prefix.

Usage: python3 install_dir.py PREFIX
"""
import os
import sys
import sysconfig

prefix = sys.argv[1]
version = "%d.%d" % sys.version_info[:2]
# Debian's interpreter searches dist-packages, which its sysconfig does not report
# for an arbitrary prefix; a virtual environment made from it uses the plain layout.
if "deb_system" in sysconfig.get_scheme_names() and sys.prefix == sys.base_prefix:
    if os.path.normpath(prefix) == "/usr":
        print("lib/python3/dist-packages")
    else:
        print(f"lib/python{version}/dist-packages")
else:
    get_scheme = getattr(sysconfig, "get_preferred_scheme", None)
    scheme = get_scheme("prefix") if get_scheme else "posix_prefix"
    # A stand-in prefix, so the answer is a path relative to whatever prefix is used.
    base = "/prefix"
    path = sysconfig.get_path("platlib", scheme, vars={"base": base, "platbase": base})
    print(os.path.relpath(path, base))
