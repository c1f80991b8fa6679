#!/usr/bin/env bash
# Installs from Debian's packages whatever building, running and testing TARQUELONVIST needs.
# Idempotent: asks apt for nothing when every package is already there, and refreshes the
# package lists at most once per run. Uses sudo when not run as root.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-dev llvm
  # libraries the program links
  qt6-base-dev qt6-svg-dev libqt6svg6
  libhidapi-dev libsensors-dev libudev-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-psutil xvfb xauth util-linux procps time
  libglib2.0-bin
  # run time: the label font, the PCI id database
  fonts-noto-cjk pci.ids
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
