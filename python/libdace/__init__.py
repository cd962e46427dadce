"""Flash images of the dace file system, from Python: the package ``libdace``.

An :class:`Image` is a whole medium held in memory with the volume mounted on
it by the library itself: blank (``Image(total_pages=1024)``), read from
bytes or an image file (geometry, CRC and size found as the ``dace`` tool
finds them), or packed from a folder. Its files are reached by name, much as with
:mod:`os`: ``listdir``, ``stat``, ``open``, ``remove``, ``rename``,
``truncate``. The image file is written only by :meth:`Image.save`, which
replaces it whole, as the tool does.

Files grow only at their end and shrink only by truncation, names are 1 to
18 bytes, and the volume keeps one handle per file. What the library refuses
or fails at raises :class:`OSError` with the errno and message that the
``dace`` tool and ``dace mount`` give the same reason (one table, in the
tool's core): an empty name or one with a separator (``EINVAL``), a name
over 18 bytes (``ENAMETOOLONG``), no such file (``ENOENT``), a name taken
(``EEXIST``), a file open twice, or removed or replaced while open
(``EBUSY``), more open files than ``max_files`` (``EMFILE``), a position or
length beyond the end of a file (``EINVAL``), a full medium or directory
(``ENOSPC``), a read or write of the medium that failed (``EIO``). Moving a
file open for writing is ``ESPIPE``: it grows only at its end.

Durability: see README.md, "What survives a power cut" (rules 1-11 of
docs/storage-format.md). Here a commit is ``close()`` or ``flush()`` of a
file, moving a reading file's position, :meth:`Image.sync`, or a change by
name (opening an existing file with ``"wb"`` or ``"ab"`` is one), and
:meth:`Image.save` and :meth:`Image.to_bytes` hold what was committed.

:func:`plan` runs a firmware's workload (log records, rotation, a settings
file, reboots) on a simulated flash part in accelerated device time and
reports boot time, latencies, wear and projected life, as ``dace plan``.

:func:`cut_power` runs your own code against a copy of an image with the
power failing after a given number of programmed bytes, or in the middle of
a given erase, and returns the image as the next mount finds it;
:func:`power_cuts` does so at every byte and in every erase of an uncut run.
"""

import binascii as _binascii
import datetime as _datetime
import errno as _errno
import io as _io
import json as _json
import os as _os
import stat as _stat
import warnings as _warnings
from typing import Callable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _libdace

__version__ = _libdace.__version__  # the library's (dace/dace.h)

__all__ = [
    "Image",
    "File",
    "Stat",
    "Cluster",
    "ImageError",
    "SkippedWarning",
    "crc_names",
    "crc",
    "cut_power",
    "programmed_bytes",
    "power_cuts",
    "PowerCut",
    "temporary_name",
    "plan",
    "part_classes",
]

ImageError = _libdace.ImageError
ImageError.__doc__ = (
    "An image that cannot be read, made or mounted: not of this file system, "
    "ambiguous geometry or CRC (pass them), a geometry the library refuses, an "
    "image cut short (shorter than the volume its root records), or pages= "
    "other than that size. Both an OSError and a ValueError: when the library "
    "refused the mount or the configuration, errno and the message's start "
    "are its reason's, as the dace tool gives them (EIO for damage, EINVAL "
    "for another geometry or size); otherwise errno is None."
)

Name = Union[str, bytes]

_MODES = ("rb", "ab", "wb", "xb")


class SkippedWarning(UserWarning):
    """A file that :meth:`Image.pack` left out."""


def crc_names() -> List[str]:
    """The 16-bit CRCs a medium may use, by name; the first is the default."""
    return _libdace.crc_names()


def crc(name: str, data: bytes, seed: int = 0xFFFF) -> int:
    """The running CRC ``name`` of ``data`` from ``seed``, as the library frames it."""
    return _libdace.crc(name, data, seed)


