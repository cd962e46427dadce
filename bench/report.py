#!/usr/bin/env python3
"""Runs the benchmarks of a built tree and writes the report.

    bench/report.py BUILD_DIR OUT_DIR

writes OUT_DIR/benchmarks.md (markdown tables) and OUT_DIR/mount-cost.svg;
bench/run calls it with build/release and docs. Needs only the standard
library; valgrind is used when it is installed. The figures per core of
docs/firmware.md are firmware/figures.py's.
"""
import csv
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def io_cost(build, tmp):
    csv_path = os.path.join(tmp, "mount.csv")
    out = run([os.path.join(build, "bench", "dace_io_cost"), "--mount-csv", csv_path])
    with open(csv_path, newline="") as f:
        points = list(csv.DictReader(f))
    return out, points


# The library before the mount, the write-out and allocation were reworked
# for flash cost; its figures are measured by building it beside this one.
BASELINE = "8227045"


def table_rows(markdown, which=0):
    """Header and rows (by first cell) of markdown table number `which`."""
    tables, rows, header = [], {}, None
    for line in markdown.splitlines() + [""]:
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if line.strip().startswith("|"):
            if header is None:
                header = cells
            elif not cells[1].startswith("---"):
                rows[cells[0]] = cells[1:]
        elif header is not None:
            tables.append((header, rows))
            rows, header = {}, None
    return tables[which] if which < len(tables) else ([], {})


def merge_before_now(now, before, which):
    """Table `which` of `now` with each column shown before and now."""
    header, rows_now = table_rows(now, which)
    _, rows_before = table_rows(before, which) if before else ([], {})
    lines = ["| " + header[0] + " | " + " | ".join(f"{h} before | {h} now" for h in header[1:]) + " |",
             "|---|" + "---:|" * (2 * (len(header) - 1))]
    for label, cells in rows_now.items():
        old = rows_before.get(label, ["-"] * len(cells))
        lines.append(f"| {label} | " + " | ".join(x for pair in zip(old, cells) for x in pair) + " |")
    return "\n".join(lines)


def baseline_flash_cost(tmp):
    """dace_flash_cost built on the BASELINE library, or None."""
    repo = os.path.dirname(HERE)
    tree = os.path.join(tmp, "baseline")
    if shutil.which("git") is None or subprocess.run(
            ["git", "-C", repo, "worktree", "add", "--detach", tree, BASELINE], capture_output=True).returncode != 0:
        return None
    try:
        # Its own bench_rig.h has the same helpers, written for its header.
        shutil.copy(os.path.join(HERE, "flash_cost.cpp"), os.path.join(tree, "bench"))
        with open(os.path.join(tree, "bench", "CMakeLists.txt"), "a") as f:
            f.write("add_executable(dace_flash_cost flash_cost.cpp)\n"
                    "target_link_libraries(dace_flash_cost PRIVATE dace dace_sim)\n")
        out = os.path.join(tree, "build")
        run(["cmake", "-S", tree, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DDACE_BUILD_TESTS=OFF",
             "-DDACE_BUILD_TOOLS=OFF"])
        run(["cmake", "--build", out, "--target", "dace_flash_cost"])
        # The baseline lacks calls that later tables measure (erases ahead,
        # wear levelling): those cells read "-" and the program exits 1, but
        # every table it could fill is there.
        done = subprocess.run([os.path.join(out, "bench", "dace_flash_cost")], capture_output=True, text=True)
        return done.stdout if "|" in done.stdout else None
    except (OSError, subprocess.CalledProcessError):
        return None
    finally:
        subprocess.run(["git", "-C", repo, "worktree", "remove", "--force", tree], capture_output=True)


def flash_cost(build, tmp):
    """The flash-cost table now and, where it can be built, at BASELINE."""
    now = run([os.path.join(build, "bench", "dace_flash_cost")])
    before = baseline_flash_cost(tmp)
    notes = [line for line in now.splitlines() if line and not line.startswith("|")]
    return (merge_before_now(now, before, 0), merge_before_now(now, before, 1) + "\n\n" + "\n".join(notes),
            before is not None)


def cpu_cost(build, tmp):
    exe = os.path.join(build, "bench", "dace_cpu_cost")
    if not os.path.exists(exe):
        return None
    json_path = os.path.join(tmp, "cpu.json")
    run([exe, "--benchmark_min_time=0.2", "--benchmark_repetitions=5",
         "--benchmark_out_format=json", "--benchmark_out=" + json_path])
    with open(json_path) as f:
        data = json.load(f)
    # The least time of the repetitions: other work on the host only ever
    # adds time, to either side of a ratio.
    fastest = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "iteration" and "error_occurred" not in b:
            best = fastest.get(b["run_name"])
            if best is None or b["cpu_time"] < best["cpu_time"]:
                fastest[b["run_name"]] = b
    return data["context"], fastest


