"""Builds the libdace wheel for pip, with the project's own CMake files.

    python3 -m venv venv && venv/bin/pip install ./python

pip runs this file as the package's build backend (pyproject.toml). It
needs nothing beyond Python's standard library, so any interpreter builds
the package: one from pyenv whose setuptools cannot make wheels, or a venv
that sees no system packages. The native module is built by CMake (target
dace_python) for the interpreter that runs pip; CMake, a C++20 compiler,
pybind11's CMake files and that interpreter's headers must be there
(.ci/install-deps installs them on Debian). The version is dace/dace.h's.
"""
import base64
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
PACKAGE = "libdace"


class UnsupportedOperation(Exception):
    """What this backend does not make (an sdist: the package is built from
    the whole repository)."""


def version() -> str:
    """DACE_VERSION_MAJOR.MINOR.PATCH of dace/dace.h."""
    text = (ROOT / "dace" / "dace.h").read_text()
    parts = [re.search(rf"^#define DACE_VERSION_{part} (\d+)$", text, re.M) for part in ("MAJOR", "MINOR", "PATCH")]
    if not all(parts):
        raise RuntimeError("dace/dace.h defines no DACE_VERSION_MAJOR, _MINOR and _PATCH")
    return ".".join(m[1] for m in parts)


def project() -> dict:
    """The plain string keys of pyproject.toml's [project] table."""
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", (HERE / "pyproject.toml").read_text(), re.M | re.S)
    return dict(re.findall(r'^([\w-]+) = "([^"]*)"$', table[1] if table else "", re.M))


def wheel_tag() -> str:
    """python-abi-platform of this interpreter, for a module built for it alone."""
    soabi = sysconfig.get_config_var("SOABI") or ""
    match = re.fullmatch(r"cpython-(\d+\w*)-.*", soabi)
    if sys.implementation.name != "cpython" or not match:
        raise UnsupportedOperation(f"this backend builds for CPython only, not {sys.implementation.name} ({soabi})")
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-cp{match[1]}-{platform}"


def metadata() -> str:
    about = project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {PACKAGE}",
        f"Version: {version()}",
        f"Summary: {about.get('description', '')}",
        f"Requires-Python: {about.get('requires-python', '>=3.9')}",
        "License: MIT",
    ]
    return "\n".join(lines) + "\n"


def dist_info_files() -> dict:
    return {
        "METADATA": metadata(),
        "WHEEL": f"Wheel-Version: 1.0\nGenerator: {PACKAGE} build_backend\nRoot-Is-Purelib: false\nTag: {wheel_tag()}\n",
        "LICENSE": (ROOT / "LICENSE").read_text(),
    }


def dist_info_name() -> str:
    return f"{PACKAGE}-{version()}.dist-info"


def build_package() -> pathlib.Path:
    """Configures and builds with CMake; returns the package folder it made.

    The build tree is kept under python/build/, one per interpreter, so that
    installing again rebuilds only what changed.
    """
    real = os.path.realpath(sys.executable)
    key = hashlib.sha256(real.encode()).hexdigest()[:8]
    build = HERE / "build" / f"cmake-{sys.implementation.cache_tag}-{key}"
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build),
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DDACE_PYTHON={sys.executable}",
        "-DDACE_BUILD_TESTS=OFF",
        "-DDACE_BUILD_BENCH=OFF",
    ]
    if not (build / "CMakeCache.txt").exists() and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    done = subprocess.run(configure, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    sys.stderr.write(done.stdout)
    left_out = re.search(r"the Python module is left out: (.*)", done.stdout)
    if done.returncode != 0 or left_out:
        why = left_out[1] if left_out else "see CMake's output above"
        raise RuntimeError(f"CMake cannot build the module for {sys.executable}: {why}")
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "dace_python", "--parallel", str(os.cpu_count() or 1)],
        check=True,
    )
    package = build / "python" / "package" / PACKAGE
    module = package / f"_{PACKAGE}{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not module.exists():
        found = sorted(p.name for p in package.glob(f"_{PACKAGE}*"))
        raise RuntimeError(f"CMake built no {module.name} for {sys.executable} (found {found})")
    return package


def record_line(path: str, content: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(content)}"


# ---- the hooks pip calls ------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = pathlib.Path(metadata_directory) / dist_info_name()
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in dist_info_files().items():
        (folder / name).write_text(text)
    return folder.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    package = build_package()
    files = {f"{PACKAGE}/__init__.py": (package / "__init__.py").read_bytes()}
    module = f"_{PACKAGE}{sysconfig.get_config_var('EXT_SUFFIX')}"
    files[f"{PACKAGE}/{module}"] = (package / module).read_bytes()
    info = dist_info_name()
    for name, text in dist_info_files().items():
        files[f"{info}/{name}"] = text.encode()
    record = [record_line(path, content) for path, content in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()

    wheel = pathlib.Path(wheel_directory) / f"{PACKAGE}-{version()}-{wheel_tag()}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as out:
        for path, content in files.items():
            entry = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if path.endswith(".so") else 0o644) << 16
            out.writestr(entry, content, zipfile.ZIP_DEFLATED)
    return wheel.name


def build_sdist(sdist_directory, config_settings=None):
    raise UnsupportedOperation("the package is built from the whole repository: install it with pip install ./python")
