#!/usr/bin/env python3
"""Worst-case stack of every public library call, from GCC's call graph.

    firmware/stack_bound.py BUILD_DIR [--read-only] [--machine MACHINE] [--limit BYTES] [--markdown]

BUILD_DIR is a cross build (cmake/arm-none-eabi.cmake) whose objects were
compiled with -fstack-usage -fcallgraph-info=su (firmware/CMakeLists.txt
does so). For each dace_* function that dace/dace.h declares it prints:

  library   the deepest chain of the library's own frames, the C library and
            compiler routines it calls included, with every call through a
            callback counted as 0 bytes;
  at call   the stack in use when the library enters a callback (add the
            callback's own stack to it);
  with cbs  the bound with the callbacks of the firmware check image.

Routines without call-graph information (memcpy, memset, division helpers,
longjmp) are bounded from their disassembly in the linked check image, and
every direct call that the disassembly shows is added to the graph too.

--machine runs the check image on that QEMU board, where each call runs on a
painted stack, and fails when a measured high-water mark exceeds its bound.
--limit fails when a library bound exceeds BYTES, and names its frame chain;
--warn-over only names such calls.
--read-only bounds the read-only build of the library (dace_read_only) with
the callbacks of the read-only image instead; its calls are not measured.
--markdown prints the table for the README instead. Exit status 77 when the
measurement was asked for but qemu-system-arm is missing (the bounds were
still checked).
"""
import argparse
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import board  # noqa: E402

INDIRECT = "__indirect_call"
CALLBACKS = ("nor_read", "nor_write", "nor_erase", "nor_crc", "nor_update")  # firmware/nor_callbacks.c
CHECK_IMAGE = "dace_fw_check"
# The read-only build: its library target, the image that links it and that
# image's callbacks (firmware/read_only_main.c).
READ_ONLY = {"library": "dace_read_only", "image": "dace_fw_read_only",
             "callbacks": ("ro_read", "ro_write", "ro_erase", "crc_bitwise", "ro_update")}
FULL = {"library": "dace", "image": CHECK_IMAGE, "callbacks": CALLBACKS}
# They set the stack pointer back to a frame further up (the check's power
# cut), so they use no stack beyond their caller's.
STACK_RESTORERS = ("longjmp",)


class Graph:
    def __init__(self):
        self.frame = {}  # title -> bytes
        self.edges = {}  # title -> set of titles
        self.names = {}  # bare symbol -> set of titles defining it
        self.shown = {}  # title -> readable name
        self.dynamic = set()

    def add_edge(self, src, dst):
        self.edges.setdefault(src, set()).add(dst)


def bare(title):
    return title.rsplit(":", 1)[-1] if ":" in title and not title.startswith("__") else title


