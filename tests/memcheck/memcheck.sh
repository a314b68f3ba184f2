#!/usr/bin/env bash
# Runs the test programs under valgrind memcheck, and with them every qm_jpmd and tool they
# start (the shell and system programs are skipped). Any invalid access, use of an uninitialised
# value or leak (definite, indirect or possible) fails the run. Meant for the plain build:
# sanitizer builds do not run under valgrind.
#
# Usage: memcheck.sh BIN_DIR [TEST_PROGRAM...]   (default: every qm7_*_tests in BIN_DIR)
set -euo pipefail

bin_dir=$1
shift
if ! command -v valgrind >/dev/null 2>&1; then
  echo "memcheck: valgrind is not installed (Debian: apt-get install valgrind)" >&2
  exit 2
fi
if [ $# -eq 0 ]; then
  set -- "$bin_dir"/qm7_*_tests
fi

status=0
for program in "$@"; do
  [ -x "$program" ] || continue
  echo "== memcheck $(basename "$program")"
  valgrind -q --error-exitcode=99 --trace-children=yes \
    --trace-children-skip='/bin/*,/usr/bin/*,/usr/local/bin/*' \
    --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible \
    "$program" --gtest_brief=1 || {
    echo "memcheck: $(basename "$program") failed with status $?" >&2
    status=1
  }
done
[ $status -eq 0 ] && echo "memcheck: no invalid access, no leak"
exit $status
