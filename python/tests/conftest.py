"""Fixtures of the Python tests: the substitute platform and a scratch
working directory (the data file lands in json/ below it)."""

import json
import os
import signal
import ssl
import subprocess
import time
import urllib.request

import pytest


class Sim:
    """A running platform-sim, driven through its control interface."""

    def __init__(self, origin, ca_file):
        self.origin = origin
        self.ca_file = ca_file
        self._context = ssl.create_default_context(cafile=ca_file)

    def control(self, op, **args):
        request = urllib.request.Request(
            self.origin + "/__control/" + op, data=json.dumps(args).encode(),
            headers={"Content-Type": "application/json"}, method="POST")
        with urllib.request.urlopen(request, context=self._context, timeout=30) as reply:
            return json.loads(reply.read())

    def reset(self):
        self.control("reset")

    def requests(self, path=None):
        args = {} if path is None else {"path": path}
        return self.control("requests", **args)["requests"]

    def script(self, path, replies):
        self.control("script", path=path, replies=replies if isinstance(replies, list) else [replies])

    def accounts(self):
        return self.control("accounts")["accounts"]

    def last_token(self):
        logins = self.control("logins")["logins"]
        assert logins, "no login token was issued"
        return logins[-1]["token"]


def _start_sim(directory):
    program = os.environ.get("QELKIT_PLATFORM_SIM", "")
    if not program:
        pytest.skip("the substitute platform was not built (QELKIT_PLATFORM_SIM is empty)")
    ready = os.path.join(directory, "ready")
    cert = os.path.join(directory, "platform.pem")
    log = open(os.path.join(directory, "platform.log"), "wb")
    process = subprocess.Popen(
        [program, "--port", "0", "--seed", "1", "--accounts", "4", "--cert-out", cert, "--ready-file", ready],
        stdout=log, stderr=log)
    log.close()
    deadline = time.monotonic() + 20
    while not (os.path.exists(ready) and os.path.getsize(ready) > 0):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise RuntimeError("platform-sim did not start; see " + os.path.join(directory, "platform.log"))
        time.sleep(0.05)
    with open(ready) as f:
        origin = f.readline().strip()
    return process, Sim(origin, cert)


@pytest.fixture(scope="session")
def sim(tmp_path_factory):
    """The substitute platform, with the platform client pointed at it
    (QELKIT_PLATFORM_ORIGIN and QELKIT_CA_FILE, inherited by child tasks)."""
    process, server = _start_sim(str(tmp_path_factory.mktemp("platform")))
    saved = {k: os.environ.get(k) for k in ("QELKIT_PLATFORM_ORIGIN", "QELKIT_CA_FILE")}
    os.environ["QELKIT_PLATFORM_ORIGIN"] = server.origin
    os.environ["QELKIT_CA_FILE"] = server.ca_file
    try:
        yield server
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture
def work_dir(tmp_path, monkeypatch):
    """A fresh working directory for the test."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def wait_for(predicate, seconds=60):
    """Polls predicate until it returns something true, at most `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)
