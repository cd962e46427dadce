"""Images shared with the dace tool: written by one, read by the other;
pack, unpack, check and map as the tool does them; detection and saving."""
import errno
import json
import os
import random
import subprocess
import sys

import pytest

import libdace


# Locks the access byte and the mount mark of an image, as a dace mount does.
HOLD_AS_A_MOUNT = """
import fcntl, sys, time
f = open(sys.argv[1], "r+b")
fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 2, 0)
print("held", flush=True)
time.sleep(60)
"""


def data(n, seed=1):
    return random.Random(seed).randbytes(n)


def as_older_writer(raw, page_size=64, clus_pages=4, crc="1021-msb", seed=0xFFFF):
    """The image as a writer that recorded no volume size leaves it: 0 in
    every root copy's cluster count and version, its header CRC recomputed."""
    raw = bytearray(raw)
    cluster = page_size * clus_pages
    for base in range(0, len(raw) - cluster + 1, cluster):
        page = 0
        while page < clus_pages:
            at = base + page * page_size
            if raw[at:at + 4] != (0xDACE8007).to_bytes(4, "little"):
                break
            raw[at + 16:at + 20] = bytes(4)
            raw[at + 28:at + 30] = libdace.crc(crc, bytes(raw[at:at + 28]), seed).to_bytes(2, "little")
            page += max(int.from_bytes(raw[at + 14:at + 16], "little"), 1)
    return bytes(raw)


class TestRoundTrips:
    def test_an_image_written_in_python_reads_back_with_the_tool(self, tool, tmp_path):
        image = libdace.Image(
            total_pages=512, page_size=128, clus_pages=4, crc="8005-lsb", crc_seed=0x1234
        )
        files = {"boot.cfg": b"mode=1\n", "é.bin": data(2000), "empty": b""}
        for name, content in files.items():
            image.write_file(name, content)
        path = tmp_path / "py.img"
        image.save(path)

        info = json.loads(tool("info", "--json", path).stdout)
        assert (info["page_size"], info["clus_pages"], info["crc"], info["crc_seed"]) == (
            128,
            4,
            "8005-lsb",
            0x1234,
        )
        listed = json.loads(tool("ls", "--json", path).stdout)
        assert [(e["name"], e["size"]) for e in listed] == [(n, len(c)) for n, c in files.items()]
        assert [e["stamp"] for e in listed] == [image.stat(n).stamp for n in files]
        for name, content in files.items():
            assert tool("cat", path, name).stdout == content
        tool("check", path)

    def test_an_image_the_tool_wrote_reads_back_in_python(self, tool, tmp_path):
        path = tmp_path / "tool.img"
        tool("format", path, "--pages", 1024, "--page-size", 64, "--clus-pages", 8,
             "--crc", "1021-lsb", "--crc-seed", 0xBEEF)
        src = tmp_path / "src.bin"
        src.write_bytes(data(3000))
        os.utime(src, ns=(1_600_000_000_123_456_789, 1_600_000_000_123_456_789))
        tool("put", path, src, "data")
        tool("put", path, src, "other")
        tool("mv", path, "other", "renamed")
        tool("truncate", path, "renamed", 10)

        image = libdace.Image.from_file(path)
        assert image.params["crc"] == "1021-lsb" and image.params["crc_seed"] == 0xBEEF
        assert "CRC" in image.detected
        assert image.listdir() == ["data", "renamed"]
        assert image.read_file("data") == data(3000)
        assert image.read_file("renamed") == data(3000)[:10]
        assert image.stat("data").stamp == 1_600_000_000_123_456_789

        # Changed in Python and saved over the file: the tool sees the change.
        with image.open("data", "ab") as f:
            f.write(b"tail")
        image.save()
        assert tool("cat", path, "data").stdout == data(3000) + b"tail"

    def test_pack_makes_the_tools_image_and_unpack_its_files(self, tool, tmp_path, monkeypatch):
        monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
        folder = tmp_path / "in"
        folder.mkdir()
        files = {"zeta": data(700, 3), "alpha": data(5, 4), "mid.log": b""}
        for name, content in files.items():
            (folder / name).write_bytes(content)

        tool("pack", folder, tmp_path / "tool.img", "--page-size", 128)
        image = libdace.Image.pack(folder, page_size=128)
        assert image.to_bytes() == (tmp_path / "tool.img").read_bytes()
        assert image.listdir() == sorted(files)

        assert image.unpack(tmp_path / "py-out") == []
        tool("unpack", tmp_path / "tool.img", tmp_path / "tool-out")
        for name, content in files.items():
            assert (tmp_path / "py-out" / name).read_bytes() == content
            assert (tmp_path / "tool-out" / name).read_bytes() == content
            assert (tmp_path / "py-out" / name).stat().st_mtime_ns == 1700000000 * 10**9

    def test_pack_refuses_or_skips_what_a_volume_cannot_hold(self, tmp_path):
        folder = tmp_path / "in"
        (folder / "nested").mkdir(parents=True)
        (folder / ("x" * 19)).write_bytes(b"long")
        (folder / "ok").write_bytes(b"fine")
        with pytest.raises(libdace.ImageError, match="skip_invalid"):
            libdace.Image.pack(folder)
        with pytest.warns(libdace.SkippedWarning) as skipped:
            image = libdace.Image.pack(folder, skip_invalid=True)
        assert len(skipped) == 2
        assert image.listdir() == ["ok"]

    def test_unpack_names_the_files_it_could_not_write(self, image, tmp_path):
        image.write_file("..", b"up")
        image.write_file("fine", b"ok")
        problems = image.unpack(tmp_path / "out")
        assert len(problems) == 1 and '".."' in problems[0]
        assert os.listdir(tmp_path / "out") == ["fine"]