def cpu_table(context, fastest):
    def t(name):
        b = fastest.get(name)
        return None if b is None else b["cpu_time"]

    rows = []
    for geo in ("nor", "nand"):
        for op, floor, what in (("write", "floor/write", "1 MiB in 4 KiB writes, closed"),
                                ("read", "floor/read", "1 MiB in 4 KiB reads"),
                                ("log", "floor/log", "one 64 B append + flush"),
                                ("mount", "floor/mount/" + geo, "mount, 90% full, 100 files")):
            lib = t(op + "/" + geo)
            base = t(floor)
            if lib is None or base is None:
                continue
            rows.append((geo, op, what, lib, base, lib / base))
    lines = ["| geometry | operation | what | library CPU µs | floor CPU µs | ratio |",
             "|---|---|---|---:|---:|---:|"]
    for geo, op, what, lib, base, ratio in rows:
        lines.append(f"| {geo} | {op} | {what} | {lib:.2f} | {base:.2f} | {ratio:.2f} |")
    cpu = context.get("host_name", "")
    desc = f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz"
    return "\n".join(lines), desc


def instr_cost(build, tmp):
    exe = os.path.join(build, "bench", "dace_instr_cost")
    if not os.path.exists(exe) or shutil.which("valgrind") is None:
        return None
    result = {}
    for phase in ("write", "floor-write", "read", "floor-read", "log", "floor-log", "mount"):
        out_file = os.path.join(tmp, "callgrind." + phase)
        stdout = run(["valgrind", "--tool=callgrind", "--toggle-collect=*measured_phase*",
                      "--callgrind-out-file=" + out_file, exe, phase])
        user_bytes = int(stdout.strip())
        instructions = None
        with open(out_file) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    instructions = int(line.split()[1])
        result[phase] = (instructions, user_bytes)
    return result


def instr_table(r):
    lines = ["| operation | instructions | user bytes | instructions/B | floor instructions/B | ratio |",
             "|---|---:|---:|---:|---:|---:|"]
    for op in ("write", "read", "log", "mount"):
        ins, n = r[op]
        floor = r.get("floor-" + op)
        per = ins / n
        if floor:
            fper = floor[0] / floor[1]
            lines.append(f"| {op} | {ins:,} | {n:,} | {per:.2f} | {fper:.2f} | {per / fper:.2f} |")
        else:
            lines.append(f"| {op} | {ins:,} | {n:,} (stored) | {per:.3f} | - | - |")
    return "\n".join(lines)


ICOUNT_SHIFT = 10  # 1024 ns of virtual time per instruction: 25.6 ticks of the board's 25 MHz timer
BOARD_OPS = (("mount_empty", "mount: the empty medium"),
             ("mount_used", "mount: a 1 MiB file and a 6,400-byte log"),
             ("write_4k", "4 KiB write (mean of 256 making a 1 MiB file)"),
             ("append_64_flush", "64-byte append + flush (mean of 100)"),
             ("read_4k", "4 KiB read (mean of 256)"),
             ("remove_1m", "remove: the 1 MiB file (257 clusters)"),
             ("remove_small", "remove: the log (2 clusters)"))


def board_cost(target):
    """Instructions per operation of the cost image on the Cortex-M4 board,
    or None when the image or qemu-system-arm is missing."""
    image = os.path.join(target, "firmware", "dace_fw_cost.elf")
    if not os.path.exists(image):
        return None
    sys.path.insert(0, os.path.join(HERE, "..", "firmware"))
    import board
    try:
        status, out = board.run("mps2-an386", image, icount=ICOUNT_SHIFT)
    except board.QemuMissing as e:
        print(f"on-board cost skipped: {e}", file=sys.stderr)
        return None
    if status != 0:
        raise SystemExit(f"{image} failed on the board:\n{out}")
    per_instruction = 2 ** ICOUNT_SHIFT / 40  # timer ticks (40 ns each)
    fields = {}
    for line in out.splitlines():
        parts = line.split()
        if parts and parts[0] in ("calibration", "op"):
            fields[parts[1] if parts[0] == "op" else "calibration"] = parts[1:] if parts[0] == "calibration" else parts[2:]
    empty = round(int(fields["calibration"][0]) / per_instruction)
    call_overhead = round(int(fields["calibration"][1]) / per_instruction) - 2
    rows = []
    for key, what in BOARD_OPS:
        repeats, ticks, cb_ticks, cb_calls = (int(v) for v in fields[key])
        total = ticks / per_instruction - repeats * empty
        callbacks = cb_ticks / per_instruction - cb_calls * call_overhead
        rows.append((what, total / repeats, (total - callbacks) / repeats, callbacks / repeats, cb_calls / repeats))
    return rows


