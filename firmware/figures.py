#!/usr/bin/env python3
"""The figures for microcontrollers, from the cross builds.

    firmware/figures.py [--into docs/firmware.md]

reads build/cortex-m4, build/cortex-m0plus (stack bounds) and every
build/cortex-m* preset tree (code size of the linked C example), prints
the tables, and with --into puts them into that file between its figure
markers (docs/firmware.md, "Stack and code size per core"). bench/run
builds the trees and calls this.
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "bench"))
import stack_bound  # noqa: E402
import target_size  # noqa: E402

BEGIN = "<!-- microcontroller figures: written by firmware/figures.py (bench/run) -->"
END = "<!-- end of microcontroller figures -->"
STACK_CORES = (("cortex-m4", "Cortex-M4"), ("cortex-m0plus", "Cortex-M0+"))
SIZE_CORES = (("cortex-m4", "Cortex-M4"), ("cortex-m4f", "Cortex-M4F, hard-float ABI"),
              ("cortex-m3", "Cortex-M3"), ("cortex-m0plus", "Cortex-M0+"), ("cortex-m33", "Cortex-M33"))


def build_dir(preset):
    return os.path.join(ROOT, "build", preset)


def stack_table():
    bounds = {}
    for preset, _ in STACK_CORES:
        rows, problems, _ = stack_bound.compute(build_dir(preset))
        if problems:
            raise SystemExit(f"{preset}: " + "; ".join(problems))
        bounds[preset] = {r["name"]: r for r in rows}
    names = list(bounds[STACK_CORES[0][0]])
    head = "| call | " + " | ".join(f"{label} | when a callback runs" for _, label in STACK_CORES) + " |"
    lines = [head, "|---|" + "---:|---:|" * len(STACK_CORES)]
    for name in names:
        cells = []
        for preset, _ in STACK_CORES:
            r = bounds[preset].get(name)
            cells += ["-", "-"] if r is None else [str(r["library"]), "-" if r["entry"] is None else str(r["entry"])]
        lines.append(f"| `{name}` | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def size_table():
    lines = ["| core (preset) | library .text in the example | the whole library's .text | whole example .text "
             "| read-only build in the bootloader image |",
             "|---|---:|---:|---:|---:|"]
    for preset, label in SIZE_CORES:
        d = build_dir(preset)
        elf = os.path.join(d, "examples", "dace_spi_nor_logger.elf")
        if not os.path.exists(elf):
            continue
        share = target_size.library_share(os.path.join(d, "examples", "dace_spi_nor_logger.map"))
        library = sum(s["text"] for s in share.values())
        text = target_size.image_size(elf)[0]
        archive = subprocess.run(["arm-none-eabi-size", "-t", os.path.join(d, "dace", "libdace.a")], check=True,
                                 capture_output=True, text=True).stdout
        whole = int(archive.strip().splitlines()[-1].split()[0])
        read_only = target_size.read_only_share(d)
        ro = "-" if read_only is None else f"{target_size.text_of(read_only):,}"
        lines.append(f"| {label} (`{preset}`) | {library:,} | {whole:,} | {text:,} | {ro} |")
    return "\n".join(lines)


def figures():
    return "\n".join([
        "Worst-case stack per call, in bytes, from the call graph of the -Os build: the library's",
        "own frames and the C library routines it calls (memcpy, memset, division helpers); add",
        "the deepest of your callbacks to the second figure of each core.", "",
        stack_table(), "",
        "Code size of the C example linked at -Os with `--gc-sections` (newlib-nano): the",
        "library's share, from the linker map; all of the library (every call, as `libdace.a`",
        "holds it); the whole image; and the read-only build's share of the bootloader image",
        "(`firmware/read_only_main.c`, which uses every reading call).", "",
        size_table()])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--into", metavar="FILE", help="the markdown file whose figure markers take the tables")
    args = parser.parse_args()
    text = figures()
    if not args.into:
        print(text)
        return 0
    with open(args.into) as f:
        doc = f.read()
    if BEGIN not in doc or END not in doc:
        raise SystemExit(f"{args.into} lacks the figure markers")
    head, rest = doc.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(args.into, "w") as f:
        f.write(head + BEGIN + "\n" + text + "\n" + END + tail)
    print(f"wrote the microcontroller figures into {args.into}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
