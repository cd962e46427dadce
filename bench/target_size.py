#!/usr/bin/env python3
"""What the library costs in a linked Cortex-M4 image.

    bench/target_size.py BUILD_DIR [--max-full BYTES] [--max-read-only BYTES]
                                        (BUILD_DIR: the cortex-m4 preset's tree)

prints a markdown table: the linked logger example's .text/.data/.bss and the
library's share of it, object by object, from the linker map (after unused
sections were dropped); then the read-only build's share of the bootloader
image (firmware/read_only_main.c, every reading call). Exits 1 when the
example holds anything of the heap or the C++ runtime, or when a share of
.text is over its --max-* limit.
"""
import argparse
import os
import re
import subprocess
import sys

FORBIDDEN = re.compile(r"^(malloc|free|calloc|realloc|_sbrk|_malloc_r|_free_r|__cxa_\w+|_Unwind_\w+|"
                       r"__gxx_personality\w*|_Znw\w*|_Zna\w*|_Zdl\w*|_Zda\w*|__aeabi_unwind\w*)$")


def kind(section):
    if section.startswith((".text", ".rodata")):
        return "text"
    if section.startswith(".data"):
        return "data"
    if section.startswith(".bss") or section.startswith("COMMON"):
        return "bss"
    return None


def library_share(map_path, archive="libdace.a"):
    per_object = {}
    in_map = False
    pending = None
    with open(map_path) as f:
        for line in f:
            if line.startswith("Linker script and memory map"):
                in_map = True
                continue
            if not in_map:
                continue
            m = re.match(r"^ (\S+)\s*$", line)
            if m:
                pending = m.group(1)
                continue
            m = re.match(r"^ (\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)$", line)
            if m:
                section = m.group(1) or pending
                pending = None
                obj = m.group(4)
                size = int(m.group(3), 16)
                k = kind(section or "")
                if k is None or os.path.basename(obj.split("(")[0]) != archive or size == 0:
                    continue
                name = obj.split("(")[1].rstrip(")")
                per_object.setdefault(name, {"text": 0, "data": 0, "bss": 0})[k] += size
            else:
                pending = None
    return per_object


def image_size(elf):
    """(.text, .data, .bss) of a linked image."""
    size = subprocess.run(["arm-none-eabi-size", elf], check=True, capture_output=True, text=True).stdout
    text, data, bss = (int(v) for v in size.splitlines()[1].split()[:3])
    return text, data, bss


def text_of(share):
    return sum(s["text"] for s in share.values())


def read_only_share(build):
    """The read-only library's objects in the bootloader image, or None when
    the tree has no such image."""
    map_path = os.path.join(build, "firmware", "dace_fw_read_only.map")
    return library_share(map_path, "libdace_read_only.a") if os.path.exists(map_path) else None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?", default="build/cortex-m4")
    parser.add_argument("--max-full", type=int, help="fail when the library's .text in the example is larger")
    parser.add_argument("--max-read-only", type=int, help="fail when the read-only library's .text is larger")
    args = parser.parse_args()
    build = args.build
    elf = os.path.join(build, "examples", "dace_spi_nor_logger.elf")
    map_path = os.path.join(build, "examples", "dace_spi_nor_logger.map")
    text, data, bss = image_size(elf)
    share = library_share(map_path)
    print("| linked image (Cortex-M4, -Os, gc-sections) | .text | .data | .bss |")
    print("|---|---:|---:|---:|")
    for name in sorted(share):
        s = share[name]
        print(f"| libdace: {name} | {s['text']} | {s['data']} | {s['bss']} |")
    total = {k: sum(s[k] for s in share.values()) for k in ("text", "data", "bss")}
    print(f"| **libdace total** | **{total['text']}** | **{total['data']}** | **{total['bss']}** |")
    print(f"| whole logger example (driver, CRC, C start-up, state block in .bss) | {text} | {data} | {bss} |")
    read_only = read_only_share(build)
    if read_only is not None:
        ro = {k: sum(s[k] for s in read_only.values()) for k in ("text", "data", "bss")}
        print(f"| **read-only libdace in the bootloader image** | **{ro['text']}** | **{ro['data']}** | **{ro['bss']}** |")

    over = []
    if args.max_full is not None and total["text"] > args.max_full:
        over.append(f"the library's .text in the example is {total['text']} bytes, over {args.max_full}")
    if args.max_read_only is not None:
        if read_only is None:
            over.append(f"no read-only image in {build}/firmware to measure")
        elif text_of(read_only) > args.max_read_only:
            over.append(f"the read-only library's .text is {text_of(read_only)} bytes, over {args.max_read_only}")

    nm = subprocess.run(["arm-none-eabi-nm", elf], check=True, capture_output=True, text=True).stdout
    bad = sorted({parts[-1] for parts in (l.split() for l in nm.splitlines()) if parts and FORBIDDEN.match(parts[-1])})
    if bad:
        print("image pulls in the heap or the C++ runtime: " + " ".join(bad), file=sys.stderr)
        return 1
    for o in over:
        print("FAIL: " + o, file=sys.stderr)
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
