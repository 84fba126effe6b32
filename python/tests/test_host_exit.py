"""A Python host whose script ends while a daemon thread is inside a long
qelkit call: the interpreter ends that thread when it asks for the GIL back,
and the process must still exit normally, never abort."""

import concurrent.futures
import os
import subprocess
import sys

import pytest

from conftest import wait_for
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk.qelfacade import QelDriver

DETAIL_AT = 1772323200
LIST_START, LIST_END = 1772323200, 1774915200
DOWNLOAD = "/micro/content/cgi-bin/mmfinderassistant-bin/component/download-finder-native-drama-statistic"
LIST = "/micro/content/cgi-bin/mmfinderassistant-bin/component/get-finder-native-drama-statistics-list"

HOST = f'''
import sys, threading, time
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk.qelfacade import QelDriver

call, pause = sys.argv[1], float(sys.argv[2])
qel_id = next(iter(JsonFileHandler.load_data("data.json")))
calls = {{
    "detail": lambda: QelDriver.get_detailed_data_statistic(qel_id, {DETAIL_AT}),
    "list": lambda: QelDriver.get_data_statistic(qel_id, {LIST_START}, {LIST_END}),
}}
threading.Thread(target=calls[call], daemon=True).start()
time.sleep(pause)  # then the script ends, with the thread inside the call
'''


@pytest.fixture(scope="module")
def logged_in(sim, tmp_path_factory):
    """A working directory holding one stored login."""
    sim.reset()
    directory = tmp_path_factory.mktemp("exit")
    previous = os.getcwd()
    os.chdir(directory)
    try:
        assert QelDriver.get_login_qrcode_base64()["code"] == 0
        sim.control("confirm", token=sim.last_token(), account=0)
        assert wait_for(lambda: JsonFileHandler.load_data("data.json"), 60), "the login was not stored"
    finally:
        os.chdir(previous)
    # Two batches of downloads, each waiting a little: the query runs for a
    # few hundred milliseconds, and the hosts end at every point of it.
    sim.control("rows", account=0, total=130, ts=DETAIL_AT)
    sim.control("latency", ms=40, path=DOWNLOAD)
    sim.control("latency", ms=150, path=LIST)
    return directory


def run_hosts(directory, runs):
    def run(args):
        return args, subprocess.run([sys.executable, "-c", HOST, *args], cwd=directory, capture_output=True,
                                    text=True, timeout=120)

    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(run, runs))
    return [(args, r.returncode, r.stderr) for args, r in results if r.returncode != 0 or r.stderr]


def test_a_daemon_thread_inside_a_detailed_query_never_aborts_the_exit(logged_in):
    runs = [("detail", f"{(i % 20) * 0.02:.2f}") for i in range(100)]
    assert run_hosts(logged_in, runs) == []


def test_a_daemon_thread_inside_a_statistics_list_query_never_aborts_the_exit(logged_in):
    runs = [("list", f"{(i % 10) * 0.02:.2f}") for i in range(20)]
    assert run_hosts(logged_in, runs) == []
