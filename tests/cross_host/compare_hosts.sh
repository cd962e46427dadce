#!/usr/bin/env bash
# The fixed volume (fixed_volume.cpp) written on two hosts of opposite byte
# order: both images must be the same byte for byte, and each build must
# read, and go on writing to, the image the other wrote.
#   tests/cross_host/compare_hosts.sh [LITTLE_BUILD [BIG_BUILD]]
# defaults: build/default and build/big-endian (cmake --workflow --preset
# default, and --preset big-endian).
set -euo pipefail
cd "$(dirname "$0")/../.."
little=${1:-build/default}
big=${2:-build/big-endian}

# Each build's program, through the emulator where the build is a cross
# build (tests/cross_host/CMakeLists.txt writes the script).
run_little=$little/tests/cross_host/run_fixed_volume
run_big=$big/tests/cross_host/run_fixed_volume

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$run_little write "$work/little.img"
$run_big write "$work/big.img"
# Each build checks the other's image even when they differ: its report
# names the first structure that does.
status=0
if cmp "$work/little.img" "$work/big.img"; then
  echo "the images are the same byte for byte ($(stat -c %s "$work/little.img") bytes)"
else
  status=1
fi
$run_little check "$work/big.img" || status=1
$run_big check "$work/little.img" || status=1
exit $status