def board_table(rows):
    lines = ["| operation | instructions | library | callbacks | callback calls |",
             "|---|---:|---:|---:|---:|"]
    for what, total, lib, cb, calls in rows:
        lines.append(f"| {what} | {total:,.0f} | {lib:,.0f} | {cb:,.0f} | {calls:,.1f} |")
    return "\n".join(lines)


def svg_plot(points, path):
    """Two panels: mount read traffic and host CPU against clusters, and
    against files and chain length. Log-scaled x, linear y."""
    import math

    series_colors = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd"]
    panels = [
        ("Mount vs clusters (NOR-like)", ["empty medium", "90% full, 32 files"], "clusters"),
        ("Mount vs directory (1024 clusters)", ["files, 1024 clusters 90% full", "one file, chain length"],
         "files / clusters per file"),
    ]
    width, height = 900, 380
    pw, ph = 360, 250
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="11">',
           f'<rect width="{width}" height="{height}" fill="white"/>']
    for pi, (title, names, xlabel) in enumerate(panels):
        x0, y0 = 70 + pi * 440, 40
        pts = {n: [(float(p["x"]), float(p["sim_ms"])) for p in points if p["series"] == n] for n in names}
        xs = [x for v in pts.values() for x, _ in v]
        ys = [y for v in pts.values() for _, y in v]
        if not xs:
            continue
        lx0, lx1 = math.log10(min(xs)), math.log10(max(xs))
        if lx1 == lx0:
            lx1 = lx0 + 1
        ymax = max(ys) * 1.1

        def sx(x):
            return x0 + (math.log10(x) - lx0) / (lx1 - lx0) * pw

        def sy(y):
            return y0 + ph - y / ymax * ph

        out.append(f'<text x="{x0 + pw / 2}" y="{y0 - 15}" text-anchor="middle" font-size="13">{title}</text>')
        out.append(f'<rect x="{x0}" y="{y0}" width="{pw}" height="{ph}" fill="none" stroke="#444"/>')
        for k in range(5):
            yv = ymax * k / 4
            out.append(f'<line x1="{x0}" y1="{sy(yv):.1f}" x2="{x0 + pw}" y2="{sy(yv):.1f}" stroke="#ddd"/>')
            out.append(f'<text x="{x0 - 5}" y="{sy(yv) + 4:.1f}" text-anchor="end">{yv:.0f}</text>')
        for x in sorted(set(xs)):
            out.append(f'<text x="{sx(x):.1f}" y="{y0 + ph + 15}" text-anchor="middle">{x:g}</text>')
        out.append(f'<text x="{x0 + pw / 2}" y="{y0 + ph + 32}" text-anchor="middle">{xlabel} (log scale)</text>')
        out.append(f'<text x="{x0 - 45}" y="{y0 + ph / 2}" text-anchor="middle" '
                   f'transform="rotate(-90 {x0 - 45} {y0 + ph / 2})">simulated mount time, ms</text>')
        for si, name in enumerate(names):
            color = series_colors[si]
            v = sorted(pts[name])
            path_d = " ".join(f"{'M' if i == 0 else 'L'}{sx(x):.1f},{sy(y):.1f}" for i, (x, y) in enumerate(v))
            out.append(f'<path d="{path_d}" fill="none" stroke="{color}" stroke-width="2"/>')
            for x, y in v:
                out.append(f'<circle cx="{sx(x):.1f}" cy="{sy(y):.1f}" r="3" fill="{color}"/>')
            out.append(f'<rect x="{x0 + 10}" y="{y0 + 10 + si * 16}" width="10" height="10" fill="{color}"/>')
            out.append(f'<text x="{x0 + 25}" y="{y0 + 19 + si * 16}">{name}</text>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        print("I/O cost ...", file=sys.stderr)
        io_text, points = io_cost(build, tmp)
        print("flash cost, now and at the baseline ...", file=sys.stderr)
        flash_table, flash_rest, have_baseline = flash_cost(build, tmp)
        print("CPU per byte (Google Benchmark) ...", file=sys.stderr)
        cpu = cpu_cost(build, tmp)
        print("instructions per byte (callgrind) ...", file=sys.stderr)
        instr = instr_cost(build, tmp)
    svg_plot(points, os.path.join(out_dir, "mount-cost.svg"))

    doc = ["# Benchmarks", "",
           "Written by `bench/run` (release build; rerun it to refresh: a few minutes on two cores, valgrind",
           "and Google Benchmark included, Debian packages that `.ci/install-deps` installs). All I/O",
           "figures come from the medium simulator, so they are exact and repeatable; CPU times are from",
           "this host. The stack and code size per Cortex-M core are in [firmware.md](firmware.md).", "",
           "## I/O cost per workload", "",
           "`build/release/bench/dace_io_cost` (timings: `--prog-us-per-page`, `--erase-ms-per-cluster`,",
           "`--read-mb-per-s`, `--call-us`; geometry: `--page-size`, `--clus-pages`, `--total-pages`).",
           "The NAND-like geometry has 16 pages per cluster: 32 pages of 2048 bytes would make a 64 KiB",
           "cluster, one byte more than a cluster size can be. Both geometries use the SPI-NOR timings",
           "unless given others. A write to a fresh medium reads each new cluster once, to prove it",
           "erased before it is programmed (rule 4 of [storage-format.md](storage-format.md)): hence the",
           "bytes read by the write workloads.", "",
           io_text.rstrip(), "",
           "![mount cost](mount-cost.svg)", "",
           "## Flash cost of firmware workloads, before and now", "",
           "`build/release/bench/dace_flash_cost`: boot, records flushed one by one, their wear and a settings",
           "file replaced by rename, on three geometries (A = 256-byte pages x 8 per cluster x 2048",
           "clusters, B = 256 x 16 x 1024, C = 2048 x 16 x 512), each from a fresh medium. "
           + (f"\"Before\" is the same program built on the library as of commit {BASELINE}, before the "
              "mount stopped reading free space, write-outs stopped programming blank pages, a full newest "
              "cluster stopped moving and wear levelling came." if have_baseline
              else "The baseline could not be built here (it needs git and the repository's history)."),
           "", flash_table, "", flash_rest, ""]
    if cpu is not None:
        context, fastest = cpu
        table, desc = cpu_table(context, fastest)
        doc += ["## CPU per byte beside the floor", "",
                "`build/release/bench/dace_cpu_cost` (Google Benchmark, least of 5 repetitions). The floor is what no",
                "implementation can beat on this host: the same user bytes through `memcpy` plus the same",
                "CRC-16 (reads check no CRC, so their floor is the copy alone; the mount's floor copies the",
                "bytes that mount reads and checks the bytes it checks). Both sides include the simulator's",
                "callbacks, so the ratio is the library's own overhead on top of moving and checking bytes.",
                "Times are the process's CPU time, least of 5 repetitions: on a shared host, wall time also",
                "counts the waits for a core. Writes are bound by the byte-at-a-time CRC on both sides.",
                f"Host: {platform.machine()}, {desc}.", "", table, ""]
    if instr is not None:
        doc += ["## Instructions per byte (callgrind)", "",
                "`valgrind --tool=callgrind --toggle-collect='*measured_phase*' build/release/bench/dace_instr_cost PHASE`",
                "counts the instructions of one phase on the NOR-like geometry (4 KiB clusters, 1024 of them),",
                "callbacks included; repeatable on a busy machine. The mount divides by the bytes stored.",
                "PHASE is `write`, `read`, `log` or `mount`, or the floor of one: `floor-write`, `floor-read`,",
                "`floor-log`.", "",
                instr_table(instr), ""]
    target = os.path.join(os.path.dirname(build), "cortex-m4")
    if os.path.exists(os.path.join(target, "examples", "dace_spi_nor_logger.elf")):
        doc += ["## Code size on a Cortex-M4", "",
                "`python3 bench/target_size.py build/cortex-m4`: the C example linked at -Os with",
                "`-ffunction-sections -fdata-sections -Wl,--gc-sections`, newlib-nano; the library's share",
                "from the linker map (only what the example calls is kept).", "",
                run([sys.executable, os.path.join(HERE, "target_size.py"), target]).rstrip(), ""]
    board = board_cost(target)
    if board is not None:
        doc += ["## Instructions per operation on a Cortex-M4 (QEMU mps2-an386)", "",
                f"`firmware/op_cost.c` in `build/cortex-m4/firmware/dace_fw_cost.elf`, run under",
                f"`qemu-system-arm -M mps2-an386 -icount shift={ICOUNT_SHIFT}`: each instruction takes 2^{ICOUNT_SHIFT} ns of",
                "virtual time, so the board's timer counts instructions, the same on every host. Library",
                "at -Os, the NOR-like geometry above (256-byte pages, 4 KiB clusters, 4 MiB), 4 open files.",
                "The workload runs twice: the callbacks called directly give each operation's whole count;",
                "with each callback timed, their share. The callbacks are those of memory-mapped flash:",
                "reads a memcpy, programs a byte loop that clears bits, erases a memset, the CRC-16 a byte",
                "at a time from a 512-byte table; with a real SPI part the callbacks' share is the driver's.",
                "The harness's own instructions around each operation and each callback are taken off.", "",
                board_table(board), ""]
    improvements = os.path.join(HERE, "improvements.md")
    if os.path.exists(improvements):
        with open(improvements) as f:
            doc += [f.read().rstrip(), ""]
    with open(os.path.join(out_dir, "benchmarks.md"), "w") as f:
        f.write("\n".join(doc))
    print(f"wrote {out_dir}/benchmarks.md and {out_dir}/mount-cost.svg", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
