"""The web console's browser tests' parts: the substitute platform, the
console itself, headless Chromium through chromedriver, and a QR reader
(zbarimg). Each is the real program; when one is missing the tests fail."""

import http.client
import json
import os
import re
import signal
import ssl
import subprocess
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

WAIT = 90  # seconds: generous, for a loaded machine or a sanitizer build


def program(variable):
    path = os.path.abspath(os.environ.get(variable, "")) if os.environ.get(variable) else ""
    assert path and os.access(path, os.X_OK), f"{variable} must name a built program (got {path!r})"
    return path


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


class Sim:
    """platform-sim on a free port, driven through its control calls."""

    def __init__(self, directory):
        ready = os.path.join(directory, "ready")
        self.ca_file = os.path.join(directory, "platform.pem")
        with open(os.path.join(directory, "platform.log"), "wb") as log:
            self.process = subprocess.Popen(
                [program("QELKIT_PLATFORM_SIM"), "--port", "0", "--seed", "1", "--accounts", "4",
                 "--cert-out", self.ca_file, "--ready-file", ready], stdout=log, stderr=log)
        deadline = time.monotonic() + WAIT
        while not (os.path.exists(ready) and os.path.getsize(ready) > 0):
            if self.process.poll() is not None or time.monotonic() > deadline:
                stop(self.process)
                raise AssertionError(f"platform-sim did not start; see {directory}/platform.log")
            time.sleep(0.05)
        with open(ready) as f:
            self.origin = f.readline().strip()
        self._context = ssl.create_default_context(cafile=self.ca_file)

    def control(self, op, **args):
        request = urllib.request.Request(self.origin + "/__control/" + op, data=json.dumps(args).encode(),
                                         headers={"Content-Type": "application/json"}, method="POST")
        with urllib.request.urlopen(request, context=self._context, timeout=60) as reply:
            return json.loads(reply.read())

    def stop(self):
        stop(self.process)


class Console:
    """qelkit console in `work_dir`, against the platform; its printed URL."""

    def __init__(self, work_dir, sim):
        env = dict(os.environ, QELKIT_PLATFORM_ORIGIN=sim.origin, QELKIT_CA_FILE=sim.ca_file)
        self.work_dir = work_dir
        self.stderr = open(os.path.join(work_dir, "console.err"), "wb")
        self.process = subprocess.Popen([program("QELKIT_CLI"), "console"], cwd=work_dir, env=env,
                                        stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"(http://127\.0\.0\.1:(\d+))/\?token=([0-9a-f]+)", line)
        if not match:
            self.stop()
            raise AssertionError(f"the console printed no URL: {line!r}; see {work_dir}/console.err")
        self.url = match.group(0)
        self.origin, self.port, self.token = match.group(1), int(match.group(2)), match.group(3)

    def request(self, method, path, headers=None, body=None):
        """One raw HTTP request; returns (status, body text)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT)
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            headers = dict({"Host": f"127.0.0.1:{self.port}"}, **(headers or {}))
            for name, value in headers.items():
                connection.putheader(name, value)
            data = body.encode() if body is not None else None
            if data is not None:
                connection.putheader("Content-Length", str(len(data)))
            connection.endheaders(data)
            reply = connection.getresponse()
            return reply.status, reply.read().decode(errors="replace")
        finally:
            connection.close()

    def stop(self):
        code = stop(self.process)
        self.stderr.close()
        return code


def chromium(profile_dir):
    """Headless Chromium for an offline machine (no sandbox when root)."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,800", f"--user-data-dir={profile_dir}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_window_size(1280, 800)
    return driver


def wait_until(driver, condition, message, seconds=WAIT):
    """Polls until `condition` holds; the page re-rendering meanwhile is no failure."""
    return WebDriverWait(driver, seconds, poll_frequency=0.1,
                         ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)).until(
        lambda d: condition(d), message)


def decode_qr(png_bytes):
    """The text of the one QR code in a PNG, read by zbarimg."""
    with tempfile.NamedTemporaryFile(suffix=".png") as f:
        f.write(png_bytes)
        f.flush()
        result = subprocess.run(["zbarimg", "--raw", "-q", f.name], capture_output=True, text=True, timeout=WAIT)
    assert result.returncode == 0, f"zbarimg read no QR code ({result.returncode}): {result.stderr}"
    return result.stdout.strip()
