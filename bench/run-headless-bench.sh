#!/usr/bin/env bash
# Runs the headless monitor for a while at its real one-second cycle, with the display emulator
# attached as the serial display, and reports what it costs: CPU time, peak resident memory and
# wake-ups (context switches) per second, from GNU time and /proc.
# Targets: at most 0.05 % of one core (30 ms of CPU per minute), peak RSS at most 15 MB, at most
# 2 wake-ups per second.
# Usage: bench/run-headless-bench.sh [BUILD_DIR] [SECONDS]    (defaults: build, 60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
portable="$build/portable"
emulator="$build/tools/display-emulator"
[ -x "$portable/tarquelonvist" ] || { echo "build first: $portable/tarquelonvist is missing" >&2; exit 1; }
[ -x "$emulator" ] || { echo "build first: $emulator is missing" >&2; exit 1; }

work=$(mktemp -d /tmp/tqv-bench-XXXXXX)
cleanup() {
  [ -n "${emu_pid:-}" ] && kill "$emu_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A portable copy with its own home and runtime folders, so the run touches nothing of the user's.
mkdir -p "$work/app" "$work/home" "$work/run"
chmod 700 "$work/run"
cp "$portable/tarquelonvist" "$work/app/"
[ -f "$portable/cpuidsdk.so" ] && cp "$portable/cpuidsdk.so" "$work/app/"

"$emulator" --idle-exit $(( (seconds + 30) * 1000 )) > "$work/emulator.out" &
emu_pid=$!
for _ in $(seq 100); do [ -s "$work/emulator.out" ] && break; sleep 0.05; done
pty=$(head -n 1 "$work/emulator.out")

env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    XDG_RUNTIME_DIR="$work/run" \
    /usr/bin/time -f '%e %U %S %M %w %c' -o "$work/time.out" \
    timeout --signal=TERM "$seconds" "$work/app/tarquelonvist" --headless --port "$pty" \
    > "$work/monitor.out" 2>&1 &
time_pid=$!

# Sample the monitor's own counters from /proc in the middle of its run (steady state, without
# start-up), summing over its threads.
sleep 5
pid=$(pgrep -f -n "$work/app/tarquelonvist" || true)
# CPU time in nanoseconds from schedstat (the tick-based counters are too coarse for a process
# that runs a fraction of a millisecond per second), wake-ups as context switches.
sample() {
  local ns=0 switches=0 task
  for task in /proc/"$pid"/task/*; do
    ns=$(( ns + $(awk '{print $1}' "$task/schedstat") ))
    switches=$(( switches + $(awk '/^voluntary_ctxt_switches|^nonvoluntary_ctxt_switches/ {s += $2} END {print s}' "$task/status") ))
  done
  echo "$ns $switches"
}
read -r ns0 sw0 < <(sample)
t0=$(date +%s.%N)
sleep $(( seconds - 10 ))
read -r ns1 sw1 < <(sample)
t1=$(date +%s.%N)
wait "$time_pid" || true

# GNU time's line is the last one (a line before it reports the exit status from timeout).
read -r wall user sys maxrss _vol _invol < <(tail -n 1 "$work/time.out")
frames=$(grep -c '^FRAME' "$work/emulator.out" || true)
awk -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$maxrss" \
    -v t0="$t0" -v t1="$t1" -v dns=$((ns1 - ns0)) \
    -v dsw=$((sw1 - sw0)) -v frames="$frames" 'BEGIN {
  dt = t1 - t0
  cpu_ms = (user + sys) * 1000
  steady_ms_per_min = dns / 1e6 / dt * 60
  printf "headless monitor, %.0f s with the display emulator (%d frames received)\n", wall, frames
  printf "  CPU time, whole run:      %.0f ms (%.0f ms per minute, %.3f %% of one core)\n", cpu_ms, cpu_ms / wall * 60, cpu_ms / wall / 10
  printf "  CPU time, steady state:   %.1f ms per minute (%.4f %% of one core)   target <= 30 ms\n", steady_ms_per_min, steady_ms_per_min / 600
  printf "  peak RSS:                 %.1f MB   target <= 15 MB\n", rss / 1024
  printf "  wake-ups, steady state:   %.2f per second (context switches, all threads)   target <= 2\n", dsw / dt
}'