def read_ci(graph, path):
    node = re.compile(r'^node: \{ title: "([^"]+)" label: "([^"]*)"')
    edge = re.compile(r'^edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
    with open(path) as f:
        for line in f:
            m = node.match(line)
            if m:
                title, label = m.groups()
                size = re.search(r"\\n(\d+) bytes \((static|dynamic[^)]*)\)", label)
                if size:
                    shown = re.match(r"^(?:.*[ *&])?([\w:{}~]+)\(", label.split("\\n")[0])
                    if shown and shown.group(1) != "constprop":
                        graph.shown[title] = shown.group(1).replace("{anonymous}::", "")
                    graph.frame[title] = int(size.group(1))
                    if size.group(2) != "static":
                        graph.dynamic.add(title)
                    graph.names.setdefault(bare(title), set()).add(title)
                continue
            m = edge.match(line)
            if m:
                graph.add_edge(m.group(1), m.group(2))


# ---- routines known only from the linked image --------------------------------

REG_LIST = re.compile(r"\{([^}]*)\}")


def count_regs(text):
    n = 0
    for part in REG_LIST.search(text).group(1).split(","):
        part = part.strip()
        m = re.match(r"([rsd])(\d+)-[rsd](\d+)$", part)
        if m:
            width = 8 if m.group(1) == "d" else 4
            n += (int(m.group(3)) - int(m.group(2)) + 1) * width
        elif part:
            n += 8 if part.startswith("d") else 4
    return n


def disassemble(elf):
    """Function name -> list of instruction texts of the linked image; every
    name of an address (aliases such as __aeabi_uidiv of __udivsi3) maps to
    the same code."""
    out = subprocess.run(["arm-none-eabi-objdump", "-d", "--no-show-raw-insn", elf], check=True,
                         capture_output=True, text=True).stdout
    by_address, current = {}, None
    for line in out.splitlines():
        m = re.match(r"^([0-9a-f]+) <([^>]+)>:$", line)
        if m:
            current = by_address.setdefault(int(m.group(1), 16), [])
            continue
        m = re.match(r"^\s+[0-9a-f]+:\s+(.*)$", line)
        if m and current is not None:
            current.append(m.group(1).split("@")[0].strip())
    symbols = subprocess.run(["arm-none-eabi-nm", elf], check=True, capture_output=True, text=True).stdout
    functions = {}
    for line in symbols.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TtWw":
            code = by_address.get(int(parts[0], 16) & ~1)
            if code is not None:
                functions[parts[2]] = code
    return functions


def stack_effect(insn):
    """Bytes an instruction takes from the stack; None when it is not a
    constant."""
    op = insn.split()[0] if insn else ""
    if op in ("push", "push.w", "vpush", "vpush.w") or (op.startswith(("stmdb", "vstmdb")) and insn.split()[1].startswith("sp!")):
        return count_regs(insn)
    m = re.match(r"^(sub|subs|sub\.w|subw)\s+sp,\s*(sp,\s*)?#(\d+)", insn)
    if m:
        return int(m.group(3))
    m = re.match(r"^(str|str\.w|strd|strb|strh)\s+.*\[sp, #-(\d+)\]!", insn)
    if m:
        return int(m.group(2))
    if re.match(r"^(mov|sub|sub\.w|add|add\.w)\s+sp,\s*(sp,\s*)?r\d+", insn):
        return None
    return 0


def direct_calls(insns, own):
    calls = set()
    for insn in insns:
        m = re.match(r"^(bl|b\.w|b)\s+[0-9a-f]+ <([^>+]+)>$", insn)
        if m and m.group(2) != own:
            calls.add(m.group(2))
    return calls


def complete_from_image(graph, functions, roots, problems):
    """Walks the graph from `roots`: adds every direct call that the linked
    image shows and the graph lacks, and bounds from their disassembly the
    routines that the graph names but does not define."""
    unique = {name: next(iter(titles)) for name, titles in graph.names.items() if len(titles) == 1}
    seen, pending = set(), list(roots)
    while pending:
        title = pending.pop()
        if title in seen or title == INDIRECT:
            continue
        seen.add(title)
        name = bare(title)
        insns = functions.get(name)
        if title not in graph.frame and name in STACK_RESTORERS:
            graph.frame[title] = 0
        elif title not in graph.frame:
            if insns is None:
                problems.append(f"{name}: no call-graph information and not in the image")
                insns = []
            total = 0
            for insn in insns:
                effect = stack_effect(insn)
                if effect is None:
                    problems.append(f"{name}: moves the stack pointer by a register ({insn})")
                    effect = 0
                total += effect
                if re.match(r"^blx?\s+r\d+", insn):
                    problems.append(f"{name}: calls through a register ({insn})")
            graph.frame[title] = total
        if insns is not None and unique.get(name) in (title, None):
            for callee in direct_calls(insns, name):
                graph.add_edge(title, unique.get(callee, callee))
        pending.extend(graph.edges.get(title, ()))


# ---- bounds ---------------------------------------------------------------------


def bound(graph, title, indirect_cost, memo, to_callback=False, stack=()):
    """(bytes, chain) of the deepest path from `title`, where a call through a
    callback costs indirect_cost. With to_callback, only paths that end in
    such a call count (None when there is none)."""
    if title in memo:
        return memo[title]
    if title in stack:
        raise ValueError("recursion: " + " -> ".join(bare(t) for t in stack + (title,)))
    if title == INDIRECT:
        memo[title] = (indirect_cost, ["(callback)"])
        return memo[title]
    best = None if to_callback else (0, [])
    for callee in sorted(graph.edges.get(title, ())):
        sub = bound(graph, callee, indirect_cost, memo, to_callback, stack + (title,))
        if sub is not None and (best is None or sub[0] > best[0]):
            best = sub
    if best is None:
        memo[title] = None
        return None
    frame = graph.frame.get(title, 0)
    result = (frame + best[0], [f"{graph.shown.get(title, bare(title))} {frame}"] + best[1])
    memo[title] = result
    return result


def public_calls():
    names = []
    with open(os.path.join(HERE, "..", "dace", "dace.h")) as f:
        for line in f:
            m = re.match(r"^(?!typedef|#)[A-Za-z_][\w \*]*?\b(dace_\w+)\(", line)
            if m and m.group(1) not in names:
                names.append(m.group(1))
    return names


def compute(build, variant=FULL):
    graph = Graph()
    image = variant["image"]
    # One library's frames only: the full and the read-only builds define the
    # same names.
    cis = (glob.glob(os.path.join(build, "dace", "CMakeFiles", variant["library"] + ".dir", "**", "*.ci"),
                     recursive=True) +
           glob.glob(os.path.join(build, "firmware", "CMakeFiles", image + ".dir", "**", "*.ci"), recursive=True))
    if variant is FULL:
        cis += glob.glob(os.path.join(build, "firmware", "CMakeFiles", "dace_board.dir", "**", "*.ci"), recursive=True)
    if not cis:
        raise SystemExit(f"no call-graph files (*.ci) under {build}: build it with the firmware/ folder first")
    for path in cis:
        read_ci(graph, path)
    problems = []
    calls = [(name, next(iter(graph.names[name]))) for name in public_calls() if graph.names.get(name)]
    callbacks = variant["callbacks"]
    callback_titles = [t for name in callbacks for t in graph.names.get(name, ())]
    if len(callback_titles) != len(callbacks):
        problems.append(f"not every callback of {image} ({' '.join(callbacks)}) is in the call graph")
    elf = os.path.join(build, "firmware", image + ".elf")
    complete_from_image(graph, disassemble(elf), [t for _, t in calls] + callback_titles, problems)
    lib_memo, entry_memo, cb_memo = {}, {}, {}
    cb_bound = max(bound(graph, t, 0, lib_memo)[0] for t in callback_titles) if callback_titles else 0
    rows = []
    for name, title in calls:
        if title in graph.dynamic:
            problems.append(f"{name}: a frame of dynamic size")
        lib = bound(graph, title, 0, lib_memo)
        entry = bound(graph, title, 0, entry_memo, to_callback=True)
        with_cb = bound(graph, title, cb_bound, cb_memo)
        rows.append({"name": name, "library": lib[0], "chain": lib[1], "entry": None if entry is None else entry[0],
                     "with_callbacks": with_cb[0]})
    return rows, problems, cb_bound


def measure(build, machine):
    status, out = board.run(machine, os.path.join(build, "firmware", CHECK_IMAGE + ".elf"))
    if status != 0:
        sys.stdout.write(out)
        raise SystemExit(f"the check image failed on {machine} (exit status {status})")
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"^stack (\w+) (\d+)$", out, re.M)}


