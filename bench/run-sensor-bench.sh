#!/bin/sh
# The sensor cycle benchmark: one monitor cycle's sensor work (five RefreshReadings through the
# sensor hub and cpuidsdk.so) on the Intel and AMD fixture machines, against the same values read
# the way a psutil-based monitor reads them (python3-psutil), in one run. Prints both costs per
# cycle and their ratio. Targets: at most 100 us of processor time per cycle, at least 50 times
# cheaper than the psutil reader.
#
# Usage: bench/run-sensor-bench.sh [BUILD_DIR]   (default: build; builds what it needs)
# Needs root: the fixtures are mounted over /sys in a private mount namespace, because
# libsensors reads /sys itself.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
case $build in /*) ;; *) build="$here/$build" ;; esac

if [ "$(id -u)" != 0 ]; then
    echo "run-sensor-bench: needs root (fixture machines are mounted over /sys in a private mount namespace)" >&2
    exit 77
fi
if ! /usr/bin/python3 -c 'import psutil' 2>/dev/null && ! python3 -c 'import psutil' 2>/dev/null; then
    echo "run-sensor-bench: python3-psutil is missing (tools/install-deps.sh installs it)" >&2
    exit 1
fi
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target sensor_cycle_bench cpuidsdk tqv_fake_nvml >/dev/null
exec "$build/bench/sensor_cycle_bench" --benchmark_counters_tabular=true
