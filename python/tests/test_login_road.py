"""The login road from a Python host against the substitute platform: a
real Python child completes the login, then both statistics queries read
with the stored session."""

import ast
import base64
import decimal
import fractions
import json
import os
import subprocess
import sys

import pytest

from conftest import wait_for
from qelkit.common.docstore import JsonFileHandler
from qelkit.common.fetchcore import SpiderDriver
from qelkit.sdk.qelfacade import QelDriver

# 2026-03-01 and 2026-03-31, midnight UTC.
LIST_START, LIST_END = 1772323200, 1774915200
DETAIL_AT = 1772323200
ACCOUNT = 1


@pytest.fixture(scope="module")
def login(sim, tmp_path_factory):
    """One login of account ACCOUNT, completed by the child process, in a
    working directory that the module's tests share."""
    sim.reset()
    directory = tmp_path_factory.mktemp("login")
    previous_dir = os.getcwd()
    os.chdir(directory)
    # Without PYTHONPATH the child finds qelkit only through the folder its
    # script puts first on sys.path.
    python_path = os.environ.pop("PYTHONPATH", None)
    try:
        record = QelDriver.get_login_qrcode_base64()
    finally:
        if python_path is not None:
            os.environ["PYTHONPATH"] = python_path
    try:
        token = sim.last_token()
        login = sim.control("confirm", token=token, account=ACCOUNT)
        qel_id = str(sim.accounts()[ACCOUNT]["uniqId"])
        stored = wait_for(lambda: qel_id in JsonFileHandler.load_data("data.json"))
        yield {"record": record, "token": token, "qel_id": qel_id, "stored": stored,
               "session_id": login["session_id"], "dir": directory}
    finally:
        os.chdir(previous_dir)


def test_a_python_child_stores_the_login(login):
    record = login["record"]
    assert record["code"] == 0
    prefix = "data:image/png;base64,"
    assert record["data"].startswith(prefix)
    assert base64.b64decode(record["data"][len(prefix):]).startswith(b"\x89PNG\r\n\x1a\n")
    assert login["stored"], "the child did not store the login within 60 s"
    doc = JsonFileHandler.load_data("data.json")
    assert list(doc) == [login["qel_id"]]
    assert isinstance(doc[login["qel_id"]], str) and login["session_id"] not in doc[login["qel_id"]]


def test_statistics_list(sim, login):
    expected = sim.control("expected_list", account=ACCOUNT, startTs=LIST_START, endTs=LIST_END)["list"]
    assert len(expected) > 5, "the platform's data should fill more than one page"
    path = "/micro/content/cgi-bin/mmfinderassistant-bin/component/get-finder-native-drama-statistics-list"
    before = len(sim.requests(path))

    rows = QelDriver.get_data_statistic(login["qel_id"], LIST_START, LIST_END)

    assert rows == [{"drama_name": e["dramaInfo"]["dramaName"], "view_number": int(e.get("readCount", 0)),
                     "iaa_income": int(e.get("iaaProfit", 0)), "mount_income": int(e.get("attachProfit", 0))}
                    for e in expected[:5]]
    request = sim.requests(path)[before]
    assert json.loads(request["body"]) == {"pageSize": 5, "currentPage": 1, "startTs": str(LIST_START),
                                           "endTs": str(LIST_END), "queryString": ""}
    assert ["Cookie", "sessionid=" + login["session_id"]] in request["headers"]


def test_other_kinds_of_numbers_are_truncated(sim, login):
    path = "/micro/content/cgi-bin/mmfinderassistant-bin/component/get-finder-native-drama-statistics-list"
    before = len(sim.requests(path))
    second_page = QelDriver.get_data_statistic(login["qel_id"], LIST_START + 0.9, fractions.Fraction(2 * LIST_END + 1, 2),
                                               page=decimal.Decimal("2.7"))
    body = json.loads(sim.requests(path)[before]["body"])
    assert (body["startTs"], body["endTs"], body["currentPage"]) == (str(LIST_START), str(LIST_END), 2)
    assert second_page == QelDriver.get_data_statistic(login["qel_id"], LIST_START, LIST_END, 2)
    assert second_page != QelDriver.get_data_statistic(login["qel_id"], LIST_START, LIST_END, True)


def test_detailed_statistics(sim, login):
    # 130 rows: six full pages, a seventh with ten, so a second batch runs.
    sim.control("rows", account=ACCOUNT, total=130, ts=DETAIL_AT)
    expected = sim.control("expected_rows", account=ACCOUNT, ts=DETAIL_AT)["normalised"]
    assert len(expected) == 130

    result = QelDriver.get_detailed_data_statistic(login["qel_id"], DETAIL_AT)

    assert result == {"code": 0, "data": expected}
    assert list(result["data"][0]) == ["date", "qel_id", "drama_name", "is_mount", "feed_read_count",
                                       "drama_read_count", "iaa_income", "mount_income", "qel_nickname"]


def test_an_account_not_stored_gives_empty_lists_without_a_request(sim, login):
    before = len(sim.requests())
    assert QelDriver.get_data_statistic("no-such-account", LIST_START, LIST_END) == []
    assert QelDriver.get_detailed_data_statistic("no-such-account", DETAIL_AT) == []
    assert len(sim.requests()) == before


def test_a_cpp_host_reads_the_login_the_python_child_stored(login):
    cli = os.environ.get("QELKIT_CLI", "")
    if not cli:
        pytest.skip("the command-line host was not built")
    shown = subprocess.run([cli, "stats", login["qel_id"], str(LIST_START), str(LIST_END), "--json"],
                           capture_output=True, text=True, timeout=120, check=True)
    assert json.loads(shown.stdout) == QelDriver.get_data_statistic(login["qel_id"], LIST_START, LIST_END)


def test_the_platform_client_speaks_python_values(sim, login):
    spider = SpiderDriver()
    assert spider.set_dead() == {"Content-Type": "application/json; charset=utf-8", "Accept": "*/*",
                                 "Connection": "keep-alive"}
    assert spider.set_dead(12)["Cookie"] == "sessionid=12"
    assert spider.fo("sessionid=S1; Path=/; wxuin=W1; Secure") == {"session_id": "S1", "wx_uin": "W1"}
    auth = spider.add(login["session_id"])
    assert auth["code"] == 0 and str(auth["data"]["uniqId"]) == login["qel_id"]
    sim.script("/cgi-bin/mmfinderassistant-bin/auth/auth_data", {"errCode": 5})
    assert spider.add(login["session_id"]) is None
    assert spider.owit(login["session_id"]) is True


def test_the_example_host(sim, work_dir):
    example = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "host.py")
    host = subprocess.Popen([sys.executable, example], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # It saves the QR image and says where, before the phone confirms.
        png = os.path.join(os.getcwd(), "login-qr.png")
        assert host.stdout.readline() == f"Scan the login QR code in {png} with the phone app\n"
        with open(png, "rb") as image:
            assert image.read(8) == b"\x89PNG\r\n\x1a\n"
        assert os.stat(png).st_mode & 0o777 == 0o600, "the image is as secret as the login"
        sim.control("confirm", token=sim.last_token(), account=0)
        out, err = host.communicate(timeout=120)
    finally:
        host.kill()
        host.wait()
    assert host.returncode == 0, err
    expected = sim.control("expected_rows", account=0, ts=DETAIL_AT)["normalised"]
    assert expected and [ast.literal_eval(line) for line in out.splitlines()] == expected
