#!/bin/sh
# Demo of qm_jpmd against qm7-agent-sim: start the simulator on a free port, report a job start,
# an output file, a variable and a job end, show what the simulator received, stop it.
# Usage: tools/demo.sh [BIN_DIR]   (default: build/bin)
set -u
BIN=${1:-build/bin}
for prog in qm_jpmd qm7-agent-sim; do
  if [ ! -x "$BIN/$prog" ]; then
    echo "demo: $BIN/$prog not found; build first (cmake --build build)" >&2
    exit 1
  fi
done

tmp=$(mktemp -d)
SIM=
cleanup() {
  if [ -n "$SIM" ]; then kill "$SIM" 2>/dev/null; wait "$SIM" 2>/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

"$BIN/qm7-agent-sim" --port 0 --port-file "$tmp/port" >"$tmp/sim.out" 2>"$tmp/sim.err" &
SIM=$!
tries=0
while [ ! -s "$tmp/port" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ] || ! kill -0 "$SIM" 2>/dev/null; then
    echo "demo: the simulator did not start:" >&2
    cat "$tmp/sim.err" >&2
    exit 1
  fi
  sleep 0.1
done
PORT=$(cat "$tmp/port")
echo "== qm7-agent-sim listens on 127.0.0.1 port $PORT"

# One word as the shell reads it back: as it stands when it holds nothing the shell treats
# specially, else in single quotes (a quote inside written as '\'').
quote() {
  case $1 in
    '' | *[!A-Za-z0-9_=./:,+@%-]*) printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")" ;;
    *) printf '%s' "$1" ;;
  esac
}

# Shows the command exactly as it runs, ready to paste, then runs it.
report() {
  set -- "$BIN/qm_jpmd" IPA=127.0.0.1 PNR="$PORT" TIMEOUT=5 "$@"
  echo
  printf '$'
  for word in "$@"; do printf ' %s' "$(quote "$word")"; done
  echo
  "$@"
  echo "(exit code $?)"
}

report TYP=S JNR=4711 MNR=1 "TXT=nightly load started"
report TYP=O JNR=4711 MNR=1 OUTFILE=/var/tmp/nightly-load.log ULOGIN=Y
report TYP=V JNR=4711 MNR=1 NAME=ROWS_LOADED VALUE=125000 VTYPE=N
report TYP=E JNR=4711 MNR=1 TXT=done RET=0

# Each qm_jpmd ends only after the simulator answered, and the simulator prints a report
# before it answers, so all four lines are there now.
kill "$SIM" 2>/dev/null
wait "$SIM" 2>/dev/null
SIM=
echo
echo "== what qm7-agent-sim received"
cat "$tmp/sim.out"
