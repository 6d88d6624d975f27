"""`pip install .` as a Python user runs it: into a fresh venv made from the
system's python3, offline, then `import veltrane` from outside the source tree.

Run by CTest (python_pip_install) with the interpreter the build tree's module
serves; it compiles the module once, in a temporary build directory. Not named
test_*.py: the quick pytest run of this folder leaves it out.
"""

import json
import os
import pathlib
import subprocess
import sys

import veltrane

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON = os.environ.get("VELTRANE_PYTHON", sys.executable)


def user_env():
    """The environment without the build tree on PYTHONPATH, as a user has it."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


def make_venv(path, system_site_packages):
    command = [PYTHON, "-m", "venv", str(path)]
    if system_site_packages:
        command.insert(3, "--system-site-packages")
    subprocess.run(command, check=True, env=user_env())
    return path / "bin" / "python"


def pip_install(python, cwd):
    # --no-index: nothing may come from the network; NumPy is the system's.
    return subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation",
                           "--no-index", "--no-cache-dir", str(ROOT)],
                          cwd=cwd, env=user_env(), capture_output=True, text=True)


REPORT = """
import importlib.metadata, json, sysconfig, veltrane
print(json.dumps({
    "file": veltrane.__file__,
    "version": veltrane.__version__,
    "distribution": importlib.metadata.version("veltrane"),
    "platlib": sysconfig.get_paths()["platlib"],
    "ext_suffix": sysconfig.get_config_var("EXT_SUFFIX"),
    "fields": veltrane.equal_abundance("Tungsten", 4),
}))
"""


def test_pip_installs_the_module_into_a_venv_and_it_imports_from_outside_the_source_tree(
        tmp_path):
    python = make_venv(tmp_path / "venv", system_site_packages=True)
    work = tmp_path / "elsewhere"
    work.mkdir()
    done = pip_install(python, work)
    assert done.returncode == 0, done.stdout + done.stderr

    run = subprocess.run([str(python), "-c", REPORT], cwd=work, env=user_env(),
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout)
    module = pathlib.Path(got["file"])
    # The venv's own copy, compiled for the venv's interpreter, with its stub.
    assert module.parent == pathlib.Path(got["platlib"])
    assert module.name == "veltrane" + got["ext_suffix"]
    assert (module.parent / "veltrane.pyi").read_bytes() == (ROOT / "python" /
                                                             "veltrane.pyi").read_bytes()
    assert got["version"] == got["distribution"] == veltrane.__version__
    # The same numbers as the build tree's module: the same C++ and the same flags.
    expected = [dict(f, pair=list(f["pair"])) for f in veltrane.equal_abundance("Tungsten", 4)]
    assert got["fields"] == expected

    # pip's record of the files is whole: uninstalling leaves none behind.
    removed = subprocess.run([str(python), "-m", "pip", "uninstall", "-y", "veltrane"],
                             env=user_env(), capture_output=True, text=True)
    assert removed.returncode == 0, removed.stderr
    assert not list(pathlib.Path(got["platlib"]).glob("veltrane*"))


def test_an_interpreter_without_numpy_is_refused_before_anything_is_compiled(tmp_path):
    python = make_venv(tmp_path / "bare", system_site_packages=False)
    done = pip_install(python, tmp_path)
    output = done.stdout + done.stderr
    assert done.returncode != 0
    assert f"cannot build the Python module for {python.parent}/python" in output
    assert "it has no numpy" in output
    assert "--system-site-packages" in output
    assert "Building wheel" not in output
    platlib = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()"
                              "['platlib'])"], capture_output=True, text=True).stdout.strip()
    assert not list(pathlib.Path(platlib).glob("veltrane*"))