class TestCheckAndMap:
    def test_a_damaged_cluster_is_found_by_check_and_shown_by_map(self, tool, image, tmp_path):
        image.write_file("keep", data(300, 5))
        image.write_file("hurt", data(300, 6))
        assert image.check() == []
        cells = image.map()
        kinds = [c.kind for c in cells]
        assert kinds.count("root") == 1 and kinds.count("file") == 4
        assert {c.file for c in cells if c.kind == "file"} == {"keep", "hurt"}
        hurt = [c.index for c in cells if c.file == "hurt"]
        assert len(hurt) == 2

        raw = bytearray(image.to_bytes())
        raw[hurt[0] * 256 + 100] ^= 0x01
        damaged = libdace.Image.from_bytes(bytes(raw))
        problems = damaged.check()
        assert len(problems) == 1 and "hurt" in problems[0] and "CRC" in problems[0]
        assert [c.index for c in damaged.map() if c.problem] == [hurt[0]]
        (tmp_path / "bad.img").write_bytes(bytes(raw))
        assert tool("check", tmp_path / "bad.img", check=False).returncode == 1


class TestImages:
    def test_detection_refuses_what_it_cannot_read(self, image):
        for junk in (bytes(4096), b"\xff" * 4096, b"\x5a" * 4096):
            with pytest.raises(libdace.ImageError):
                libdace.Image.from_bytes(junk)
        with pytest.raises(libdace.ImageError, match="cut short"):
            libdace.Image.from_bytes(image.to_bytes()[:-1])
        with pytest.raises(libdace.ImageError):
            libdace.Image.from_bytes(image.to_bytes(), crc="8005-msb")
        with pytest.raises(ValueError, match="unknown CRC"):
            libdace.Image.from_bytes(image.to_bytes(), crc="none")

    def test_a_medium_whose_root_is_damaged_is_not_formatted(self, image):
        image.write_file("f", b"x")
        raw = bytearray(image.to_bytes())
        for cell in image.map():
            if cell.kind in ("root", "earlier_root"):
                raw[cell.index * 256 + 8] ^= 0xFF  # inside every root header
        given = dict(page_size=64, clus_pages=4, crc="1021-msb", crc_seed=0xFFFF)
        for params in (given, {}):
            with pytest.raises(libdace.ImageError):
                libdace.Image.from_bytes(bytes(raw), **params)
        # Unmounted, it can still be looked at, and it is left as it was.
        looked_at = libdace.Image.from_bytes(bytes(raw), mount=False, **given)
        assert not looked_at.mounted
        assert any("root copy at page 0 is damaged" in p for p in looked_at.check())
        with pytest.raises(libdace.ImageError, match="not mounted"):
            looked_at.listdir()
        with pytest.raises(libdace.ImageError):
            looked_at.remount()
        assert looked_at.to_bytes() == bytes(raw)

    def test_a_first_format_cut_short_is_refused_not_completed(self, image):
        # The copy the first format writes, its two CRCs not yet programmed:
        # what a power cut in that format leaves. Mounting it as the tool
        # does (dace_mount) finds no volume to read, and formats nothing.
        raw = bytearray(image.to_bytes())
        root = next(c.index for c in image.map() if c.kind == "root") * 256
        assert raw[root:root + 4] == (0xDACE8007).to_bytes(4, "little")
        raw[root + 28:root + 32] = b"\xff" * 4
        given = dict(page_size=64, clus_pages=4, crc="1021-msb", crc_seed=0xFFFF)
        with pytest.raises(libdace.ImageError) as e:
            libdace.Image.from_bytes(bytes(raw), **given)
        assert e.value.errno == errno.EIO  # the reason's: marks, but no root copy that counts
        kept = libdace.Image.from_bytes(bytes(raw), mount=False, **given)
        with pytest.raises(libdace.ImageError):
            kept.remount()
        assert kept.to_bytes() == bytes(raw)

    def test_bad_geometry_is_named_by_its_keyword(self):
        with pytest.raises(libdace.ImageError, match="clus_pages 3 is not a power of two"):
            libdace.Image(total_pages=256, clus_pages=3)
        with pytest.raises(libdace.ImageError, match="at least 8"):
            libdace.Image(total_pages=32)

    def test_save_replaces_the_file_whole_unless_a_mount_holds_it(self, image, tmp_path):
        path = tmp_path / "flash.img"
        image.write_file("f", b"x")
        image.save(path)  # a new file
        assert path.read_bytes() == image.to_bytes()
        path.chmod(0o600)
        image.write_file("g", b"y")
        image.save()  # over the file it was saved to, keeping its mode
        assert libdace.Image.from_file(path).listdir() == ["f", "g"]
        assert path.stat().st_mode & 0o777 == 0o600
        assert os.listdir(tmp_path) == ["flash.img"]  # no temporary file left

        # Another process holds the image's locks as a dace mount does.
        holder = subprocess.Popen(
            [sys.executable, "-c", HOLD_AS_A_MOUNT, str(path)], stdout=subprocess.PIPE
        )
        try:
            assert holder.stdout.readline() == b"held\n"
            image.write_file("h", b"z")
            with pytest.raises(OSError) as e:
                image.save()
            assert e.value.errno == errno.EBUSY
        finally:
            holder.kill()
            holder.wait()
        assert libdace.Image.from_file(path).listdir() == ["f", "g"]

    def test_the_crc_catalogue_by_name(self):
        assert libdace.crc_names()[0] == "1021-msb" and len(libdace.crc_names()) == 4
        # The standard check values of these CRCs over "123456789".
        assert libdace.crc("1021-msb", b"123456789", 0xFFFF) == 0x29B1
        assert libdace.crc("8005-lsb", b"123456789", 0x0000) == 0xBB3D
        # A running CRC: its result seeds the bytes that follow.
        head = libdace.crc("8005-msb", b"12345", 0x1D0F)
        assert libdace.crc("8005-msb", b"6789", head) == libdace.crc("8005-msb", b"123456789", 0x1D0F)

    def test_a_copy_is_a_separate_medium(self, image):
        image.write_file("f", b"1")
        other = image.copy()
        other.write_file("g", b"2")
        assert image.listdir() == ["f"] and other.listdir() == ["f", "g"]


