#!/usr/bin/env python3
"""Runs a firmware image on an emulated MPS2 board (qemu-system-arm).

    firmware/board.py --machine mps2-an386 IMAGE.elf [--icount SHIFT] [--expect TEXT]

prints what the image printed and exits with the image's exit status; 1 when
the status is 0 but TEXT is missing from the output, 77 (a skipped test)
when qemu-system-arm is not installed. The other scripts import run().
"""
import argparse
import shutil
import subprocess
import sys

SKIPPED = 77
QEMU = "qemu-system-arm"


class QemuMissing(Exception):
    pass


def run(machine, image, icount=None, timeout=900):
    """Runs `image` to its end; returns (exit status, console output)."""
    qemu = shutil.which(QEMU)
    if qemu is None:
        raise QemuMissing(f"{QEMU} not found (Debian: qemu-system-arm, which .ci/install-deps installs)")
    cmd = [qemu, "-M", machine, "-display", "none", "-monitor", "none", "-serial", "null",
           "-semihosting-config", "enable=on,target=native", "-kernel", image]
    if icount is not None:
        # Every instruction takes 2^SHIFT ns of virtual time, whatever the host does.
        cmd[1:1] = ["-icount", f"shift={icount},align=off,sleep=off"]
    try:
        done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        out = e.stdout if isinstance(e.stdout, str) else (e.stdout or b"").decode(errors="replace")
        return 124, out + f"\n{image}: still running after {timeout} s\n"
    return done.returncode, done.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image")
    parser.add_argument("--machine", required=True)
    parser.add_argument("--icount", type=int)
    parser.add_argument("--expect")
    args = parser.parse_args()
    try:
        status, out = run(args.machine, args.image, args.icount)
    except QemuMissing as e:
        print(f"skipped: {e}")
        return SKIPPED
    sys.stdout.write(out)
    if status == 0 and args.expect and args.expect not in out:
        print(f"exit status 0, but the output lacks: {args.expect}")
        return 1
    if status != 0:
        print(f"{args.image} on {args.machine}: exit status {status}")
    return status


if __name__ == "__main__":
    sys.exit(main())
