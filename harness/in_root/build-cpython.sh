#!/bin/sh
# Runs inside a Debian root, once, when the root is made: builds a
# free-threaded CPython (--disable-gil) from the upstream tarball of the
# Debian source package downloaded into /opt/src, installs it under PREFIX
# and lets it import Debian's pure-Python packages (pip, pytest, hypothesis,
# scikit-build-core); their compiled modules stay invisible to it (another
# ABI suffix), which is right.
#
# Usage: build-cpython.sh PREFIX VERSION   e.g. /opt/py313t 3.13
set -eu
prefix="$1" ver="$2"

cd /opt/src
# The upstream tarball alone: Debian's patches assume Debian's own layout.
tarball="$(echo python"$ver"_*.orig.tar.[gx]z)"   # not its .asc signature
mkdir build
tar -xf "$tarball" -C build --strip-components=1
cd build

# No ensurepip (Debian's pip serves), no test modules (nothing here needs
# them; they only add build time).
./configure --disable-gil --prefix="$prefix" --without-ensurepip --disable-test-modules >configure.log 2>&1 \
  || { tail -n 60 configure.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -n 80 make.log; exit 1; }
sed -n '/necessary bits to build these optional modules/,/^$/p' make.log
make install >install.log 2>&1 || { tail -n 60 install.log; exit 1; }

py="$prefix/bin/python${ver}t"
purelib="$("$py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
echo /usr/lib/python3/dist-packages >"$purelib/debian-dist-packages.pth"
# Proof that it is free-threaded, has what pip, pytest and hypothesis use
# from the standard library, and sees Debian's packages.
"$py" -c 'import sys, sysconfig, zlib, bz2, lzma, ctypes, pyexpat, decimal, sqlite3
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
import pip, pytest, hypothesis, scikit_build_core
print(sys.version)'
cd /
rm -rf /opt/src
