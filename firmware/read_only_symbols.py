#!/usr/bin/env python3
"""The read-only build holds every reading call and nothing that writes.

    firmware/read_only_symbols.py LIBDACE_READ_ONLY.a

reads the archive's symbols (arm-none-eabi-nm) and fails when it defines a
call that programs, erases or commits, or a building block of those, or
lacks one of the reading calls that dace/dace.h promises it.
"""
import re
import subprocess
import sys

READING = ("dace_mount", "dace_open", "dace_read", "dace_seek", "dace_tell", "dace_feof", "dace_close",
           "dace_stat", "dace_statf", "dace_find_file", "dace_opendir", "dace_readdir", "dace_getfreespace",
           "dace_verify_reads", "dace_error", "dace_init_error", "dace_check_config", "dace_getstatesize")
WRITING = ("dace_init", "dace_format", "dace_create", "dace_write", "dace_flush", "dace_flush_impl",
           "dace_remove", "dace_rename", "dace_rename_replace", "dace_truncate", "dace_erase_ahead",
           "dace_level_wear", "dace_commit_root", "dace_commit_clus", "dace_alloc_clus", "dace_reopen_root",
           "dace_copy_entries", "dace_fill_root", "dace_clear_unused_data")
# Internal routines (C++ names, demangled) that reach write_fn or erase_fn,
# or allocate and commit.
WRITING_INTERNAL = re.compile(r"^dace::(program_pages|erase_cluster|take_cluster|commit_root|commit_cluster|"
                              r"release_cluster|stage_root|flush_slot|erase_ahead)\(")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    out = subprocess.run(["arm-none-eabi-nm", "--defined-only", "-C", sys.argv[1]], check=True,
                         capture_output=True, text=True).stdout
    defined = set()
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] in "TtWw":
            defined.add(parts[2])
    problems = [f"defines {name}, which writes" for name in WRITING if name in defined]
    problems += [f"defines {name}, which writes" for name in sorted(defined) if WRITING_INTERNAL.match(name)]
    problems += [f"lacks {name}" for name in READING if name not in defined]
    for p in problems:
        print("FAIL: the read-only build " + p)
    if not problems:
        print(f"the read-only build holds the {len(READING)} reading calls and nothing that writes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
