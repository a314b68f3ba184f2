#!/usr/bin/env bash
# Checks the man pages in man/: each renders without a warning (`man --warnings -l`), each
# option a program lists in its --help is described in its page, and every key of the
# messenger's command line in README.md is described in qm_jpmd(1).
#
# Usage: man_pages_test.sh SOURCE_DIR BIN_DIR
set -euo pipefail

source_dir=$1 bin_dir=$2
status=0

fail() {
  echo "man pages: $*" >&2
  status=1
}

# The page's source with "\-" turned into "-", so option names can be searched as typed.
page_text() { sed 's/\\-/-/g' "$source_dir/man/$1.1"; }

for program in qm_jpmd qm7-agent-sim qm7-token; do
  page=$source_dir/man/$program.1
  if [ ! -f "$page" ]; then
    fail "$page is missing"
    continue
  fi
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed on $page"
  if [ -n "$warnings" ]; then
    fail "$program.1 renders with warnings:"
    echo "$warnings" >&2
  fi
  if [ -x "$bin_dir/$program" ]; then
    help=$("$bin_dir/$program" --help) || fail "$program --help exited with $?"
    # shellcheck disable=SC2013  # option names hold no blanks
    for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
      grep -qF -- "$option" <(page_text "$program") || fail "$program.1 does not describe $option"
    done
  fi
done

# Keys of the messenger's command line: the first column of the README's key table.
# shellcheck disable=SC2016  # the backticks are the README's, not the shell's
keys=$(sed -n 's/^| `\([A-Z]*\)` |.*/\1/p' "$source_dir/README.md")
[ -n "$keys" ] || fail "no key table found in README.md"
for key in $keys; do
  grep -qE -- "^\.BI? $key=" <(page_text qm_jpmd) || fail "qm_jpmd.1 does not describe $key="
done

[ $status -eq 0 ] && echo "man pages: all checks passed"
exit $status