def _encode(name: Name) -> bytes:
    if isinstance(name, str):
        name = name.encode("utf-8", "surrogateescape")
    elif not isinstance(name, (bytes, bytearray)):
        raise TypeError(f"a file name is str or bytes, not {type(name).__name__}")
    if b"\0" in name:
        raise ValueError("embedded null byte")
    return bytes(name)


def _decode(name: bytes) -> str:
    return name.decode("utf-8", "surrogateescape")


class Stat(NamedTuple):
    """An entry: size in bytes, clusters in the file's chain, and its stamp.

    The stamp is what the writer's firmware put there; this package and the
    ``dace`` tool write Unix time in nanoseconds (or ``SOURCE_DATE_EPOCH``).
    """

    name: str
    size: int
    clusters: int
    stamp: int

    @property
    def mtime(self) -> Optional[_datetime.datetime]:
        """The stamp read as Unix nanoseconds, in UTC; None for a stamp of 0."""
        if self.stamp == 0:
            return None
        epoch = _datetime.datetime(1970, 1, 1, tzinfo=_datetime.timezone.utc)
        return epoch + _datetime.timedelta(microseconds=self.stamp // 1000)

    @property
    def st_size(self) -> int:
        return self.size

    @property
    def st_mtime_ns(self) -> int:
        return self.stamp

    @property
    def st_mtime(self) -> float:
        return self.stamp / 1e9


class Cluster(NamedTuple):
    """One cluster of :meth:`Image.map`.

    ``kind`` is ``"root"``, ``"earlier_root"``, ``"file"``, ``"free"``,
    ``"to_erase"``, ``"bad"`` or ``"missing"`` (past the end of an image cut
    short; an image made here never has one); ``file`` names the owner of a
    file's cluster; ``problem`` is set where :meth:`Image.check` found one.
    """

    index: int
    kind: str
    file: Optional[str]
    problem: bool


class File(_io.RawIOBase):
    """An open file of an :class:`Image` (from :meth:`Image.open`).

    ``"rb"`` reads and seeks; ``"ab"``, ``"wb"`` and ``"xb"`` append and are
    not seekable (``tell`` works, ``seek`` is ``ESPIPE``). Written data becomes durable when the
    file is flushed or closed (or another commit happens); a remount closes
    the file and loses what was not. Closing commits: when that fails, the
    file stays open and ``close()`` may be called again.
    """

    def __init__(self, handle, name: str, mode: str):
        super().__init__()
        self._h = handle
        self.name = name
        self.mode = mode

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<libdace.File {self.name!r} mode={self.mode!r} {state}>"

    @property
    def closed(self) -> bool:
        return super().closed or not self._h.valid

    def readable(self) -> bool:
        self._check_open()
        return not self._h.writer

    def writable(self) -> bool:
        self._check_open()
        return self._h.writer

    def seekable(self) -> bool:
        self._check_open()
        return not self._h.writer

    def readinto(self, buffer) -> int:
        self._check_open()
        if self._h.writer:
            raise _io.UnsupportedOperation("File not open for reading")
        return self._h.readinto(buffer)

    def readall(self) -> bytes:
        self._check_open()
        if self._h.writer:
            raise _io.UnsupportedOperation("File not open for reading")
        buffer = bytearray(max(self._h.size() - self._h.tell(), 0))
        view = memoryview(buffer)
        done = 0
        while done < len(buffer):
            got = self.readinto(view[done:])
            if not got:
                break
            done += got
        return bytes(buffer[:done])

    def write(self, data) -> int:
        """Appends ``data`` whole, or raises.

        ``ENOSPC`` when the medium is full (the bytes taken before stay in
        the file, as the message says), ``EIO`` when a write to the medium
        fell short, ``EFBIG`` past 4 GiB - 1 bytes. When the only room left
        is in clusters released since the last commit, this commits first,
        as ``flush()`` would, to get them back.
        """
        self._check_open()
        if not self._h.writer:
            raise _io.UnsupportedOperation("File not open for writing")
        return self._h.write(data)

    def seek(self, offset: int, whence: int = _io.SEEK_SET) -> int:
        """Moves a reading file's position; it commits, as ``flush()`` does.

        A position beyond the end is ``EINVAL`` (a file has no holes). A file
        open for writing is a stream that grows at its end: seeking it is
        ``ESPIPE``, as on a pipe, so that writers such as :mod:`zipfile`
        stream to it.
        """
        self._check_open()
        if self._h.writer:
            raise _io.UnsupportedOperation(
                _errno.ESPIPE, "a file open for writing grows only at its end"
            )
        return self._h.seek(offset, whence)

    def tell(self) -> int:
        self._check_open()
        return self._h.tell()

    def flush(self) -> None:
        """Commits: everything written on every open file is durable after it."""
        if not self.closed and self._h.writer:
            self._h.flush()

    def close(self) -> None:
        """Commits and frees the handle (see :meth:`flush`)."""
        if super().closed:
            return
        self._h.close()
        super().close()

    def _check_open(self) -> None:
        if self.closed:
            if self._h.lost:
                raise ValueError("I/O operation on a file that a remount closed")
            raise ValueError("I/O operation on closed file")


class Image:
    """A medium in memory and the volume mounted on it.

    ``Image(total_pages, page_size=256, clus_pages=8, ...)`` makes a freshly
    formatted volume; :meth:`from_bytes`, :meth:`from_file` and :meth:`pack`
    make one of existing content. ``max_files`` is how many files may be
    open at once (it is not stored on the medium).

    ``level_wear=start`` (any of them) spreads erases over the whole medium,
    as firmware should: after every mount of the image (the first, each
    :meth:`remount`, and those of its copies) the library's wear levelling
    is turned on, so that clusters are taken next-fit from a cursor instead
    of first fit from cluster 0. The first mount's cursor is cluster
    ``start`` (taken modulo the cluster count), and each later mount's is
    one further on, as a boot counter moves it. ``None``, the default,
    allocates first fit. Neither is stored on the medium.
    """

    def __init__(
        self,
        total_pages: int,
        *,
        page_size: int = 256,
        clus_pages: int = 8,
        geometry_tag: int = 0,
        crc: str = "1021-msb",
        crc_seed: int = 0xFFFF,
        max_files: int = 4,
        level_wear: Optional[int] = None,
    ):
        given = _medium_options(page_size, clus_pages, geometry_tag, crc, crc_seed, max_files)
        self._adopt(_libdace.SimImage.blank(given, total_pages, _wear_start(level_wear)), None)

    @classmethod
    def _of(cls, medium, path: Optional[str]) -> "Image":
        image = cls.__new__(cls)
        image._adopt(medium, path)
        return image

    def _adopt(self, medium, path: Optional[str]) -> None:
        self._m = medium
        self.path = path

    @classmethod
    def from_bytes(
        cls,
        data: bytes,
        *,
        page_size: Optional[int] = None,
        clus_pages: Optional[int] = None,
        geometry_tag: Optional[int] = None,
        crc: Optional[str] = None,
        crc_seed: Optional[int] = None,
        max_files: int = 4,
        pages: Optional[int] = None,
        mount: bool = True,
        level_wear: Optional[int] = None,
    ) -> "Image":
        """The volume on ``data``, an image that starts with its medium.

        Every parameter left out is found in the image's root copies, as the
        ``dace`` tool finds it; :class:`ImageError` when the image leaves one
        open. With all of page_size, clus_pages, crc and crc_seed given,
        nothing is detected. A blank medium holds no volume: make one with
        ``Image(total_pages, ...)``.

        The medium is as many pages as its root records (every copy written
        since format version 1 records the volume's size), whatever follows
        it in ``data``; for a volume whose writer recorded none, ``pages``,
        or else every whole page of ``data``. ``pages`` other than the
        recorded size is an :class:`ImageError`: the library mounts a volume
        only at that size. So is ``data`` shorter than the recorded size, an
        image cut short (a dump that stopped early): the library cannot
        mount what it lacks. Bytes after the medium are kept as they are:
        :meth:`to_bytes` and :meth:`save` give them back after it.

        The volume is mounted as the ``dace`` tool mounts it, by reading
        alone: a medium that holds none (a first format cut short among
        them) is refused, never formatted.

        A medium that does not mount is an :class:`ImageError`; with
        ``mount=False`` it is not mounted, so that :meth:`check`,
        :meth:`map` and :meth:`save` can look at it (the file calls then
        raise :class:`ImageError` until :meth:`remount` succeeds).
        """
        given = _medium_options(page_size, clus_pages, geometry_tag, crc, crc_seed, max_files)
        given["pages"] = pages
        return cls._of(_libdace.SimImage.from_bytes(data, given, mount, _wear_start(level_wear)), None)

    @classmethod
    def from_file(
        cls,
        path: Union[str, _os.PathLike],
        *,
        pages: Optional[int] = None,
        mount: bool = True,
        level_wear: Optional[int] = None,
        **params,
    ) -> "Image":
        """The volume in the image file ``path`` (see :meth:`from_bytes`,
        which takes the same keywords).

        :meth:`save` without a path writes it back there, with whatever
        followed the medium in the file.
        """
        path = _os.fspath(path)
        with open(path, "rb") as f:
            data = f.read()
        given = dict(_params(params), pages=pages)
        return cls._of(_libdace.SimImage.from_bytes(data, given, mount, _wear_start(level_wear)), path)

    @classmethod
    def pack(
        cls,
        folder: Union[str, _os.PathLike],
        *,
        total_pages: Optional[int] = None,
        skip_invalid: bool = False,
        level_wear: Optional[int] = None,
        **params,
    ) -> "Image":
        """The image ``dace pack`` makes of a flat folder.

        Files are created in the order of their names, with their
        modification times as stamps; the medium is just large enough unless
        ``total_pages`` is given. A nested folder, a name over 18 bytes or
        one with a separator is an :class:`ImageError`, or with
        ``skip_invalid`` a :class:`SkippedWarning`.
        """
        folder = _os.fspath(folder)
        if not _stat.S_ISDIR(_os.stat(folder).st_mode):
            raise NotADirectoryError(_errno.ENOTDIR, "not a folder", folder)
        medium, skipped = _libdace.SimImage.pack(
            folder, _params(params), total_pages, skip_invalid, _wear_start(level_wear)
        )
        for line in skipped:
            _warnings.warn(line, SkippedWarning, stacklevel=2)
        return cls._of(medium, None)

    def __repr__(self) -> str:
        p = self._m.params
        return (
            f"<libdace.Image {p['total_pages']} pages of {p['page_size']} bytes, "
            f"{p['clus_pages']} per cluster, CRC {p['crc']} seed {p['crc_seed']:#06x}>"
        )

    # ---- the medium ----------------------------------------------------

    @property
    def params(self) -> dict:
        """page_size, clus_pages, geometry_tag, total_pages (the medium's size), max_files, crc, crc_seed."""
        return self._m.params

    @property
    def mounted(self) -> bool:
        """Whether a volume is mounted (see ``mount=False`` of :meth:`from_bytes`)."""
        return self._m.mounted

    @property
    def level_wear(self) -> Optional[int]:
        """The wear-levelling cursor of the image's first mount, or None: first fit (see :class:`Image`)."""
        return self._m.level_wear

    @property
    def detected(self) -> str:
        """Which parameters came from the image, as the tool says it."""
        return self._m.detected

    def to_bytes(self) -> bytes:
        """The medium as it stands (what the last commit left, and no more),
        followed by whatever followed it in the image it was read from."""
        return self._m.to_bytes()

    def save(self, path: Union[str, _os.PathLike, None] = None) -> None:
        """Writes the medium to ``path`` (default: the file it came from).

        The file is replaced whole, through a temporary file beside it, so it
        holds the old image or the new one; an image that a ``dace mount``
        holds is refused. What is saved is what was committed (close or
        flush open files first), followed by the bytes that followed the
        medium in the image it was read from, as :meth:`to_bytes` gives.
        """
        if path is None:
            path = self.path
        if path is None:
            raise ValueError("this image came from no file: give a path")
        path = _os.fspath(path)
        self._m.save(path)
        self.path = path

    def copy(self) -> "Image":
        """A new image of this medium, mounted afresh (what is not committed stays behind).

        It levels wear as this image does, its mounts counted on from this one's.
        """
        return Image._of(self._m.copy(), None)

    def remount(self) -> None:
        """Mounts the medium again, as after a reboot.

        Every open file is closed by it, and what was not committed is lost.
        :class:`ImageError` when the medium does not mount.
        """
        self._m.remount()

    def counters(self) -> dict:
        """Medium traffic since the image was made: bytes_programmed, bytes_read, erases, writes, reads."""
        return self._m.counters()

    # ---- files ---------------------------------------------------------

    def listdir(self) -> List[str]:
        """Every file's name, in the order the files were created."""
        return [_decode(n) for n in self._m.listdir()]

    def stat(self, name: Name) -> Stat:
        """The entry of ``name``, changes not yet committed included."""
        size, clusters, stamp = self._m.stat(_encode(name))
        return Stat(_decode(_encode(name)), size, clusters, stamp)

    def exists(self, name: Name) -> bool:
        """Whether a file bears ``name``; False also for a name no file can bear."""
        try:
            self.stat(name)
        except ImageError:
            raise
        except (OSError, ValueError):
            return False
        return True

    def open(self, name: Name, mode: str = "rb") -> File:
        """Opens a file: ``"rb"`` to read, ``"ab"`` to append (created if
        missing), ``"wb"`` to write afresh (truncated, or created), ``"xb"``
        to create a file that must not exist.

        The file object works with ``with``, ``read``, ``write``,
        ``shutil.copyfileobj`` and ``io.BufferedReader``. Its data is durable
        once it is flushed or closed.
        """
        if mode not in _MODES:
            raise ValueError(f"mode must be one of {', '.join(_MODES)}, not {mode!r}")
        raw = _encode(name)
        return File(self._m.open(raw, mode), _decode(raw), mode)

    def read_file(self, name: Name) -> bytes:
        """The whole content of ``name``."""
        with self.open(name, "rb") as f:
            return f.read()

    def write_file(self, name: Name, data: bytes) -> None:
        """Makes ``data`` the whole content of ``name``, atomically; durable on return.

        The data goes to a new file under a temporary name (see
        :func:`temporary_name`), which then replaces ``name`` in one commit:
        a power cut at any moment leaves the old content or the new, never
        a mix or an empty file. So it needs room on the medium for the new
        content beside the old, and a free directory entry. When it raises
        (``ENOSPC``, ``EBUSY`` for a file open, ...), the temporary file is
        removed, and ``name`` holds what it held, or still does not exist;
        except when the replacing commit itself fell short (``EIO``): then,
        as for any change by name, the replacement stands in memory and the
        next commit writes it.

        A power cut between the two commits leaves the temporary file beside
        the old one (listed by :meth:`listdir`); the next ``write_file`` of
        the same name removes it first. Its name is reserved: give no file
        of your own a name that starts with ``.libdace-``.
        (``open(name, "wb")`` is not atomic: it empties the file first.)
        """
        raw = _encode(name)
        shown = _decode(raw)
        temp = temporary_name(raw).encode("ascii")
        f = None
        try:
            try:  # the name rules first, before anything is written
                self._m.stat(raw)
            except FileNotFoundError:
                pass
            if self._has(temp):  # left by a power cut: the content of no file
                self._m.remove(temp)
            f = File(self._m.open(temp, "xb"), shown, "xb")
            f.write(data)
            f.close()
            self._m.rename(temp, raw, True)
        except BaseException as e:
            self._discard(temp, f)
            if isinstance(e, OSError) and e.errno is not None:
                raise OSError(e.errno, e.strerror, shown) from None
            raise

    def _has(self, raw: bytes) -> bool:
        try:
            self._m.stat(raw)
        except FileNotFoundError:
            return False
        return True

    def _discard(self, temp: bytes, f: Optional[File]) -> None:
        """Removes what a failed :meth:`write_file` made. A rename that
        failed to reach the medium stands in memory: the temporary file is
        then ``name`` already, and the next commit writes it."""
        try:
            if f is not None and not f.closed:
                f.close()  # a file open is not removed; closing commits it
            if self._has(temp):
                self._m.remove(temp)
        except OSError:
            pass  # the medium fails (a power cut): the next write_file removes it

    def remove(self, name: Name) -> None:
        """Deletes a file that is not open; committed on return."""
        self._m.remove(_encode(name))

    def rename(self, old: Name, new: Name, replace: bool = False) -> None:
        """Gives ``old`` the name ``new``; committed on return.

        When ``new`` names another file, ``FileExistsError`` unless
        ``replace``: then that file is removed in the same commit, so a power
        cut leaves the two files as they were or ``new`` alone. Open files
        keep working.
        """
        self._m.rename(_encode(old), _encode(new), replace)

    def truncate(self, name: Name, length: int) -> None:
        """Shortens ``name`` to ``length`` bytes (more is ``EINVAL``: a file grows only by writing at its end); committed on return."""
        self._m.truncate(_encode(name), length)

    def sync(self) -> None:
        """Commits: everything written on every open file becomes durable."""
        self._m.sync()

    def free_space(self) -> int:
        """Bytes free (clusters released since the last commit included)."""
        return self._m.space()[0]

    def total_space(self) -> int:
        """Bytes the volume can hold."""
        return self._m.space()[1]

    # ---- as the tool does ----------------------------------------------

    def check(self) -> List[str]:
        """What ``dace check`` finds wrong with the medium; empty when it is clean."""
        return self._m.check()

    def map(self) -> List[Cluster]:
        """What each cluster holds, as ``dace map`` shows it."""
        return [
            Cluster(i, kind, None if owner is None else _decode(owner), problem)
            for i, (kind, owner, problem) in enumerate(self._m.map())
        ]

    def unpack(self, folder: Union[str, _os.PathLike]) -> List[str]:
        """Writes every file into ``folder`` as ``dace unpack`` does.

        Returns a line for each file not written (a name the host cannot
        use, a second entry of a name, a file that cannot be read); an empty
        list when every file was.
        """
        return self._m.unpack(_os.fspath(folder))


def _medium_options(page_size, clus_pages, geometry_tag, crc, crc_seed, max_files) -> dict:
    """The medium's settings as the module takes them (None: found in the image)."""
    return dict(page_size=page_size, clus_pages=clus_pages, geometry_tag=geometry_tag, crc=crc,
                crc_seed=crc_seed, max_files=max_files)


def _wear_start(level_wear: Optional[int]) -> Optional[int]:
    """The ``level_wear`` keyword checked: None, or a cursor that fits in 16 bits."""
    if level_wear is None:
        return None
    if not isinstance(level_wear, int) or isinstance(level_wear, bool):
        raise TypeError(f"level_wear is an int or None, not {type(level_wear).__name__}")
    if not 0 <= level_wear <= 0xFFFF:
        raise ValueError(f"level_wear must be 0 to 65535, not {level_wear}")
    return level_wear


def temporary_name(name: Name) -> str:
    """The name under which :meth:`Image.write_file` writes ``name``'s new
    content: ``.libdace-`` and 8 hex digits of the CRC-32 of the name's
    bytes, 17 bytes in all, so that it passes the name rules whatever the
    name, and a power cut's leftover of one name is found by the next write
    of that name."""
    return ".libdace-%08x" % _binascii.crc32(_encode(name))


def _params(params: dict) -> dict:
    known = {"page_size", "clus_pages", "geometry_tag", "crc", "crc_seed", "max_files"}
    unknown = set(params) - known
    if unknown:
        raise TypeError(f"unexpected parameters: {', '.join(sorted(unknown))}")
    return params


# ---- power cuts ------------------------------------------------------------


class PowerCut(NamedTuple):
    """Where :func:`power_cuts` cut the power.

    ``erase`` is None for a cut once ``programmed`` bytes had been
    programmed (the program that reaches that count stops there, torn
    within its page). Otherwise the power failed in the middle of the
    ``erase``-th erase of the run (1 for the first), which began after
    ``programmed`` bytes: the cluster is left partly erased.
    """

    programmed: int
    erase: Optional[int] = None


def cut_power(
    image: Image,
    action: Callable[[Image], object],
    after_bytes: Optional[int] = None,
    *,
    in_erase: Optional[int] = None,
    erased_part: float = 0.5,
) -> Image:
    """Runs ``action`` on a copy of ``image`` with the power failing once
    ``after_bytes`` more bytes have been programmed, or in the middle of the
    ``in_erase``-th erase (1 for the first); returns the image as the next
    mount finds it. Give one of the two.

    An erase cut leaves the first ``erased_part`` (0 to 1) of the cluster
    erased and the rest as it was, as a part that lost power mid-erase may.
    The copy is mounted before the count starts. From the cut on, every
    operation on the medium fails, so ``action`` sees ``OSError`` (``EIO``)
    from the call that met it; an exception raised after the cut ends the
    action quietly, one raised before it is passed on. When the action
    programs fewer bytes, or erases fewer clusters, the power stays on, and
    the image returned is still what a mount finds: the last commit.
    """
    if (after_bytes is None) == (in_erase is None):
        raise TypeError("give either after_bytes or in_erase")
    if in_erase is not None and in_erase < 1:
        raise ValueError("in_erase counts erases from 1")
    if not 0.0 <= erased_part <= 1.0:
        raise ValueError("erased_part lies in 0 to 1")
    work = image.copy()
    if in_erase is None:
        work._m.cut_power_after(after_bytes)
    else:
        work._m.cut_power_in_erase(in_erase, erased_part)
    try:
        action(work)
    except Exception:
        if work._m.powered:
            raise
    return work.copy()


def programmed_bytes(image: Image, action: Callable[[Image], object]) -> int:
    """How many bytes ``action`` programs on a copy of ``image``, uncut."""
    return _uncut_run(image, action)[0]


def _uncut_run(image: Image, action: Callable[[Image], object]) -> Tuple[int, List[int]]:
    """The bytes ``action`` programs on a copy of ``image``, and for each
    erase it makes, the bytes programmed before that erase began."""
    work = image.copy()
    work._m.reset_counters()
    work._m.trace(True)
    try:
        action(work)
        return work.counters()["bytes_programmed"], work._m.erase_starts()
    finally:
        work._m.trace(False)


def power_cuts(
    image: Image,
    action: Callable[[Image], object],
    step: int = 1,
    *,
    erases: bool = True,
    erased_part: float = 0.5,
) -> Iterator[Tuple[PowerCut, Image]]:
    """Cuts the power at every point of an uncut run of ``action`` on a
    copy of ``image``: yields each :class:`PowerCut` and the image as a
    mount finds it after that cut (see :func:`cut_power`).

    The points are every ``step``-th count of programmed bytes from 0 to
    what the uncut run programs (always the last), and, with ``erases``,
    the middle of every erase the run makes, all in the order in which the
    run meets them. ``action`` must do the same each time it runs.
    """
    if step < 1:
        raise ValueError("step must be at least 1")
    total, erase_starts = _uncut_run(image, action)
    points = [PowerCut(n) for n in range(0, total, step)] + [PowerCut(total)]
    if erases:
        points += [PowerCut(start, m) for m, start in enumerate(erase_starts, 1)]
    points.sort(key=_in_run_order)
    for point in points:
        if point.erase is None:
            yield point, cut_power(image, action, point.programmed)
        else:
            yield point, cut_power(image, action, in_erase=point.erase, erased_part=erased_part)


def _in_run_order(point: PowerCut) -> Tuple[int, int, int]:
    """Orders cuts as the run meets them. A cut after n > 0 bytes falls as
    the program that reaches n ends, before an erase that follows it; a cut
    after 0 bytes falls at the first program, after the erases before it."""
    if point.erase is not None:
        return point.programmed, 1, point.erase
    return point.programmed, 0 if point.programmed > 0 else 2, 0


_PLAN_SECTIONS = ("part", "record", "log", "settings", "reboot", "config", "run")


def _plan_parts(value):
    """The parts a ``part`` keyword names: a class name or a part file's
    path, a dict of keys laid over each part, or a list of class names,
    part files and dicts compared side by side."""
    if isinstance(value, dict):
        return value
    if isinstance(value, (str, _os.PathLike)):
        value = [value]
    parts = []
    for item in value:
        if isinstance(item, dict):
            parts.append(item)
        elif str(item) in _libdace.part_class_names() or not (
                _os.path.exists(item) or "/" in str(item) or str(item).endswith(".json")):
            parts.append({"class": str(item)})
        else:
            with open(item, encoding="utf-8") as f:
                found = _json.load(f)
            found = found if isinstance(found, list) else [found]
            if len(found) == 1 and isinstance(found[0], dict) and "label" not in found[0]:
                found[0]["label"] = _os.path.splitext(_os.path.basename(item))[0]
            parts.extend(found)
    return parts


def plan(workload: Union[None, dict, str, "_os.PathLike[str]"] = None, **sections) -> dict:
    """What a workload costs flash parts, as ``dace plan --json`` reports it.

    ``workload`` is a workload document (a dict in the layout of the JSON
    file ``dace plan`` reads, see tools/README.md), the path of such a file,
    or None for the defaults. Keyword arguments named after its sections
    (``part``, ``record``, ``log``, ``settings``, ``reboot``, ``config``,
    ``run``) override the keys they give, as the tool's options do. ``part``
    may also be a class name (``"nor-4k"``, ``"nor-4k-quad"``,
    ``"nand-512"``) or a part file's path, which replaces the workload's
    part, or a list of them (and of dicts of part keys), compared side by
    side; a dict is laid over each part. For example
    ``plan(record={"size": 64}, part=["nor-4k", "nand-512"])``.

    Returns the report as a dict with the keys of ``dace plan --json``
    (``boot_ms[mode]["empty"]``, ``worst_write_ms[mode]``,
    ``life_years[mode]`` ... of the first part, ``mode`` being
    ``"first_fit"`` or ``"wear_levelling"``; ``parts[i]`` the same for each
    part; ``answer`` the comparison in words). A key or value the tool
    refuses, and a workload that does not fit the part, raise ValueError with
    the tool's message. The run is deterministic: the same input gives the
    same report.
    """
    if workload is None:
        text = "{}"
    elif isinstance(workload, dict):
        text = _json.dumps(workload)
    else:
        with open(workload, encoding="utf-8") as f:
            text = f.read()
    overrides = {}
    for name, value in sections.items():
        if name not in _PLAN_SECTIONS:
            raise TypeError(f"plan() got an unexpected keyword argument {name!r} "
                            f"(sections: {', '.join(_PLAN_SECTIONS)})")
        overrides[name] = _plan_parts(value) if name == "part" else value
    return _json.loads(_libdace.plan(text, _json.dumps(overrides)))


def part_classes() -> str:
    """The part classes ``plan`` knows, each with the figures it assumes."""
    return _libdace.part_classes()
