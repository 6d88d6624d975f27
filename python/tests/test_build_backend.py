"""Tests of the build backend behind pyproject.toml, without compiling the
module (python/tests/pip_install.py does that): what it refuses and how it
says so, the wheel's tag and record, the source archive."""

import base64
import csv
import hashlib
import io
import pathlib
import sys
import tarfile
import types
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python" / "build_backend"))
import veltrane_build  # noqa: E402


@pytest.fixture
def in_source_tree(monkeypatch):
    monkeypatch.chdir(ROOT)


def refusal_of(call):
    with pytest.raises(SystemExit) as refused:
        call()
    return str(refused.value)


def test_the_metadata_come_from_pyproject_and_the_version_from_cmake():
    import veltrane

    name, version, meta = veltrane_build.metadata(ROOT)
    assert (name, version) == ("veltrane", veltrane.__version__)
    assert "Requires-Dist: numpy\n" in meta
    assert "Requires-Python: >=3.9\n" in meta


@pytest.mark.parametrize("project, says", [
    ('name = "veltrane"\ndynamic = ["version"]\nreadme = "README.md"\n', "does not handle readme"),
    ('name = "veltrane"\nversion = "1.0"\n', 'dynamic = ["version"]'),
])
def test_pyproject_fields_the_backend_cannot_honour_are_refused(tmp_path, project, says):
    (tmp_path / "pyproject.toml").write_text("[project]\n" + project)
    (tmp_path / "CMakeLists.txt").write_text("project(veltrane VERSION 1.2.3)\n")
    assert says in refusal_of(lambda: veltrane_build.metadata(tmp_path))


def test_a_cmake_project_without_a_version_is_refused(tmp_path):
    (tmp_path / "CMakeLists.txt").write_text("project(veltrane)\n")
    assert "no project(veltrane VERSION" in refusal_of(
        lambda: veltrane_build.project_version(tmp_path))


def test_hooks_outside_the_source_tree_are_refused(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert "is not Veltrane's source tree" in refusal_of(
        lambda: veltrane_build.build_sdist(str(tmp_path)))


def test_the_refusal_names_what_lacks_and_how_to_build_for_debians_python(monkeypatch):
    monkeypatch.setattr(veltrane_build, "_python_include_dir", lambda: pathlib.Path("/nowhere"))
    monkeypatch.setattr(veltrane_build, "_pybind11_cmake_dir", lambda: None)
    monkeypatch.setattr(veltrane_build, "_has_numpy", lambda: False)
    monkeypatch.setattr(veltrane_build, "_interpreter_kind", lambda: None)
    message = refusal_of(veltrane_build._check_interpreter)
    assert message.startswith(f"veltrane: cannot build the Python module for {sys.executable}")
    assert "no C headers (Python.h in /nowhere) and no pybind11" in message
    assert "and no numpy" in message
    assert "/usr/bin/python3 -m venv --system-site-packages venv\n" in message
    assert "venv/bin/pip install --no-build-isolation ." in message

    # Debian's own python3 is told which packages bring what it lacks.
    monkeypatch.setattr(veltrane_build, "_interpreter_kind", lambda: "debian")
    message = refusal_of(veltrane_build._check_interpreter)
    assert "apt-get install python3-dev pybind11-dev python3-numpy" in message
    assert "venv" not in message

    # A venv that does not see the system's packages is told so.
    monkeypatch.setattr(veltrane_build, "_interpreter_kind", lambda: "isolated venv")
    assert "made without --system-site-packages" in refusal_of(veltrane_build._check_interpreter)


def test_the_interpreter_of_these_tests_has_what_the_build_needs():
    # This is the interpreter the build tree's module serves, with Debian's packages.
    assert veltrane_build._has_numpy()
    assert (veltrane_build._pybind11_cmake_dir() / "pybind11Config.cmake").is_file()
    assert (veltrane_build._python_include_dir() / "Python.h").is_file()


def test_other_implementations_and_a_missing_cmake_are_refused(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert "CMake is not on the PATH" in refusal_of(veltrane_build._check_interpreter)
    monkeypatch.setattr(sys, "implementation", types.SimpleNamespace(name="pypy"))
    assert "CPython only, not pypy" in refusal_of(veltrane_build._check_interpreter)


@pytest.mark.parametrize("cmake_lists, says", [
    ('message(FATAL_ERROR "no GSL here")\n', "the CMake build of the module for"),
    ("cmake_minimum_required(VERSION 3.25)\nproject(x NONE)\n"
     "add_custom_target(veltrane_python)\n", "the build made [], not veltrane"),
])
def test_a_failed_or_empty_cmake_build_is_refused(tmp_path, cmake_lists, says):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "CMakeLists.txt").write_text(cmake_lists)
    message = refusal_of(lambda: veltrane_build.build_module(
        tmp_path / "src", tmp_path / "build", pathlib.Path("/nowhere")))
    assert says in message


def test_the_wheel_tag_is_one_this_interpreter_installs():
    tags = pytest.importorskip("packaging.tags")
    assert veltrane_build.wheel_tag() in {str(t) for t in tags.sys_tags()}


def test_the_wheel_record_holds_every_file_with_its_hash(tmp_path):
    files = {"veltrane.so": (b"\x7fELF module", True), "veltrane.pyi": (b"def f() -> int: ...\n",
                                                                        False)}
    name = veltrane_build.write_wheel(tmp_path, "veltrane", "1.2.3", "cp311-cp311-linux_x86_64",
                                      files)
    assert name == "veltrane-1.2.3-cp311-cp311-linux_x86_64.whl"
    with zipfile.ZipFile(tmp_path / name) as wheel:
        record_text = wheel.read("veltrane-1.2.3.dist-info/RECORD").decode()
        record = list(csv.reader(io.StringIO(record_text)))
        assert sorted(row[0] for row in record) == sorted(wheel.namelist())
        for path, digest, size in record:
            if path.endswith("RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = wheel.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, int(size)) == ("sha256=" + expected.decode(), len(data))
        assert wheel.getinfo("veltrane.so").external_attr >> 16 == 0o755


def test_the_source_archive_holds_what_the_build_needs(in_source_tree, tmp_path):
    name = veltrane_build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as archive:
        names = set(archive.getnames())
    base = name[:-len(".tar.gz")]
    for path in ("PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE",
                 "python/build_backend/veltrane_build.py", "python/veltrane_module.cpp",
                 "python/veltrane.pyi", "compute/curves/data/elements.csv"):
        assert f"{base}/{path}" in names
    assert not any(n.startswith(f"{base}/build/") for n in names)
