#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it the way another project would: builds
# the consumer project in tests/install/consumer/ with find_package(qm7) and runs it, checks the
# installed programs and man pages, and compiles the same consumer with the flags that
# `pkg-config --cflags --libs qm7` gives (that half is skipped when pkg-config is missing).
# With --installed PREFIX it checks a tree installed otherwise (an unpacked package) instead.
#
# Usage: install_test.sh [--installed PREFIX] BUILD_DIR SOURCE_DIR CMAKE GENERATOR CXX_COMPILER
#                        LIBDIR BINDIR MANDIR [PROGRAM...]
# PROGRAM names the programs the build made, each of which must be installed with its man page.
set -euo pipefail

installed=
if [ "$1" = --installed ]; then
  installed=$2
  shift 2
fi
build_dir=$1 source_dir=$2 cmake=$3 generator=$4 cxx=$5 libdir=$6 bindir=$7 mandir=$8
shift 8

work=$(mktemp -d "${TMPDIR:-/tmp}/qm7-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=${installed:-$work/prefix}

fail() {
  echo "install test: $*" >&2
  exit 1
}

if [ -z "$installed" ]; then
  echo "== cmake --install into $prefix"
  "$cmake" --install "$build_dir" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install failed"; }
fi

for f in "$libdir/libqm7_runtime.a" "$libdir/libqm7_ccm.a" "$libdir/libqm7_messenger.a" \
  include/qm7/runtime.h include/qm7/ccm.h include/qm7/messenger.h include/qm7/ccm/context.h \
  "$libdir/cmake/qm7/qm7Config.cmake" "$libdir/cmake/qm7/qm7ConfigVersion.cmake" \
  "$libdir/cmake/qm7/qm7Targets.cmake" "$libdir/pkgconfig/qm7.pc"; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
for program in "$@"; do
  [ -x "$prefix/$bindir/$program" ] || fail "$bindir/$program is not installed"
  [ -f "$prefix/$mandir/man1/$program.1" ] || fail "$mandir/man1/$program.1 is not installed"
done
if [ -x "$prefix/$bindir/qm_jpmd" ]; then
  "$prefix/$bindir/qm_jpmd" -V | grep -q '"qm_jpmd" version' || fail "installed qm_jpmd -V"
fi

echo "== find_package(qm7) from a consumer project"
"$cmake" -S "$source_dir/tests/install/consumer" -B "$work/consumer" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "consumer configure failed"; }
grep -qx "qm7_DIR:PATH=$prefix/$libdir/cmake/qm7" "$work/consumer/CMakeCache.txt" ||
  fail "find_package did not take the package in $prefix: $(grep qm7_DIR "$work/consumer/CMakeCache.txt")"
"$cmake" --build "$work/consumer" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "consumer build failed"; }
out=$("$work/consumer/qm7_consumer") || fail "consumer (CMake) exited with $?: $out"
[ "$out" = "consumer ok" ] || fail "consumer (CMake) printed: $out"
echo "$out"

echo "== pkg-config --cflags --libs qm7"
if ! command -v pkg-config >/dev/null 2>&1; then
  echo "pkg-config not installed: skipped"
  exit 0
fi
flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs qm7) ||
  fail "pkg-config does not find qm7"
echo "$flags"
# The file names its directories relative to where it lies: they must lead into this tree.
same_dir() { [ "$(cd "$1" 2>/dev/null && pwd -P)" = "$(cd "$2" && pwd -P)" ]; }
inc=$(grep -o -- '-I[^ ]*' <<<"$flags" | head -1) || true
lib=$(grep -o -- '-L[^ ]*' <<<"$flags" | head -1) || true
same_dir "${inc#-I}" "$prefix/include" || fail "pkg-config names ${inc:-no -I} for $prefix/include"
same_dir "${lib#-L}" "$prefix/$libdir" || fail "pkg-config names ${lib:-no -L} for $prefix/$libdir"
# shellcheck disable=SC2086  # the flags are words by design
"$cxx" -std=c++20 -o "$work/consumer_pc" "$source_dir/tests/install/consumer/main.cc" $flags ||
  fail "consumer build with pkg-config flags failed"
out=$("$work/consumer_pc") || fail "consumer (pkg-config) exited with $?: $out"
[ "$out" = "consumer ok" ] || fail "consumer (pkg-config) printed: $out"
echo "$out"
