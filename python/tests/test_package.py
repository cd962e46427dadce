"""The package as pip builds it: the version from dace/dace.h, and a wheel
that installs and imports (its CMake build is CI's pip check)."""
import base64
import csv
import hashlib
import io
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

import libdace

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import build_backend  # noqa: E402


def test_the_version_is_the_librarys():
    # The module is compiled with DACE_VERSION; the backend reads dace.h's text.
    assert libdace.__version__ == build_backend.version()
    assert re.fullmatch(r"\d+\.\d+\.\d+", libdace.__version__)


def test_metadata_names_libdace_and_the_interpreter(tmp_path):
    name = build_backend.prepare_metadata_for_build_wheel(str(tmp_path))
    assert name == f"libdace-{libdace.__version__}.dist-info"
    fields = dict(line.split(": ", 1) for line in (tmp_path / name / "METADATA").read_text().splitlines())
    assert (fields["Name"], fields["Version"], fields["License"]) == ("libdace", libdace.__version__, "MIT")
    tag = dict(line.split(": ", 1) for line in (tmp_path / name / "WHEEL").read_text().splitlines())["Tag"]
    python, abi, platform = tag.split("-")
    assert python == f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert abi.removeprefix("cp") in build_backend.sysconfig.get_config_var("EXT_SUFFIX")
    with pytest.raises(build_backend.UnsupportedOperation):
        build_backend.build_sdist(str(tmp_path))


def test_the_wheel_holds_the_built_package_and_installs(tmp_path, monkeypatch):
    built = pathlib.Path(libdace.__file__).parent  # what CMake built for this interpreter
    monkeypatch.setattr(build_backend, "build_package", lambda: built)
    wheel = tmp_path / build_backend.build_wheel(str(tmp_path))
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        info = f"libdace-{libdace.__version__}.dist-info"
        rows = list(csv.reader(io.StringIO(z.read(f"{info}/RECORD").decode())))
        assert {row[0] for row in rows} == names
        for path, digest, size in rows:
            if path.endswith("RECORD"):
                continue
            content = z.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(content)), path
        z.extractall(tmp_path / "site")
    # Installed alone (a wheel is unpacked as it is), it imports and works.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    script = "import libdace; i = libdace.Image(total_pages=256); i.write_file('a', b'x'); print(libdace.__file__, i.listdir())"
    out = subprocess.run([sys.executable, "-c", script], cwd=tmp_path / "site", env=env,
                         capture_output=True, text=True, check=True).stdout
    assert out.startswith(str(tmp_path / "site" / "libdace")) and "['a']" in out