class TestSize:
    """The medium's size is what the volume's root records."""

    def test_bytes_after_the_volume_are_kept_but_not_the_medium(self, image, tmp_path):
        image.write_file("f", data(500))
        volume = image.to_bytes()
        assert len(volume) == 256 * 64
        after = data(1000, 7)
        read = libdace.Image.from_bytes(volume + after)
        assert read.params["total_pages"] == 256
        assert read.read_file("f") == data(500)
        assert read.to_bytes() == volume + after
        read.write_file("g", b"new")
        changed = read.to_bytes()
        assert changed[len(volume):] == after and changed[: len(volume)] != volume
        assert libdace.Image.from_bytes(changed).listdir() == ["f", "g"]
        assert read.copy().to_bytes() == changed

        path = tmp_path / "dump.bin"
        path.write_bytes(volume + after)
        from_file = libdace.Image.from_file(path, pages=256)
        from_file.remove("f")
        from_file.save()
        assert path.read_bytes()[len(volume):] == after
        assert libdace.Image.from_file(path).listdir() == []

    def test_another_size_is_refused_by_name(self, image):
        volume = image.to_bytes()
        for pages in (128, 300):
            with pytest.raises(libdace.ImageError) as e:
                libdace.Image.from_bytes(volume + bytes(64 * 64), pages=pages)
            assert f"records a volume of 256 pages, not the {pages} that pages= gives" in str(e.value)
            assert f"Image(total_pages={pages})" in str(e.value)
        with pytest.raises(ValueError, match="at least 1"):
            libdace.Image.from_bytes(volume, pages=0)
        with pytest.raises(TypeError):
            libdace.Image.from_bytes(volume, pages="256")

    def test_a_cut_short_image_is_refused_not_mounted_smaller(self, image, tmp_path):
        image.write_file("f", data(3000))
        half = image.to_bytes()[: 128 * 64]
        for keywords in ({}, {"mount": False}, {"page_size": 64, "clus_pages": 4, "crc": "1021-msb",
                                                "crc_seed": 0xFFFF}):
            with pytest.raises(libdace.ImageError, match="cut short: it holds 8192 of the 16384 bytes"):
                libdace.Image.from_bytes(half, **keywords)
        with pytest.raises(libdace.ImageError, match="records a volume of 256 pages, not the 128"):
            libdace.Image.from_bytes(half, pages=128)
        path = tmp_path / "half.img"
        path.write_bytes(half)
        with pytest.raises(libdace.ImageError, match="cut short"):
            libdace.Image.from_file(path)

    def test_an_older_writers_image_runs_to_the_end_of_its_data(self, image):
        image.write_file("f", data(700))
        old = as_older_writer(image.to_bytes())
        assert old != image.to_bytes()
        assert libdace.Image.from_bytes(old).read_file("f") == data(700)
        erased = b"\xff" * (64 * 64)
        longer = libdace.Image.from_bytes(old + erased)
        assert longer.params["total_pages"] == 320
        assert longer.read_file("f") == data(700)
        assert libdace.Image.from_bytes(old + erased, pages=256).to_bytes() == old + erased
        with pytest.raises(libdace.ImageError, match="not a whole number"):
            libdace.Image.from_bytes(old[:-1])
        with pytest.raises(libdace.ImageError, match="fewer than"):
            libdace.Image.from_bytes(old, pages=300)

