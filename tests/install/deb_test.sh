#!/usr/bin/env bash
# Builds the Debian packages from the build tree with CPack into a temporary directory and uses
# them the way an operator or a developer would.
#   messenger: checks the files, owners and modes of both packages (dpkg-deb --contents) and
#              their control fields, unpacks qm7-messenger into a temporary root (dpkg-deb -x)
#              and runs the unpacked qm_jpmd -V and one job report against the unpacked
#              qm7-agent-sim;
#   dev:       unpacks libqm7-dev into a temporary root and builds the consumer project against
#              it with find_package and with pkg-config (install_test.sh on the unpacked tree).
# Exits 77 (skipped) where the Debian packaging tools are missing.
#
# Usage: deb_test.sh messenger|dev CPACK BUILD_DIR SOURCE_DIR CMAKE GENERATOR CXX DEB_LIBDIR
# DEB_LIBDIR is libqm7-dev's library directory below /usr.
set -euo pipefail

mode=$1 cpack=$2
shift 2
build_dir=$1 source_dir=$2 libdir=$6

for tool in dpkg-deb dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "deb test: $tool not installed (packages dpkg, dpkg-dev, file): skipped"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qm7-deb-test.XXXXXX")
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "deb test: $*" >&2
  exit 1
}

echo "== cpack into $work/pkg"
"$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
messenger=$(echo "$work"/pkg/qm7-messenger_*.deb) dev=$(echo "$work"/pkg/libqm7-dev_*.deb)
{ [ -f "$messenger" ] && [ -f "$dev" ]; } || fail "cpack made: $(ls "$work/pkg")"
root=$work/root

if [ "$mode" = dev ]; then
  dpkg-deb -x "$dev" "$root"
  exec "$source_dir/tests/install/install_test.sh" --installed "$root/usr" "$@" bin share/man
fi

# Every file of each package, with mode and owner, exactly: a file missing, one too many (an
# uncompressed man page, a build path) or a wrong mode fails.
file_list() {
  dpkg-deb --contents "$1" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort
}
doc=(copyright changelog.Debian.gz)
expect=()
for program in qm_jpmd qm7-agent-sim qm7-token; do
  expect+=("-rwxr-xr-x root/root ./usr/bin/$program"
    "-rw-r--r-- root/root ./usr/share/man/man1/$program.1.gz")
done
for f in "${doc[@]}"; do expect+=("-rw-r--r-- root/root ./usr/share/doc/qm7-messenger/$f"); done
diff <(printf '%s\n' "${expect[@]}" | sort) <(file_list "$messenger") ||
  fail "qm7-messenger holds other files than these (<) or these too (>)"

expect=()
# shellcheck disable=SC2046  # header paths hold no blanks
for f in "$libdir"/libqm7_{runtime,ccm,messenger}.a "$libdir"/pkgconfig/qm7.pc \
  "$libdir"/cmake/qm7/qm7{Config,ConfigVersion,Targets}.cmake \
  "${doc[@]/#/share/doc/libqm7-dev/}" \
  $(cd "$source_dir" && find include/qm7 -name '*.h'); do
  expect+=("-rw-r--r-- root/root ./usr/$f")
done
diff <(printf '%s\n' "${expect[@]}" | sort) \
  <(file_list "$dev" | grep -v "/cmake/qm7/qm7Targets-[a-z]*\.cmake$") ||
  fail "libqm7-dev holds other files than these (<) or these too (>)"
# It installs the channel manager's host interface only: none of its headers declares the
# library's internals (wake-up batching, reader steps, seams), which live under src/ccm.
if dpkg-deb --fsys-tarfile "$dev" | tar -xO --wildcards './usr/include/qm7/ccm/*' |
  grep -nE 'namespace qm7::ccm|ccm_detail'; then
  fail "libqm7-dev installs internals of the channel manager"
fi

# Control fields, the changelog's newest entry and the compressed files' headers (gzip -9n:
# no name, no time stamp, best compression).
version=$(dpkg-deb -f "$messenger" Version)
[ "$(dpkg-deb -f "$dev" Version)" = "$version" ] || fail "the packages' versions differ"
dpkg-deb -f "$messenger" Depends | grep -q '^libc6 (>= ' ||
  fail "qm7-messenger's dependencies are not computed: $(dpkg-deb -f "$messenger" Depends)"
dpkg-deb -x "$messenger" "$root"
for f in "$root"/usr/share/man/man1/*.gz "$root"/usr/share/doc/qm7-messenger/changelog.Debian.gz; do
  [ "$(od -An -tx1 -j3 -N6 "$f")" = " 00 00 00 00 00 02" ] || fail "$f is not gzip -9n'd"
done
entry=$(zcat "$root/usr/share/doc/qm7-messenger/changelog.Debian.gz" | head -1)
[[ $entry == "qm7 ($version) "* ]] ||
  fail "the changelog's newest entry is \"$entry\", the packages are $version: add an entry"

echo "== the unpacked programs"
bin=$root/usr/bin
out=$("$bin/qm_jpmd" -V) || fail "unpacked qm_jpmd -V exited with $?"
echo "$out"
[[ $out == *'"qm_jpmd" version '"${version%-*}"* ]] ||
  fail "qm_jpmd -V does not print the packages' version ${version%-*}"

# The simulator names its port on its first line and exits after one report (--count 1).
mkfifo "$work/sim.out"
"$bin/qm7-agent-sim" --port 0 --count 1 >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
exec 3<"$work/sim.out"
read -r -t 20 -u 3 line || fail "qm7-agent-sim did not start: $(cat "$work/sim.err")"
port=${line##*port=}
"$bin/qm_jpmd" IPA=127.0.0.1 PNR="$port" TIMEOUT=10 TYP=E JNR=4711 MNR=1 TXT=packaged RET=0 ||
  fail "unpacked qm_jpmd exited with $?"
read -r -t 20 -u 3 line || fail "qm7-agent-sim printed no report: $(cat "$work/sim.err")"
echo "$line"
[[ $line == 'job-end job=4711 '*' text="packaged" '* ]] || fail "unexpected report: $line"
wait "$sim" || fail "qm7-agent-sim exited with $?"
sim=
echo "deb test: all checks passed"
