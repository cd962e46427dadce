"""The file API against a model: random sequences of creations, appends
(through files kept open too), reads, renames, removals, truncations and
remounts, with the directory checked after every step.

The model keeps two states: the files as the volume has them now, and as
the last commit left them, which is what a remount must bring back. Every
call that commits (close, flush, a move of the position, each change by
name) makes the first the second.

It runs twice: on a volume that allocates first fit, and on one that levels
wear from a cursor that hypothesis picks, turned on after every mount.
"""
import errno

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule  # noqa: E402

import libdace  # noqa: E402

NAMES = st.sampled_from(["a", "b", "log", "n" * 18])
CHUNKS = st.binary(max_size=400)
# Kept well below the medium's 30 KiB, so that no write meets a full medium.
MODEL_BYTES = 10_000
MEDIUM = dict(total_pages=512, page_size=64, clus_pages=4, max_files=3)


class VolumeModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.image = libdace.Image(**MEDIUM)
        self.now = {}  # name -> bytes, in creation order
        self.durable = {}
        self.appending = {}  # name -> File kept open for appending

    def commit(self):
        self.durable = dict(self.now)

    def expect(self, code, call):
        with pytest.raises(OSError) as e:
            call()
        assert e.value.errno == code, e.value

    def room(self):
        return sum(map(len, self.now.values())) < MODEL_BYTES

    # ---- writing -------------------------------------------------------

    @precondition(room)
    @rule(name=NAMES, chunk=CHUNKS, mode=st.sampled_from(["xb", "wb", "ab"]))
    def write_whole(self, name, chunk, mode):
        if mode == "xb" and name in self.now:
            return self.expect(errno.EEXIST, lambda: self.image.open(name, mode))
        if name in self.appending:
            return self.expect(errno.EBUSY, lambda: self.image.open(name, mode))
        with self.image.open(name, mode) as f:
            f.write(chunk)
        before = self.now.get(name, b"") if mode == "ab" else b""
        self.now[name] = before + chunk
        self.commit()

    @precondition(lambda self: len(self.appending) < 2)
    @rule(name=NAMES)
    def keep_open(self, name):
        if name in self.appending:
            return self.expect(errno.EBUSY, lambda: self.image.open(name, "ab"))
        self.appending[name] = self.image.open(name, "ab")
        if name in self.now:
            self.commit()  # positioning at the end commits
        else:
            self.now[name] = b""

    @precondition(lambda self: self.appending and self.room())
    @rule(data=st.data(), chunk=CHUNKS)
    def append_to_open(self, data, chunk):
        name = data.draw(st.sampled_from(sorted(self.appending)))
        assert self.appending[name].write(chunk) == len(chunk)
        self.now[name] += chunk

    @precondition(lambda self: self.appending)
    @rule(data=st.data(), close=st.booleans())
    def flush_or_close(self, data, close):
        name = data.draw(st.sampled_from(sorted(self.appending)))
        if close:
            self.appending.pop(name).close()
        else:
            self.appending[name].flush()
        self.commit()

    # ---- reading -------------------------------------------------------

    @rule(name=NAMES, start=st.integers(0, 2000))
    def read(self, name, start):
        if name not in self.now:
            return self.expect(errno.ENOENT, lambda: self.image.open(name))
        if name in self.appending:
            return self.expect(errno.EBUSY, lambda: self.image.open(name))
        content = self.now[name]
        start = min(start, len(content))
        with self.image.open(name) as f:
            f.seek(start)
            assert f.read() == content[start:]
        self.commit()

    # ---- changes by name ----------------------------------------------

    @rule(old=NAMES, new=NAMES, replace=st.booleans())
    def rename(self, old, new, replace):
        if old not in self.now:
            return self.expect(errno.ENOENT, lambda: self.image.rename(old, new, replace))
        if old == new:
            return self.image.rename(old, new, replace)
        if new in self.now and not replace:
            return self.expect(errno.EEXIST, lambda: self.image.rename(old, new, replace))
        if new in self.appending:
            return self.expect(errno.EBUSY, lambda: self.image.rename(old, new, replace))
        self.image.rename(old, new, replace)
        # The entry keeps its place; the one it replaced goes.
        self.now = {(new if n == old else n): c for n, c in self.now.items() if n != new}
        if old in self.appending:
            self.appending[new] = self.appending.pop(old)
        self.commit()

    @rule(name=NAMES)
    def remove(self, name):
        if name not in self.now:
            return self.expect(errno.ENOENT, lambda: self.image.remove(name))
        if name in self.appending:
            return self.expect(errno.EBUSY, lambda: self.image.remove(name))
        self.image.remove(name)
        del self.now[name]
        self.commit()

    @rule(name=NAMES, cut=st.integers(0, 500))
    def truncate(self, name, cut):
        if name not in self.now:
            return self.expect(errno.ENOENT, lambda: self.image.truncate(name, 0))
        size = len(self.now[name])
        self.expect(errno.EINVAL, lambda: self.image.truncate(name, size + 1))
        length = max(size - cut, 0)
        self.image.truncate(name, length)
        if length < size:
            self.now[name] = self.now[name][:length]
            self.commit()

    # ---- reboot --------------------------------------------------------

    @rule()
    def remount(self):
        self.image.remount()
        assert all(f.closed for f in self.appending.values())
        self.appending = {}
        self.now = dict(self.durable)
        assert self.image.check() == []
        assert {n: self.image.read_file(n) for n in self.image.listdir()} == self.now

    @invariant()
    def directory_matches(self):
        assert self.image.listdir() == list(self.now)
        for name, content in self.now.items():
            assert self.image.stat(name).size == len(content)


class WearLevelledVolumeModel(VolumeModel):
    @initialize(start=st.integers(0, 0xFFFF))
    def level_wear(self, start):
        self.image = libdace.Image(**MEDIUM, level_wear=start)


TestVolumeModel = VolumeModel.TestCase
TestWearLevelledVolumeModel = WearLevelledVolumeModel.TestCase
