#!/bin/sh
# Runs inside a Debian root, once, when the root is made: builds CPython
# from the upstream tarball of the Debian source package downloaded into
# /opt/src with the configure options given, and installs it under PREFIX.
#
# SITE says where its pip and test tools come from:
#   debian-site  Debian's pure-Python packages of the root (pip, pytest,
#                hypothesis, scikit-build-core) through a .pth file; their
#                compiled modules stay invisible to it (another ABI suffix),
#                which is right. Configure it --without-ensurepip.
#   own-pip      its own pip from ensurepip and nothing of Debian's, as a
#                user who built it would have (an old suite's packages are
#                for that suite's own Python).
#
# Usage: build-cpython.sh PREFIX VERSION SITE [CONFIGURE-OPTION...]
#   e.g. build-cpython.sh /opt/py313t 3.13 debian-site --disable-gil
set -eu
prefix="$1" ver="$2" site="$3"
shift 3

cd /opt/src
# The upstream tarball alone: Debian's patches assume Debian's own layout.
tarball="$(echo python"$ver"_*.orig.tar.[gx]z)"   # not its .asc signature
mkdir build
tar -xf "$tarball" -C build --strip-components=1
cd build

# A ThreadSanitizer build runs its own interpreter while it builds (frozen
# modules, the extension modules' checks): what it reports there is
# CPython's business, not this build's, and would only fail the build.
export TSAN_OPTIONS=report_bugs=0

./configure --prefix="$prefix" "$@" >configure.log 2>&1 \
  || { tail -n 60 configure.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -n 80 make.log; exit 1; }
sed -n '/necessary bits to build these optional modules/,/^$/p' make.log
make install >install.log 2>&1 || { tail -n 60 install.log; exit 1; }

# The free-threaded build's interpreter carries a t.
py="$prefix/bin/python$ver"
[ -x "$py" ] || py="${py}t"
case "$site" in
  debian-site)
    purelib="$("$py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
    echo /usr/lib/python3/dist-packages >"$purelib/debian-dist-packages.pth"
    tools="pip, pytest, hypothesis, scikit_build_core" ;;
  own-pip) tools="pip" ;;
  *) echo "unknown SITE: $site" >&2; exit 2 ;;
esac
# Proof that it has what pip, pytest and hypothesis use from the standard
# library, and the tools SITE promises.
"$py" -c "import sys, sysconfig, zlib, bz2, lzma, ctypes, pyexpat, decimal, sqlite3
import $tools
print(sys.version, 'free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else 'with the GIL')"
cd /
rm -rf /opt/src
