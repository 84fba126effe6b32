"""TaskFactory in a Python host: the child is this interpreter running the
six-line script, with the qelkit package's folder first on its sys.path and
the host's working directory as its own."""

import json
import os
import subprocess
import sys

import qelkit
from qelkit.common.taskspawn import TaskFactory

PACKAGE_ROOT = os.path.dirname(os.path.dirname(qelkit.__file__))

PROBE = '''
import json, os, sys
import qelkit.sdk.qelfacade

class Probe:
    def report(self, *args):
        print(json.dumps({"executable": sys.executable, "path0": sys.path[0], "cwd": os.getcwd(),
                          "facade": qelkit.sdk.qelfacade.__file__, "args": list(args),
                          "args_variable": os.environ.get("QELKIT_CHILD_ARGS"),
                          "cmdline": open("/proc/self/cmdline", "rb").read().decode()}))
'''


def test_the_child_is_this_interpreter_importing_these_modules(work_dir, monkeypatch):
    (work_dir / "probe.py").write_text(PROBE)
    monkeypatch.delenv("PYTHONPATH", raising=False)
    args = ['a "quoted" text', "back\\slash", "line\nfeed", "测试", 12, -3.5, ["nested", [1]]]

    child = TaskFactory().create_task("probe", "Probe", "report", args, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
    out, err = child.communicate()

    assert child.wait() == 0, err
    report = json.loads(out)
    assert report["executable"] == sys.executable
    assert report["path0"] == PACKAGE_ROOT
    assert report["cwd"] == str(work_dir)
    assert report["facade"].startswith(os.path.join(PACKAGE_ROOT, "qelkit", "sdk", "qelfacade."))
    assert report["args"] == args
    # The arguments came through the environment, which the script emptied:
    # the command line holds the script alone, and nothing the child starts
    # inherits them.
    script = TaskFactory.build_script(PACKAGE_ROOT, "probe", "Probe", "report")
    assert report["cmdline"] == sys.executable + "\0-c\0" + script + "\0"
    assert report["args_variable"] is None


def test_the_script_names_the_package_folder():
    script = TaskFactory.build_script(PACKAGE_ROOT, "qelkit.sdk.qelfacade", "QelDriver", "ce")
    assert script == ("import sys\nsys.path.insert(0, " + json.dumps(PACKAGE_ROOT) + ")\n"
                      "from qelkit.sdk.qelfacade import QelDriver\n"
                      "args = __import__(\"json\").loads(__import__(\"os\").environ.pop(\"QELKIT_CHILD_ARGS\"))\n"
                      "obj = QelDriver()\ngetattr(obj, \"ce\")(*args)\n")
    literal = TaskFactory.build_script(PACKAGE_ROOT, "qelkit.sdk.qelfacade", "QelDriver", "ce", ["T"])
    assert literal == script.replace(script.splitlines()[3], 'args = ["T"]')
    assert TaskFactory.child_args_text(["T", 1, ["x"]]) == '["T", 1, ["x"]]'


def test_failures_in_the_child_show_on_its_standard_error(work_dir):
    child = TaskFactory().create_task("no_such_module", "Nothing", "run", stderr=subprocess.PIPE)
    _, err = child.communicate()
    assert child.wait() == 1
    assert "ModuleNotFoundError" in err and "no_such_module" in err


def test_output_files(work_dir):
    (work_dir / "probe.py").write_text(PROBE)
    TaskFactory().create_task_with_output("probe", "Probe", "report", ["x"], stdout_path=str(work_dir / "out.txt"),
                                          stderr_path="")
    assert (work_dir / "out.txt").exists()
    with open(work_dir / "err.txt", "w") as err_file:
        child = TaskFactory().create_task("probe", "Probe", "missing", stderr=err_file)
        assert child.wait() == 1
    assert "AttributeError" in (work_dir / "err.txt").read_text()
