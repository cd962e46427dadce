#!/usr/bin/env bash
# Times `cp` of a 10 MiB file into a mounted image, and reading it back, on
# two geometries: NAND-like (2048-byte pages, 16 per cluster) and NOR-like
# (256-byte pages, 8 per cluster). Three runs each; the copy is checked
# byte for byte and the image with `dace check` after unmounting.
#   bench/mount_cp.sh [path/to/dace]   (default: the release build)
set -euo pipefail
cd "$(dirname "$0")/.."
dace=${1:-build/release/tools/dace}
if [ $# -eq 0 ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target dace_tool >/dev/null
fi
dace=$(realpath "$dace")
work=$(mktemp -d)
mnt="$work/m"
mkdir "$mnt"
cleanup() { fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

head -c $((10 * 1024 * 1024)) /dev/urandom > "$work/src.bin"
seconds() { date +%s.%N; }
# fusermount3 returns before the mount process ends; it lets go of the
# image's lock last.
unmount() { fusermount3 -u "$mnt"; flock -w 10 "$work/a.img" true; }
elapsed() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f", e - s }'; }

start=$(seconds); cp "$work/src.bin" "$work/plain.bin"; end=$(seconds)
echo "reference: cp of 10 MiB to a plain file in $work: $(elapsed "$start" "$end") s"
rm "$work/plain.bin"

for geometry in "2048 16 8192" "256 8 49152"; do
  set -- $geometry
  echo "geometry: $1-byte pages, $2 per cluster, $3 pages ($(( $1 * $3 / 1048576 )) MiB image)"
  for run in 1 2 3; do
    "$dace" format "$work/a.img" --pages "$3" --page-size "$1" --clus-pages "$2" --force >/dev/null
    "$dace" mount "$work/a.img" "$mnt"
    start=$(seconds); cp "$work/src.bin" "$mnt/big.bin"; end=$(seconds)
    write=$(elapsed "$start" "$end")
    unmount
    # Mounted afresh, so that the read comes from the image, not the page cache.
    "$dace" mount "$work/a.img" "$mnt"
    start=$(seconds); cmp "$work/src.bin" "$mnt/big.bin"; end=$(seconds)
    read=$(elapsed "$start" "$end")
    unmount
    "$dace" check "$work/a.img" >/dev/null
    echo "  run $run: cp 10 MiB in $write s ($(awk -v t="$write" 'BEGIN { printf "%.1f", 10 / t }') MiB/s)," \
         "read back (fresh mount) and compared in $read s; image checks clean"
  done
done
