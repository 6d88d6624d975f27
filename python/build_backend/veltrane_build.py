"""The PEP 517 build backend of the Python module `veltrane` (pyproject.toml).

`pip install .` builds the module with the project's own CMake build, for the
interpreter that runs pip: only the module's target, in a temporary build
directory, with the window, tests and benchmarks off and the project's flags
(-ffp-contract=off among them) as CMake sets them. The wheel holds the
compiled module and its stub, veltrane.pyi.

Nothing is downloaded: the build needs CMake, a C++20 compiler, GSL, pybind11
and the interpreter's headers on the machine, and the module needs NumPy where
it is installed. An interpreter without them is refused before anything is
compiled, with one message that says what it lacks and how to build for
Debian's python3 instead.
"""

import base64
import glob
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

DEBIAN_PYTHON = "/usr/bin/python3"
MODULE_TARGET = "veltrane_python"


class BuildRefused(SystemExit):
    """A build that cannot work here: its message is all the user sees, without a traceback."""

    def __init__(self, message):
        super().__init__("veltrane: " + message)


# --- what the interpreter has --------------------------------------------------------------------


def _ask_interpreter(code):
    """Runs `code` in a new process of this interpreter as it is where the wheel will be
    installed; returns its standard output, or None when it fails.

    pip's build isolation (its default) hides the installed packages from the
    backend through PYTHONPATH and PYTHONNOUSERSITE; -E ignores both."""
    try:
        done = subprocess.run([sys.executable, "-E", "-c", code], capture_output=True, text=True)
    except OSError:
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def _has_numpy():
    import importlib.util

    if importlib.util.find_spec("numpy") is not None:
        return True
    return _ask_interpreter("import numpy") is not None


def _pybind11_cmake_dir():
    """The folder of pybind11Config.cmake: the pybind11 Python package's, else the system's
    (Debian's pybind11-dev), or None."""
    try:
        import pybind11

        return Path(pybind11.get_cmake_dir())
    except (ImportError, AttributeError):
        pass
    folder = _ask_interpreter("import pybind11; print(pybind11.get_cmake_dir())")
    if folder:
        return Path(folder)
    prefixes = [p for p in os.environ.get("CMAKE_PREFIX_PATH", "").split(os.pathsep) if p]
    prefixes += [sys.prefix, sys.base_prefix, "/usr/local", "/usr"]
    for prefix in prefixes:
        for pattern in ("lib/cmake/pybind11", "lib/*/cmake/pybind11", "share/cmake/pybind11"):
            for folder in sorted(glob.glob(os.path.join(prefix, pattern))):
                if os.path.isfile(os.path.join(folder, "pybind11Config.cmake")):
                    return Path(folder)
    return None


def _python_include_dir():
    return Path(sysconfig.get_paths()["include"])


def _interpreter_kind():
    """"debian" for Debian's python3 itself, "isolated venv" for a venv that does not see the
    system's packages, else None."""
    if sys.prefix != sys.base_prefix:
        config = Path(sys.prefix) / "pyvenv.cfg"
        text = config.read_text(encoding="utf-8", errors="replace") if config.is_file() else ""
        if re.search(r"^include-system-site-packages\s*=\s*false", text, re.M | re.I):
            return "isolated venv"
        return None
    real = Path(os.path.realpath(sys.executable))
    return "debian" if sys.prefix == "/usr" and real.parent == Path("/usr/bin") else None


DEBIAN_PACKAGES = "python3-dev pybind11-dev python3-numpy"


def refusal(executable, version, lacks, kind):
    """The one message for an interpreter that cannot build the module, or None when it lacks
    nothing. `lacks` names the missing parts; `kind` is _interpreter_kind()'s answer."""
    if not lacks:
        return None
    message = (f"cannot build the Python module for {executable} (Python {version}): "
               f"it has no {' and no '.join(lacks)}.\n")
    if kind == "debian":
        return message + f"Install Debian's packages: apt-get install {DEBIAN_PACKAGES}\n"
    if kind == "isolated venv":
        message += ("This venv was made without --system-site-packages: it does not see "
                    "Debian's packages.\n")
    return message + (
        "The module is built for the Python that runs pip. Give this one what it lacks and run\n"
        "pip again, or build for Debian's python3 (apt-get install "
        f"{DEBIAN_PACKAGES}),\nin a venv that sees its packages:\n"
        f"    {DEBIAN_PYTHON} -m venv --system-site-packages venv\n"
        "    venv/bin/pip install --no-build-isolation .\n")


