#!/usr/bin/env bash
# Runs the test programs under valgrind memcheck, and with them every qm_jpmd and tool they
# start (the shell and system programs are skipped). Any invalid access, use of an uninitialised
# value or leak (definite, indirect or possible) fails the run. Each process writes its report
# to a file of its own, so the children's standard error stays what the tests expect; the
# reports that hold errors are printed. Meant for the plain build: sanitizer builds do not run
# under valgrind.
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

logs=$(mktemp -d "${TMPDIR:-/tmp}/qm7-memcheck.XXXXXX")
trap 'rm -rf "$logs"' EXIT
status=0
start=$SECONDS
for program in "$@"; do
  [ -x "$program" ] || continue
  echo "== memcheck $(basename "$program")"
  began=$SECONDS
  rc=0
  valgrind -q --error-exitcode=99 --trace-children=yes \
    --trace-children-skip='/bin/*,/usr/bin/*,/usr/local/bin/*' \
    --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --log-file="$logs/%p.log" \
    "$program" --gtest_brief=1 || rc=$?
  echo "memcheck: $(basename "$program") took $((SECONDS - began)) s, exit status $rc"
  [ $rc -eq 0 ] || status=1
done
for log in "$logs"/*.log; do
  if grep -q '^==[0-9]*== ' "$log"; then
    cat "$log" >&2
    status=1
  fi
done
echo "memcheck: $((SECONDS - start)) s in all"
[ $status -eq 0 ] && echo "memcheck: no invalid access, no leak"
exit $status
