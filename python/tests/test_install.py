"""The one-command install: pip builds the package from a copy of the source
tree into a fresh virtual environment, and the example host then runs there
against the substitute platform, with the copy removed.

Each build takes minutes on a small machine, so by default one CPython is
tried: the python3 first on PATH when it is another installation than
Debian's (the interpreter a developer runs, and the harder case: it may lack
the wheel package), else Debian's. QELKIT_TEST_PYTHONS=all tries every
CPython at hand."""

import ast
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "python" / "examples" / "host.py"
DETAIL_AT = 1772323200

PROBE = """import os, sys, sysconfig
print(sys.executable)
print(sys.base_prefix)
print(sys.version_info >= (3, 9))
print(os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))"""


def interpreters():
    """One pytest parameter per distinct CPython installation tried."""
    params, seen = [], set()
    candidates = ["/usr/bin/python3", shutil.which("python3")]
    if os.environ.get("QELKIT_TEST_PYTHONS") != "all":
        candidates.reverse()  # the one first on PATH, when it is another
    for candidate in candidates:
        if not candidate or not os.path.exists(candidate):
            continue
        probe = subprocess.run([candidate, "-c", PROBE], capture_output=True, text=True)
        if probe.returncode != 0:
            continue
        executable, base, recent, headers = probe.stdout.split("\n")[:4]
        if base in seen:
            continue
        seen.add(base)
        reason = None
        if recent != "True":
            reason = f"{executable} is older than 3.9"
        elif headers != "True":
            reason = f"{executable} has no Python.h (its development files are not installed)"
        params.append(pytest.param(executable, id=base, marks=[pytest.mark.skip(reason=reason)] if reason else []))
    if os.environ.get("QELKIT_TEST_PYTHONS") != "all":
        usable = [p for p in params if not p.marks]
        return usable[:1] or params
    return params


def copy_source(destination):
    """What a clone holds of the libraries and their Python package."""
    destination.mkdir()
    for name in ("CMakeLists.txt", "cmake", "qelkit", "python"):
        source = ROOT / name
        if source.is_dir():
            shutil.copytree(source, destination / name,
                            ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        else:
            shutil.copy2(source, destination / name)
    return destination


@pytest.mark.parametrize("interpreter", interpreters())
def test_one_command_installs_the_package_and_the_example_host_runs_on_it(interpreter, sim, tmp_path):
    sim.reset()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # not the build tree's modules
    venv = tmp_path / "venv"
    subprocess.run([interpreter, "-m", "venv", "--system-site-packages", str(venv)], check=True, env=env)
    python = str(venv / "bin" / "python")

    source = copy_source(tmp_path / "clone")
    pip = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", str(source / "python")],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    assert pip.returncode == 0, pip.stdout[-6000:] + pip.stderr[-6000:]
    shutil.rmtree(source)

    where = subprocess.run([python, "-c", "import qelkit.sdk.qelfacade as m; print(m.__file__)"],
                           cwd=tmp_path, env=env, capture_output=True, text=True)
    assert where.returncode == 0, where.stderr
    assert Path(where.stdout.strip()).is_relative_to(venv), where.stdout

    work = tmp_path / "host"
    work.mkdir()
    png = work / "login-qr.png"
    host = subprocess.Popen([python, str(EXAMPLE)], cwd=work, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert host.stdout.readline() == f"Scan the login QR code in {png} with the phone app\n"
        assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        # The phone confirms; the login child, this venv's interpreter, stores the account.
        sim.control("confirm", token=sim.last_token(), account=0)
        out, err = host.communicate(timeout=120)
    finally:
        host.kill()
        host.wait()
    assert host.returncode == 0, err
    expected = sim.control("expected_rows", account=0, ts=DETAIL_AT)["normalised"]
    assert expected and [ast.literal_eval(line) for line in out.splitlines()] == expected