def markdown(rows):
    lines = ["| call | library | stack when a callback runs |", "|---|---:|---:|"]
    for r in rows:
        entry = "-" if r["entry"] is None else str(r["entry"])
        lines.append(f"| `{r['name']}` | {r['library']} | {entry} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--read-only", action="store_true")
    parser.add_argument("--machine")
    parser.add_argument("--limit", type=int)
    parser.add_argument("--warn-over", type=int)
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()
    try:
        rows, problems, cb_bound = compute(args.build, READ_ONLY if args.read_only else FULL)
    except ValueError as e:
        print(f"no bound: {e}")
        return 1
    if args.markdown:
        print(markdown(rows))
        return 1 if problems else 0

    measured, skipped = {}, None
    if args.machine and not args.read_only:
        try:
            measured = measure(args.build, args.machine)
        except board.QemuMissing as e:
            skipped = str(e)
    failed = list(problems)
    print(f"{'call':24} {'library':>8} {'at call':>8} {'with cbs':>9} {'measured':>9}")
    for r in rows:
        got = measured.get(r["name"])
        entry = "-" if r["entry"] is None else r["entry"]
        print(f"{r['name']:24} {r['library']:8} {entry:>8} {r['with_callbacks']:9} {'-' if got is None else got:>9}")
        if args.limit is not None and r["library"] > args.limit:
            failed.append(f"{r['name']}: {r['library']} bytes, over the limit of {args.limit}: "
                          + " -> ".join(r["chain"]))
        if args.warn_over is not None and r["library"] > args.warn_over:
            print(f"note: {r['name']}: {r['library']} bytes, over {args.warn_over}: " + " -> ".join(r["chain"]))
        if got is not None and got > r["with_callbacks"]:
            failed.append(f"{r['name']}: measured {got} bytes, above its bound of {r['with_callbacks']}")
    print(f"deepest callback of {'the read-only image' if args.read_only else 'the check image'}: {cb_bound} bytes")
    if args.machine and not args.read_only and not skipped:
        print(f"measured on {args.machine}: {len(measured)} of {len(rows)} calls; the others never ran in the check")
        unknown = sorted(set(measured) - {r['name'] for r in rows})
        if unknown:
            failed.append("measured calls missing from the call graph: " + " ".join(unknown))
    for f in failed:
        print("FAIL: " + f)
    if failed:
        return 1
    if skipped:
        print(f"skipped the measurement: {skipped}")
        return board.SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
