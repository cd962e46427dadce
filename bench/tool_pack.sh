#!/usr/bin/env bash
# Times `dace pack` on a folder of 1,000 files of 1 KiB to 64 KiB (sizes and
# contents from a fixed seed) on NAND-like pages: 2048 bytes, 16 per cluster.
#   bench/tool_pack.sh [path/to/dace]   (default: the release build)
set -euo pipefail
cd "$(dirname "$0")/.."
dace=${1:-build/release/tools/dace}
if [ $# -eq 0 ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target dace_tool >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work/src" <<'PY'
import os, random, sys
folder = sys.argv[1]
os.makedirs(folder)
rng = random.Random(1000)
for i in range(1000):
    size = rng.randint(1024, 65536)
    with open(os.path.join(folder, f"asset{i:04}.bin"), "wb") as f:
        f.write(rng.randbytes(size))
PY
bytes=$(du -sb --apparent-size "$work/src" | cut -f1)
echo "folder: 1000 files, $bytes bytes"
export SOURCE_DATE_EPOCH=1700000000
start=$(date +%s.%N)
"$dace" --page-size 2048 --clus-pages 16 pack "$work/src" "$work/a.img"
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v size="$(stat -c %s "$work/a.img")" \
  'BEGIN { printf "pack: %.2f s, image %d bytes\n", e - s, size }'
"$dace" pack "$work/src" "$work/b.img" --page-size 2048 --clus-pages 16
cmp "$work/a.img" "$work/b.img" && echo "second pack: byte-identical"
