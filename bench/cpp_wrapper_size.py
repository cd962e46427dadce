#!/usr/bin/env python3
"""What the C++ layer, dace/dace.hpp, costs in code on a Cortex-M.

    bench/cpp_wrapper_size.py BUILD_DIR [--limit BYTES]

BUILD_DIR is a cross build with its examples (build/cortex-m4 of the
cortex-m4 preset). Two images there hold the same logger linked alike (-Os,
--gc-sections, newlib-nano, the placeholder SPI-NOR driver): the C++ example
on dace.hpp (examples/cpp_logger.cpp) and its twin on the C calls
(bench/cpp_logger_c_calls.cpp), with the same steps, checks and reasons. The
difference of their .text is what the layer costs. Prints a markdown table,
with the C example beside them for scale.

Exits 1 when the layer costs more than BYTES, or when the C++ image holds
anything of the heap, exceptions or the C++ runtime.
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import target_size  # noqa: E402  (the linker-map reading and the run-time symbols CI refuses)

IMAGES = [
    ("dace_cpp_logger", "C++ logger on `dace/dace.hpp` (`examples/cpp_logger.cpp`)"),
    ("dace_cpp_logger_c_calls", "the same logger on the C calls (`bench/cpp_logger_c_calls.cpp`)"),
    ("dace_spi_nor_logger", "for scale: the C example (`examples/spi_nor_logger.c`)"),
]


def measure(build, name):
    """(.text of the whole image, the library's share) of examples/NAME.elf."""
    base = os.path.join(build, "examples", name)
    text = target_size.image_size(base + ".elf")[0]
    library = sum(s["text"] for s in target_size.library_share(base + ".map").values())
    return text, library


def runtime_symbols(elf):
    nm = subprocess.run(["arm-none-eabi-nm", elf], check=True, capture_output=True, text=True).stdout
    return sorted({p[-1] for p in (line.split() for line in nm.splitlines()) if p and target_size.FORBIDDEN.match(p[-1])})


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?", default="build/cortex-m4")
    parser.add_argument("--limit", type=int, help="fail when dace.hpp costs more than this many bytes")
    args = parser.parse_args()

    sizes = {name: measure(args.build, name) for name, _ in IMAGES}
    print("| linked image (-Os, gc-sections) | libdace .text | whole image .text |")
    print("|---|---:|---:|")
    for name, label in IMAGES[:2]:
        text, library = sizes[name]
        print(f"| {label} | {library} | {text} |")
    (cpp_text, cpp_library), (c_text, c_library) = sizes[IMAGES[0][0]], sizes[IMAGES[1][0]]
    cost = cpp_text - c_text
    print(f"| **what `dace.hpp` costs** | **{cpp_library - c_library}** | **{cost}** |")
    text, library = sizes[IMAGES[2][0]]
    print(f"| {IMAGES[2][1]} | {library} | {text} |")

    status = 0
    if args.limit is not None and cost > args.limit:
        print(f"dace.hpp costs {cost} bytes of code, more than {args.limit}", file=sys.stderr)
        status = 1
    bad = runtime_symbols(os.path.join(args.build, "examples", IMAGES[0][0] + ".elf"))
    if bad:
        print("the C++ image pulls in the heap or the C++ runtime: " + " ".join(bad), file=sys.stderr)
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