def _check_interpreter():
    """Refuses an interpreter that cannot build or import the module; returns pybind11's folder."""
    if sys.implementation.name != "cpython":
        raise BuildRefused(f"the module is built for CPython only, not {sys.implementation.name} "
                           f"({sys.executable}); build it with {DEBIAN_PYTHON}.")
    lacks = []
    if not (_python_include_dir() / "Python.h").is_file():
        lacks.append(f"C headers (Python.h in {_python_include_dir()})")
    pybind11_dir = _pybind11_cmake_dir()
    if pybind11_dir is None:
        lacks.append("pybind11 (neither its Python package nor pybind11Config.cmake)")
    if not _has_numpy():
        lacks.append("numpy")
    version = ".".join(map(str, sys.version_info[:3]))
    message = refusal(sys.executable, version, lacks, _interpreter_kind())
    if message:
        raise BuildRefused(message)
    if shutil.which("cmake") is None:
        raise BuildRefused("CMake is not on the PATH (Debian: apt-get install cmake g++ "
                           "libgsl-dev).")
    return pybind11_dir


# --- the project's metadata ----------------------------------------------------------------------


def _source_dir():
    # PEP 517 runs the hooks in the source tree.
    root = Path.cwd()
    if not (root / "CMakeLists.txt").is_file() or not (root / "pyproject.toml").is_file():
        raise BuildRefused(f"{root} is not Veltrane's source tree (no CMakeLists.txt).")
    return root


def _load_toml(path):
    text = path.read_text(encoding="utf-8")
    for name in ("tomllib", "tomli", "pip._vendor.tomli"):
        try:
            module = __import__(name, fromlist=["loads"])
        except ImportError:
            continue
        return module.loads(text)
    raise BuildRefused(f"reading {path} needs Python 3.11 or the package tomli.")


