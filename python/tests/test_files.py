"""The file API: data through remounts, durability, and the errno of every
refusal."""
import errno
import io
import pathlib
import random
import re
import shutil
import tarfile
import zipfile

import pytest

import libdace
from conftest import SMALL

PAYLOAD = 256 - 8  # bytes of a 256-byte cluster after its header


def data(n, seed=1):
    return random.Random(seed).randbytes(n)


class TestReadWrite:
    def test_files_read_back_after_a_remount_in_creation_order(self, image):
        contents = {"b": data(1000, 1), "a": data(PAYLOAD, 2), "c": b""}
        for name, content in contents.items():
            with image.open(name, "xb") as f:
                assert f.write(content) == len(content)
        image.remount()
        assert image.listdir() == ["b", "a", "c"]
        for name, content in contents.items():
            assert image.read_file(name) == content
            st = image.stat(name)
            assert st.size == len(content)
            assert st.clusters == -(-len(content) // PAYLOAD)

    def test_copyfileobj_and_buffered_lines_both_ways(self, image):
        lines = b"".join(b"record %d\n" % i for i in range(200))
        with image.open("log", "wb") as dst:
            shutil.copyfileobj(io.BytesIO(lines), dst, length=333)
        out = io.BytesIO()
        with image.open("log") as src:
            shutil.copyfileobj(src, out)
        assert out.getvalue() == lines
        with io.BufferedReader(image.open("log")) as f:
            assert list(f)[150] == b"record 150\n"

    def test_archives_stream_in_and_read_back(self, image):
        members = {"a.txt": b"alpha" * 100, "b.bin": data(1500)}
        with image.open("logs.zip", "xb") as f, zipfile.ZipFile(f, "w") as z:
            for name, content in members.items():
                z.writestr(name, content)
        with image.open("logs.tar", "xb") as f, tarfile.open(fileobj=f, mode="w|") as t:
            for name, content in members.items():
                info = tarfile.TarInfo(name)
                info.size = len(content)
                t.addfile(info, io.BytesIO(content))
        image.remount()
        with image.open("logs.zip") as f, zipfile.ZipFile(f) as z:
            assert {n: z.read(n) for n in z.namelist()} == members
        with image.open("logs.tar") as f, tarfile.open(fileobj=f) as t:
            assert {m.name: t.extractfile(m).read() for m in t} == members

    def test_reader_seeks_and_tells_across_clusters(self, image):
        content = data(3 * PAYLOAD + 17)
        image.write_file("f", content)
        with image.open("f") as f:
            assert f.read(10) == content[:10]
            assert f.seek(PAYLOAD - 3) == PAYLOAD - 3
            assert f.read(6) == content[PAYLOAD - 3 : PAYLOAD + 3]
            assert f.seek(-5, io.SEEK_CUR) == PAYLOAD - 2
            assert f.tell() == PAYLOAD - 2
            assert f.seek(-17, io.SEEK_END) == 3 * PAYLOAD
            assert f.read() == content[-17:]
            assert f.read(1) == b""
            f.seek(0)
            assert f.readall() == content

    def test_modes_append_create_and_rewrite(self, image):
        with image.open("f", "ab") as f:  # created when missing
            f.write(b"one,")
        with image.open("f", "ab") as f:
            assert f.tell() == 4
            f.write(b"two")
        assert image.read_file("f") == b"one,two"
        with image.open("f", "wb") as f:
            f.write(b"new")
        assert image.read_file("f") == b"new"
        with pytest.raises(FileExistsError):
            image.open("f", "xb")
        with pytest.raises(ValueError):
            image.open("f", "r+b")

    def test_stat_gives_the_stamp_as_time(self, image, monkeypatch):
        monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
        image.write_file("f", b"x")
        st = image.stat("f")
        assert st.stamp == 1700000000 * 10**9
        assert st.mtime.isoformat() == "2023-11-14T22:13:20+00:00"
        assert (st.st_size, st.st_mtime) == (1, 1700000000.0)

    def test_rename_keeps_the_stamp_and_replace_drops_the_other(self, image, monkeypatch):
        monkeypatch.setenv("SOURCE_DATE_EPOCH", "1000")
        image.write_file("cfg.new", b"new")
        monkeypatch.setenv("SOURCE_DATE_EPOCH", "2000")
        image.write_file("cfg", b"old")
        image.rename("cfg.new", "cfg", replace=True)
        image.remount()
        assert image.listdir() == ["cfg"]
        assert image.read_file("cfg") == b"new"
        assert image.stat("cfg").stamp == 1000 * 10**9

    def test_free_space_comes_back_after_removal(self, image):
        before = image.free_space()
        image.write_file("big", data(10 * PAYLOAD))
        assert image.free_space() == before - 10 * 256
        image.remove("big")
        assert image.free_space() == before
        assert image.total_space() == 64 * 256


def clusters_of(image, name):
    return [c.index for c in image.map() if c.kind == "file" and c.file == name]


class TestWearLevelling:
    def test_clusters_come_from_the_cursor_and_every_mount_turns_it_on(self):
        first_fit = libdace.Image(**SMALL)
        levelled = libdace.Image(**SMALL, level_wear=40)
        assert (first_fit.level_wear, levelled.level_wear) == (None, 40)
        for image in (first_fit, levelled):
            image.write_file("a", data(3 * PAYLOAD))
            image.remount()
            image.write_file("b", data(3 * PAYLOAD))
        assert max(clusters_of(first_fit, "a") + clusters_of(first_fit, "b")) < 10
        assert all(40 <= c < 50 for c in clusters_of(levelled, "a") + clusters_of(levelled, "b"))
        image = levelled.copy()
        assert image.level_wear == 40
        image.write_file("c", data(PAYLOAD))
        assert all(40 <= c < 52 for c in clusters_of(image, "c"))
        assert image.read_file("a") == data(3 * PAYLOAD)

    def test_the_cursor_moves_on_one_cluster_a_mount(self):
        image = libdace.Image(**SMALL, level_wear=64 + 10)  # taken modulo the 64 clusters
        for _ in range(3):
            image.remount()
        image.write_file("a", data(2 * PAYLOAD))
        assert all(13 <= c < 17 for c in clusters_of(image, "a")), image.map()

    def test_images_read_or_packed_take_it_too(self, tmp_path):
        (tmp_path / "in").mkdir()
        (tmp_path / "in" / "x").write_bytes(data(PAYLOAD))
        packed = libdace.Image.pack(tmp_path / "in", total_pages=256, page_size=64, clus_pages=4, level_wear=30)
        assert packed.level_wear == 30
        packed.save(tmp_path / "img")
        for image in (
            libdace.Image.from_bytes(packed.to_bytes(), level_wear=30),
            libdace.Image.from_file(tmp_path / "img", level_wear=30),
        ):
            image.write_file("y", data(PAYLOAD))
            assert all(30 <= c < 36 for c in clusters_of(image, "y")), image.map()

    @pytest.mark.parametrize("start, error", [(-1, ValueError), (65536, ValueError), ("1", TypeError), (True, TypeError)])
    def test_a_cursor_that_does_not_fit_in_16_bits(self, start, error):
        with pytest.raises(error):
            libdace.Image(**SMALL, level_wear=start)


class TestDurability:
    def test_flushed_data_survives_a_remount_and_the_rest_is_lost(self, image):
        f = image.open("log", "ab")
        f.write(b"kept")
        f.flush()
        f.write(b"lost")
        image.remount()
        assert image.read_file("log") == b"kept"
        assert f.closed
        with pytest.raises(ValueError, match="remount"):
            f.write(b"x")
        f.close()  # nothing left to do

    def test_a_file_created_but_not_committed_is_lost(self, image):
        f = image.open("new", "xb")
        f.write(b"data")
        assert image.listdir() == ["new"]
        image.remount()
        assert image.listdir() == []

    def test_commits_carry_every_open_file(self, image):
        a = image.open("a", "xb")
        b = image.open("b", "xb")
        a.write(b"A")
        b.write(b"B")
        image.sync()
        b.write(b"b")
        image.write_file("c", b"C")  # its close commits b's byte too
        image.remount()
        assert {n: image.read_file(n) for n in image.listdir()} == {
            "a": b"A",
            "b": b"Bb",
            "c": b"C",
        }

    def test_bytes_and_saved_images_hold_what_was_committed(self, image, tmp_path):
        f = image.open("f", "xb")
        f.write(b"pending")
        assert libdace.Image.from_bytes(image.to_bytes()).listdir() == []
        f.close()
        image.save(tmp_path / "flash.img")
        assert libdace.Image.from_file(tmp_path / "flash.img").read_file("f") == b"pending"

    def test_reading_does_not_commit_until_the_position_moves(self, image):
        image.write_file("r", b"0123456789")
        w = image.open("w", "xb")
        w.write(b"pending")
        with image.open("r") as r:
            assert r.read(4) == b"0123"
            before = image.counters()["bytes_programmed"]
            assert r.seek(4) == 4  # where it is: nothing to do
            assert image.counters()["bytes_programmed"] == before
            r.seek(1)  # a move commits
        image.remount()
        assert image.read_file("w") == b"pending"


class TestErrors:
    LONG = "n" * 19

    @pytest.mark.parametrize(
        "call",
        [
            lambda img, n: img.open(n, "xb"),
            lambda img, n: img.open(n, "rb"),
            lambda img, n: img.stat(n),
            lambda img, n: img.remove(n),
            lambda img, n: img.truncate(n, 0),
            lambda img, n: img.rename("ok", n),
        ],
    )
    def test_names_the_medium_cannot_hold(self, image, call):
        image.write_file("ok", b"")
        for name, code in [(self.LONG, errno.ENAMETOOLONG), ("", errno.EINVAL), ("a/b", errno.EINVAL), ("a\\b", errno.EINVAL)]:
            with pytest.raises(OSError) as e:
                call(image, name)
            assert e.value.errno == code
        with pytest.raises(ValueError):
            call(image, "a\0b")
        with image.open("n" * 18, "xb"):  # the longest name is fine
            pass
        assert image.listdir() == ["ok", "n" * 18]

    def test_missing_files(self, image):
        for call in (
            lambda: image.open("none"),
            lambda: image.stat("none"),
            lambda: image.remove("none"),
            lambda: image.truncate("none", 0),
            lambda: image.rename("none", "other"),
        ):
            with pytest.raises(FileNotFoundError):
                call()

    def test_rename_onto_a_taken_name(self, image):
        image.write_file("a", b"A")
        image.write_file("b", b"B")
        with pytest.raises(FileExistsError):
            image.rename("a", "b")
        image.remount()
        assert [image.read_file(n) for n in image.listdir()] == [b"A", b"B"]
        with image.open("b"):
            with pytest.raises(OSError) as e:
                image.rename("a", "b", replace=True)
            assert e.value.errno == errno.EBUSY
        image.rename("a", "a")  # its own name: nothing changes
        assert image.listdir() == ["a", "b"]

    def test_one_handle_per_file_and_no_removal_while_open(self, image):
        image.write_file("f", b"x")
        with image.open("f"):
            for call in (lambda: image.open("f"), lambda: image.open("f", "wb"), lambda: image.remove("f")):
                with pytest.raises(OSError) as e:
                    call()
                assert e.value.errno == errno.EBUSY
        image.remove("f")

    def test_more_open_files_than_max_files(self):
        image = libdace.Image(**SMALL, max_files=2)
        kept = [image.open("a", "xb"), image.open("b", "xb")]
        with pytest.raises(OSError) as e:
            image.open("c", "xb")
        assert e.value.errno == errno.EMFILE
        kept[0].close()
        image.open("c", "xb").close()

    def test_what_files_cannot_do(self, image):
        image.write_file("f", b"0123")
        with image.open("f", "ab") as w:
            assert not w.seekable() and w.tell() == 4
            for where in (0, 4):
                with pytest.raises(io.UnsupportedOperation) as e:
                    w.seek(where)
                assert e.value.errno == errno.ESPIPE
            with pytest.raises(io.UnsupportedOperation):
                w.read()
        with image.open("f") as r:
            for where in (5, -1):
                with pytest.raises(OSError) as e:
                    r.seek(where)
                assert e.value.errno == errno.EINVAL
            with pytest.raises(io.UnsupportedOperation):
                r.write(b"x")
        with pytest.raises(ValueError, match="closed"):
            r.read()
        for length, code in [(5, errno.EINVAL), (-1, errno.EINVAL)]:
            with pytest.raises(OSError) as e:
                image.truncate("f", length)
            assert e.value.errno == code
        image.truncate("f", 2)
        assert image.read_file("f") == b"01"

    def test_a_full_medium_keeps_what_it_holds(self, image):
        image.write_file("keep", b"k" * 100)
        with pytest.raises(OSError) as e:
            with image.open("big", "xb") as f:
                f.write(data(100 * PAYLOAD))
        assert e.value.errno == errno.ENOSPC
        assert e.value.filename == "big"
        taken = image.stat("big").size
        assert f"{taken} of {100 * PAYLOAD} bytes taken" in str(e.value)
        f.close()
        image.remount()
        assert image.check() == []
        assert image.read_file("keep") == b"k" * 100
        assert image.read_file("big") == data(100 * PAYLOAD)[:taken]
        image.remove("big")
        image.write_file("again", data(20 * PAYLOAD))

    def test_a_full_medium_reuses_clusters_released_since_the_last_commit(self, image):
        # Appending to a file moves its newest cluster: the old one is held
        # until a commit. Two such appends hold two clusters.
        image.write_file("a", b"a")
        image.write_file("b", b"b")
        appending = [image.open("a", "ab"), image.open("b", "ab")]
        for f in appending:
            f.write(b"+")
        with pytest.raises(OSError) as e:
            with image.open("fill", "xb") as f:
                f.write(data(100 * PAYLOAD))
        assert e.value.errno == errno.ENOSPC
        assert image.free_space() <= 256

    def test_a_full_directory(self, image):
        # A 256-byte root holds seven 32-byte entries behind its header.
        for i in range(7):
            image.write_file(f"f{i}", b"")
        with pytest.raises(OSError) as e:
            image.open("f7", "xb")
        assert e.value.errno == errno.ENOSPC
        image.remove("f0")
        image.write_file("f7", b"")


# ---- the shared table of reasons ----------------------------------------------

ROOT = pathlib.Path(__file__).resolve().parents[2]


def reason_codes():
    """DACE_E_* as dace/dace.h defines them."""
    text = (ROOT / "dace" / "dace.h").read_text()
    return {m[1]: int(m[2]) for m in re.finditer(r"#define DACE_E_(\w+) (\d+)", text)}


def open_and_keep(image, name, then):
    image.kept = image.open(name)
    then(image)


def open_four_then(image):
    image.kept = [image.open(n, "xb") for n in ("a", "b", "c")] + [image.open("f")]
    image.open("g")


def write_short(image):
    image._m.fail_write(1, 10)  # the next program of the medium stops after 10 bytes
    image.write_file("new", data(2 * PAYLOAD))


def fill_directory(image):
    for i in range(10):
        image.open(f"d{i}", "xb").close()


# Each misuse, the library's reason for it, and the errno the tool and the
# mount give that reason.
MISUSES = {
    "empty name": ("NAME_INVALID", errno.EINVAL, lambda img: img.open("", "xb")),
    "empty new name": ("NAME_INVALID", errno.EINVAL, lambda img: img.rename("f", "")),
    "separator": ("NAME_INVALID", errno.EINVAL, lambda img: img.stat("a/b")),
    "separator written": ("NAME_INVALID", errno.EINVAL, lambda img: img.write_file("a\\b", b"x")),
    "name too long": ("NAME_TOO_LONG", errno.ENAMETOOLONG, lambda img: img.remove("n" * 19)),
    "no such file": ("NO_FILE", errno.ENOENT, lambda img: img.open("none")),
    "no file to truncate": ("NO_FILE", errno.ENOENT, lambda img: img.truncate("none", 0)),
    "create a name taken": ("NAME_TAKEN", errno.EEXIST, lambda img: img.open("f", "xb")),
    "rename onto a name taken": ("NAME_TAKEN", errno.EEXIST, lambda img: img.rename("g", "f")),
    "open twice": ("FILE_OPEN", errno.EBUSY, lambda img: open_and_keep(img, "f", lambda i: i.open("f", "ab"))),
    "remove while open": ("FILE_OPEN", errno.EBUSY, lambda img: open_and_keep(img, "f", lambda i: i.remove("f"))),
    "replace while open": (
        "FILE_OPEN",
        errno.EBUSY,
        lambda img: open_and_keep(img, "f", lambda i: i.rename("g", "f", replace=True)),
    ),
    "write_file while open": (
        "FILE_OPEN",
        errno.EBUSY,
        lambda img: open_and_keep(img, "f", lambda i: i.write_file("f", b"x")),
    ),
    "more open than max_files": ("TOO_MANY_OPEN", errno.EMFILE, open_four_then),
    "truncate to more": ("BEYOND_END", errno.EINVAL, lambda img: img.truncate("f", 5)),
    "seek past the end": ("BEYOND_END", errno.EINVAL, lambda img: img.open("f").seek(5)),
    "negative length": ("INVALID_ARGUMENT", errno.EINVAL, lambda img: img.truncate("f", -1)),
    "full medium": ("MEDIUM_FULL", errno.ENOSPC, lambda img: img.write_file("big", data(100 * PAYLOAD))),
    "full directory": ("DIRECTORY_FULL", errno.ENOSPC, fill_directory),
    "write fell short": ("WRITE_FAILED", errno.EIO, write_short),
}


class TestReasons:
    @pytest.mark.parametrize("misuse", MISUSES)
    def test_each_misuse_raises_its_reason_from_the_shared_table(self, image, misuse):
        reason, code, call = MISUSES[misuse]
        image.write_file("f", b"0123")
        image.write_file("g", b"g")
        with pytest.raises(OSError) as e:
            call(image)
        table_errno, table_message = libdace._libdace.reason_of(reason_codes()[reason])
        assert (e.value.errno, code) == (table_errno, table_errno)
        assert e.value.strerror.startswith(table_message), e.value.strerror

    def test_a_mount_refused_carries_its_reason(self, image):
        image.write_file("f", b"0123")
        with pytest.raises(libdace.ImageError) as e:  # another seed: no root copy counts
            libdace.Image.from_bytes(
                image.to_bytes(), page_size=64, clus_pages=4, crc="1021-msb", crc_seed=0x1234
            )
        table_errno, table_message = libdace._libdace.reason_of(reason_codes()["DAMAGED"])
        assert (e.value.errno, table_errno) == (errno.EIO, errno.EIO)
        assert e.value.strerror.startswith(table_message)
        assert isinstance(e.value, ValueError)  # as before it had an errno

    def test_no_reason_is_an_unnamed_failure(self):
        # What a failed call that left DACE_E_NONE would raise: EIO, never errno 0.
        assert libdace._libdace.reason_of(-1)[0] == errno.EIO
        assert libdace._libdace.reason_of(0)[0] == 0


# ---- write_file: atomic, and nothing left by a failure ----------------------


class TestWriteFile:
    FAILURES = {"full": (100 * PAYLOAD, errno.ENOSPC), "short": (3 * PAYLOAD, errno.EIO)}

    def fail(self, image, name, failure):
        size, code = self.FAILURES[failure]
        if failure == "short":
            image._m.fail_write(1, 10)  # the first program stops after 10 bytes
        with pytest.raises(OSError) as e:
            image.write_file(name, data(size))
        assert (e.value.errno, e.value.filename) == (code, name)

    @pytest.mark.parametrize("failure", FAILURES)
    def test_a_failed_write_file_leaves_no_file_behind(self, image, failure):
        image.write_file("keep", b"k")
        free = image.free_space()
        self.fail(image, "new", failure)
        for _ in range(2):  # in memory, and as the medium holds it
            assert image.listdir() == ["keep"]
            assert image.free_space() == free
            image.remount()
        assert image.check() == []

    @pytest.mark.parametrize("failure", FAILURES)
    def test_a_failed_write_file_keeps_the_old_content(self, image, failure):
        image.write_file("cfg", b"old")
        self.fail(image, "cfg", failure)
        for _ in range(2):
            assert image.listdir() == ["cfg"] and image.read_file("cfg") == b"old"
            image.remount()

    def test_the_name_is_checked_before_anything_is_written(self, image):
        before = image.counters()["bytes_programmed"]
        with pytest.raises(OSError) as e:
            image.write_file("n" * 19, b"x")
        assert (e.value.errno, e.value.filename) == (errno.ENAMETOOLONG, "n" * 19)
        assert image.counters()["bytes_programmed"] == before

    def test_what_a_power_cut_left_is_removed_by_the_next_write_of_that_name(self, image):
        # A cut between write_file's two commits leaves the temporary file.
        for name in ("cfg", "other"):
            with image.open(libdace.temporary_name(name), "xb") as f:
                f.write(b"never renamed")
        image.write_file("cfg", b"new")
        assert sorted(image.listdir()) == sorted(["cfg", libdace.temporary_name("other")])
        image.remount()
        assert image.read_file("cfg") == b"new"

    def test_temporary_names_pass_the_name_rules_for_any_name(self, image):
        names = ["a", "n" * 18, b"\xff\xfe", "x.y-z", "cfg", "cfg.new"]
        temps = [libdace.temporary_name(n) for n in names]
        assert len(set(temps)) == len(names)
        assert libdace.temporary_name("cfg") == libdace.temporary_name(b"cfg")
        for name, temp in zip(names, temps):
            assert len(temp.encode()) <= 18 and temp.startswith(".libdace-")
            image.write_file(name, b"x")  # its temporary file is created and renamed
        assert len(image.listdir()) == len(names)
