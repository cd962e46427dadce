#!/usr/bin/env python3
"""What the library costs in a linked Cortex-M4 image.

    bench/target_size.py BUILD_DIR      (the cortex-m4 preset's build tree)

prints a markdown table: the linked logger example's .text/.data/.bss and the
library's share of it, object by object, from the linker map (after unused
sections were dropped). Exits 1 when the image holds anything of the heap or
the C++ runtime.
"""
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


def library_share(map_path):
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
                if k is None or "libdace.a(" not in obj or size == 0:
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


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/cortex-m4"
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

    nm = subprocess.run(["arm-none-eabi-nm", elf], check=True, capture_output=True, text=True).stdout
    bad = sorted({parts[-1] for parts in (l.split() for l in nm.splitlines()) if parts and FORBIDDEN.match(parts[-1])})
    if bad:
        print("image pulls in the heap or the C++ runtime: " + " ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
