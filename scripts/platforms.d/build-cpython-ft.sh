#!/bin/sh
# Runs inside a platform root, once, when the root is created: builds a
# free-threaded CPython (--disable-gil) from the upstream tarball of the
# Debian source package that was downloaded into /opt/src, installs it under
# PREFIX and makes Debian's pure-Python packages (pytest, hypothesis,
# scikit-build-core, pip, ...) importable from it.
#
# Usage: build-cpython-ft.sh PREFIX VERSION   e.g. /opt/py313t 3.13
set -eu
prefix="$1" ver="$2"

cd /opt/src
# The upstream tarball alone: Debian's patches assume Debian's own layout.
tarball="$(ls python"$ver"_*.orig.tar.* 2>/dev/null | head -n 1)"
[ -n "$tarball" ] || { echo "no python${ver}_*.orig.tar.* in /opt/src" >&2; ls -l >&2; exit 1; }
echo "source: $tarball"
mkdir build
tar -xf "$tarball" -C build --strip-components=1
cd build

# No ensurepip: Debian's pip (python3-pip) serves this interpreter too. No
# test modules: jadefox's tests need none, and CPython's own test suite
# would only add compile and install time.
./configure --disable-gil --prefix="$prefix" --without-ensurepip --disable-test-modules \
  >configure.log 2>&1 \
  || { tail -n 60 configure.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -n 80 make.log; exit 1; }
# CPython lists the optional modules it could not build; show that, if any.
sed -n '/necessary bits to build these optional modules/,/^$/p' make.log
make install >install.log 2>&1 || { tail -n 60 install.log; exit 1; }

py="$prefix/bin/python${ver}t"
purelib="$("$py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
echo /usr/lib/python3/dist-packages >"$purelib/debian-dist-packages.pth"

# What pip, pytest and hypothesis need from the standard library, and proof
# that this is a free-threaded build that sees Debian's packages.
"$py" -c '
import sys, sysconfig
import zlib, bz2, lzma, ctypes, pyexpat, decimal, sqlite3
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
import pip, pytest, hypothesis, scikit_build_core
print(sys.version)
'
cd /
rm -rf /opt/src
