"""The login token is a credential: another local user watching every
process while a Python host logs in must never see it, neither on a command
line (which every user may read) nor in an environment (private to the
process's user)."""

import json
import os
import subprocess
import sys

import pytest

from conftest import wait_for
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk.qelfacade import QelDriver

NOBODY = 65534
CHILD_MARK = b"-c\0import sys\n"

# Runs as nobody: sweeps /proc until its standard input closes, then reports.
SPY = r'''
import json, os, select, sys
host, mark = int(sys.argv[1]), b"-c\0import sys\n"
cmdlines, environments, children, denied, sweeps = set(), set(), {}, 0, 0

def read(path):
    with open(path, "rb") as f:
        return f.read()

def parent(pid):
    try:
        return int(read(f"/proc/{pid}/stat").rsplit(b")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return -1

stopping = False
while not stopping:
    stopping = bool(select.select([sys.stdin], [], [], 0)[0])  # one last sweep after the stop
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmdline = read(f"/proc/{pid}/cmdline")
        except OSError:
            continue
        cmdlines.add(cmdline)
        if mark not in cmdline or parent(pid) != host:
            continue
        children[pid] = cmdline
        try:
            environments.add(read(f"/proc/{pid}/environ"))
        except PermissionError:
            denied += 1
        except OSError:
            pass
    if sweeps == 0:
        print("ready", flush=True)
    sweeps += 1

text = lambda b: b.decode("latin-1")
json.dump({"uid": os.getuid(), "cmdlines": sorted(map(text, cmdlines)),
           "children": {pid: text(c) for pid, c in children.items()},
           "environments": sorted(map(text, environments)), "denied": denied}, sys.stdout)
'''


def child_tasks():
    """This process's children that run a child task."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as stat, open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if int(stat.read().rsplit(b")", 1)[1].split()[1]) == os.getpid() and CHILD_MARK in cmdline.read():
                    found.append(pid)
        except (OSError, IndexError, ValueError):
            pass
    return found


def test_another_user_watching_thirty_logins_never_sees_a_token(sim, work_dir):
    if os.geteuid() != 0:
        pytest.skip("not root: the spy cannot run as another user")
    sim.reset()
    spy = subprocess.Popen([sys.executable, "-c", SPY, str(os.getpid())], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True, cwd="/", user=NOBODY, group=NOBODY, extra_groups=[])
    try:
        assert spy.stdout.readline() == "ready\n"
        for _ in range(30):
            assert QelDriver.get_login_qrcode_base64()["code"] == 0
        tokens = [login["token"] for login in sim.control("logins")["logins"]]
        assert len(tokens) == 30
        # Each child polls for 2 s before its first request: it is watched
        # while its login is pending, then completes it.
        for i, token in enumerate(tokens):
            sim.control("confirm", token=token, account=i % 4)
        assert wait_for(lambda: len(JsonFileHandler.load_data("data.json")) == 4, 120)
        assert wait_for(lambda: not child_tasks(), 120)
        out, _ = spy.communicate(timeout=120)
    finally:
        spy.kill()
        spy.wait()
    seen = json.loads(out)

    assert seen["uid"] == NOBODY
    assert len(seen["children"]) == 30, "the spy did not see every child"
    assert all(cmdline.startswith(sys.executable + "\0-I\0-c\0import sys\n") for cmdline in seen["children"].values())
    leaks = [token for token in tokens if any(token in cmdline for cmdline in seen["cmdlines"])]
    assert leaks == []
    assert seen["environments"] == []
    assert seen["denied"] >= 30
    assert all(login["status"] == 1 for login in sim.control("logins")["logins"])