def project_version(root):
    """The version of project() in CMakeLists.txt, the one place it is kept."""
    text = (root / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(\s*veltrane\s+VERSION\s+([0-9.]+)", text)
    if not found:
        raise BuildRefused("CMakeLists.txt has no project(veltrane VERSION ...).")
    return found.group(1)


def metadata(root):
    """The core metadata (METADATA, PKG-INFO) from pyproject.toml's [project]."""
    project = _load_toml(root / "pyproject.toml")["project"]
    if project.get("dynamic", []) != ["version"] or "version" in project:
        raise BuildRefused("pyproject.toml: the version is taken from CMakeLists.txt "
                           '(dynamic = ["version"]), nothing else is dynamic.')
    known = {"name", "dynamic", "description", "requires-python", "dependencies", "license",
             "authors", "urls"}
    unknown = sorted(set(project) - known)
    if unknown:
        raise BuildRefused(f"pyproject.toml: this backend does not handle {', '.join(unknown)}.")
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project_version(root)}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    for author in project.get("authors", []):
        if "email" in author:
            lines.append(f"Author-email: {author.get('name', '')} <{author['email']}>".strip())
        else:
            lines.append(f"Author: {author['name']}")
    if "license" in project:
        lines.append(f"License: {project['license']['text']}")
    for label, url in project.get("urls", {}).items():
        lines.append(f"Project-URL: {label}, {url}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    return project["name"], project_version(root), "\n".join(lines) + "\n"


def wheel_tag():
    """The tag of a module built for this interpreter, e.g. cp311-cp311-linux_x86_64."""
    version = f"{sys.version_info[0]}{sys.version_info[1]}"
    abi = f"cp{version}{getattr(sys, 'abiflags', '')}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"cp{version}-{abi}-{platform}"


def _wheel_file(tag):
    return "\n".join(["Wheel-Version: 1.0", "Generator: veltrane_build", "Root-Is-Purelib: false",
                      f"Tag: {tag}", ""])


# --- the CMake build -----------------------------------------------------------------------------


def _run(command):
    print("+ " + " ".join(map(str, command)), flush=True)
    if subprocess.run(command).returncode != 0:
        raise BuildRefused(f"the CMake build of the module for {sys.executable} failed: "
                           f"CMake says why above ({' '.join(map(str, command[:3]))} ...).")


def build_module(root, build, pybind11_dir):
    """Configures and builds only the module's target in `build`; returns the module's path.

    pybind11 names the module with the EXT_SUFFIX of the interpreter it is
    given; a module named otherwise would not be imported by this one."""
    ext_suffix = sysconfig.get_config_var("EXT_SUFFIX")
    configure = [
        "cmake", "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
        "-DVELTRANE_BUILD_UI=OFF", "-DVELTRANE_BUILD_TESTS=OFF", "-DVELTRANE_BUILD_BENCH=OFF",
        "-DVELTRANE_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}",
        f"-DPython_INCLUDE_DIR={_python_include_dir()}", f"-Dpybind11_DIR={pybind11_dir}"
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    _run(configure)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    _run(["cmake", "--build", build, "--target", MODULE_TARGET, "--parallel", jobs])
    module = Path(build) / "python" / f"veltrane{ext_suffix}"
    if not module.is_file():
        made = sorted(p.name for p in (Path(build) / "python").glob("veltrane*"))
        raise BuildRefused(f"the build made {made}, not {module.name} for {sys.executable}.")
    return module


# --- wheel and sdist -----------------------------------------------------------------------------


def _zip_time():
    # Reproducible archives: the time of SOURCE_DATE_EPOCH, else the zip format's first day.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        import time

        return max(time.gmtime(int(epoch))[:6], (1980, 1, 1, 0, 0, 0))
    return (1980, 1, 1, 0, 0, 0)


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest}"


def write_wheel(directory, name, version, tag, files):
    """Writes the wheel of `files` ({path in the wheel: (bytes, executable)}); returns its name."""
    wheel_name = f"{name}-{version}-{tag}.whl"
    dist_info = f"{name}-{version}.dist-info"
    record = io.StringIO()
    with zipfile.ZipFile(Path(directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, (data, executable) in files.items():
            entry = zipfile.ZipInfo(path, _zip_time())
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o755 if executable else 0o644) << 16
            wheel.writestr(entry, data)
            record.write(f"{path},{_record_hash(data)},{len(data)}\n")
        record.write(f"{dist_info}/RECORD,,\n")
        entry = zipfile.ZipInfo(f"{dist_info}/RECORD", _zip_time())
        entry.external_attr = 0o644 << 16
        wheel.writestr(entry, record.getvalue(), zipfile.ZIP_DEFLATED)
    return wheel_name


def _dist_info_files(root, name, version, meta, tag):
    dist_info = f"{name}-{version}.dist-info"
    return {
        f"{dist_info}/METADATA": (meta.encode(), False),
        f"{dist_info}/WHEEL": (_wheel_file(tag).encode(), False),
        f"{dist_info}/LICENSE": ((root / "LICENSE").read_bytes(), False),
    }


# --- the PEP 517 hooks ---------------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    _check_interpreter()
    root = _source_dir()
    name, version, meta = metadata(root)
    dist_info = Path(metadata_directory) / f"{name}-{version}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    for path, (data, _) in _dist_info_files(root, name, version, meta, wheel_tag()).items():
        (Path(metadata_directory) / path).write_bytes(data)
    return dist_info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    pybind11_dir = _check_interpreter()
    root = _source_dir()
    name, version, meta = metadata(root)
    tag = wheel_tag()
    with tempfile.TemporaryDirectory(prefix="veltrane-wheel-") as build:
        module = build_module(root, build, pybind11_dir)
        files = {
            module.name: (module.read_bytes(), True),
            "veltrane.pyi": ((root / "python" / "veltrane.pyi").read_bytes(), False),
        }
    files.update(_dist_info_files(root, name, version, meta, tag))
    return write_wheel(wheel_directory, name, version, tag, files)


def _source_files(root):
    """The files of the source tree: in a checkout those git does not ignore, else all but
    builds."""
    if (root / ".git").exists() and shutil.which("git"):
        listed = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others",
                                 "--exclude-standard"], capture_output=True)
        if listed.returncode == 0:
            names = [n for n in listed.stdout.decode().split("\0") if n]
            return sorted(n for n in names if (root / n).is_file())
    skip = {".git", "build", "__pycache__", "dist"}
    found = []
    for folder, subfolders, names in os.walk(root):
        subfolders[:] = sorted(s for s in subfolders if s not in skip)
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
    return sorted(found)


def build_sdist(sdist_directory, config_settings=None):
    root = _source_dir()
    name, version, meta = metadata(root)
    base = f"{name}-{version}"
    mtime = 315532800  # 1980-01-01, as the wheel's entries
    if os.environ.get("SOURCE_DATE_EPOCH"):
        mtime = int(os.environ["SOURCE_DATE_EPOCH"])

    def add(archive, arcname, data, mode):
        info = tarfile.TarInfo(f"{base}/{arcname}")
        info.size, info.mtime, info.mode = len(data), mtime, mode
        archive.addfile(info, io.BytesIO(data))

    sdist_name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / sdist_name, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        add(tar, "PKG-INFO", meta.encode(), 0o644)
        for relative in _source_files(root):
            path = root / relative
            add(tar, relative, path.read_bytes(), 0o755 if os.access(path, os.X_OK) else 0o644)
    return sdist_name
