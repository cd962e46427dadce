"""The power-cut simulator as a firmware team would use it: their own
record formats, cut at every programmed byte and in every erase; and the
package's own atomic write_file under it."""
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
    image.write_file("cfg", SETTINGS_V2)


def rewrite_settings_twice(image):
    # Rewriting a file frees its old clusters, which later writes erase.
    image.write_file("cfg", SETTINGS_V2)
    image.write_file("cfg", SETTINGS_V1)


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


def test_write_file_leaves_the_old_content_or_the_new_at_every_cut(base):
    temp = libdace.temporary_name("cfg")
    found = set()
    cuts = list(libdace.power_cuts(base, replace_settings))
    for cut, after in cuts:
        assert after.read_file("cfg") in (SETTINGS_V1, SETTINGS_V2), cut
        # Between its two commits a cut leaves the new content beside the old.
        assert after.listdir() in (["cfg"], ["cfg", temp]), cut
        found.add((after.read_file("cfg"), len(after.listdir())))
        # The next write of the name clears what the cut left.
        after.write_file("cfg", b"next")
        assert after.listdir() == ["cfg"] and after.read_file("cfg") == b"next", cut
    assert found == {(SETTINGS_V1, 1), (SETTINGS_V1, 2), (SETTINGS_V2, 1)}


def test_write_file_of_a_new_name_leaves_it_whole_or_missing(base):
    content = bytes(range(256)) * 3
    seen = set()
    for cut, after in libdace.power_cuts(base, lambda image: image.write_file("new", content), step=5):
        if after.exists("new"):
            assert after.read_file("new") == content, cut
        assert after.read_file("cfg") == SETTINGS_V1, cut
        seen.add(after.exists("new"))
    assert seen == {False, True}


def test_cuts_in_erases_tear_the_cluster_being_erased(base, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")  # the same stamps in every run
    cuts = list(libdace.power_cuts(base, rewrite_settings_twice, step=64))
    erase_cuts = [(cut, after) for cut, after in cuts if cut.erase is not None]
    assert [cut.erase for cut, _ in erase_cuts] == list(range(1, len(erase_cuts) + 1))
    assert sum(cut.programmed > 0 for cut, _ in erase_cuts) >= 2
    # In the order the run meets them: programmed bytes never go back.
    assert [cut.programmed for cut, _ in cuts] == sorted(cut.programmed for cut, _ in cuts)
    cluster = 4 * 64
    for cut, after in erase_cuts:
        assert after.read_file("cfg") in (SETTINGS_V1, SETTINGS_V2), cut
        assert after.check() == [], cut
        if cut.programmed == 0:
            continue  # a cut after 0 bytes falls at the first program, after this erase
        # The same run cut just before that erase began differs in one
        # cluster alone, and there only in the part the cut erased.
        before = libdace.cut_power(base, rewrite_settings_twice, cut.programmed).to_bytes()
        torn = after.to_bytes()
        changed = {i // cluster for i in range(len(torn)) if torn[i] != before[i]}
        assert len(changed) == 1, cut
        (c,) = changed
        assert torn[c * cluster : c * cluster + cluster // 2] == b"\xff" * (cluster // 2), cut
        assert torn[c * cluster + cluster // 2 : (c + 1) * cluster] == before[c * cluster + cluster // 2 : (c + 1) * cluster]


def test_erased_part_and_the_choice_of_cut():
    image = libdace.Image(**SMALL)
    image.write_file("cfg", SETTINGS_V1)
    whole = libdace.cut_power(image, rewrite_settings_twice, in_erase=1, erased_part=1.0)
    none = libdace.cut_power(image, rewrite_settings_twice, in_erase=1, erased_part=0.0)
    assert whole.to_bytes() != none.to_bytes()
    assert none.read_file("cfg") in (SETTINGS_V1, SETTINGS_V2)
    for wrong in (dict(), dict(after_bytes=1, in_erase=1)):
        with pytest.raises(TypeError):
            libdace.cut_power(image, rewrite_settings_twice, **wrong)
    for wrong in (dict(in_erase=0), dict(in_erase=1, erased_part=1.5)):
        with pytest.raises(ValueError):
            libdace.cut_power(image, rewrite_settings_twice, **wrong)


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
    points = [cut.programmed for cut, _ in libdace.power_cuts(base, action, step=100, erases=False)]
    assert points[0] == 0 and points[-1] == total and len(points) == -(-total // 100) + 1
