"""The power-cut simulator as a firmware team would use it: their own
record formats, cut at every programmed byte."""
import errno

import pytest

import libdace
from conftest import SMALL

RECORDS = [b"%04d:temperature=21.5;\n" % i for i in range(5)]
SETTINGS_V1 = b"version=1;" * 30
SETTINGS_V2 = b"version=2;" * 30


@pytest.fixture
def base():
    image = libdace.Image(**SMALL)
    image.write_file("cfg", SETTINGS_V1)
    return image


def log_records(image):
    with image.open("log", "ab") as f:
        for record in RECORDS:
            f.write(record)
            f.flush()


def replace_settings(image):
    image.write_file("cfg.new", SETTINGS_V2)
    image.rename("cfg.new", "cfg", replace=True)


def test_every_cut_keeps_whole_flushed_records(base):
    counts = []
    for _, after in libdace.power_cuts(base, log_records):
        log = after.read_file("log") if after.exists("log") else b""
        count = len(log) // len(RECORDS[0])
        assert log == b"".join(RECORDS[:count])
        assert after.read_file("cfg") == SETTINGS_V1
        # The volume goes on: a further change, and the medium is sound.
        after.write_file("next", b"n")
        after.remount()
        assert after.check() == []
        counts.append(count)
    # A later cut never finds fewer records, and each count shows up.
    assert counts == sorted(counts)
    assert set(counts) == set(range(len(RECORDS) + 1))
    assert base.listdir() == ["cfg"]  # the image swept is left as it was


def test_a_replaced_settings_file_is_old_or_new_never_neither(base):
    found = set()
    for n, after in libdace.power_cuts(base, replace_settings, step=7):
        assert after.read_file("cfg") in (SETTINGS_V1, SETTINGS_V2), n
        assert after.listdir() in (["cfg"], ["cfg", "cfg.new"]), n
        found.add(after.read_file("cfg"))
    assert found == {SETTINGS_V1, SETTINGS_V2}


def test_the_action_meets_the_cut_as_eio(base):
    errors = []

    def action(image):
        try:
            image.write_file("f", bytes(2000))
        except OSError as e:
            errors.append(e.errno)
            raise

    after = libdace.cut_power(base, action, 300)
    assert errors == [errno.EIO]
    assert after.listdir() == ["cfg"]
    with pytest.raises(ZeroDivisionError):  # raised while the power is on
        libdace.cut_power(base, lambda image: 1 / 0, 300)


def test_without_a_cut_the_mount_finds_the_last_commit(base):
    def action(image):
        image.write_file("a", b"committed")
        image.kept = image.open("b", "xb")  # closing would commit it
        image.kept.write(b"never flushed")

    total = libdace.programmed_bytes(base, action)
    assert total > 0
    for after in (libdace.cut_power(base, action, total), libdace.cut_power(base, action, 10**9)):
        assert after.listdir() == ["cfg", "a"]
    points = [n for n, _ in libdace.power_cuts(base, action, step=100)]
    assert points[0] == 0 and points[-1] == total and len(points) == -(-total // 100) + 1
