"""A detailed query that cannot be served raises a typed error carrying the
rows that did arrive and the pages that failed, against the substitute
platform, with a login completed by a real Python child."""

import os

import pytest

from conftest import wait_for
from qelkit.common import errors
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk import DetailRow, Statistics
from qelkit.sdk.qelfacade import QelDriver

ACCOUNT = 2
AT = 1772323200
DOWNLOAD = "/micro/content/cgi-bin/mmfinderassistant-bin/component/download-finder-native-drama-statistic"


@pytest.fixture(scope="module")
def login(sim, tmp_path_factory):
    sim.reset()
    directory = tmp_path_factory.mktemp("failures")
    previous_dir = os.getcwd()
    os.chdir(directory)
    try:
        QelDriver.get_login_qrcode_base64()
        sim.control("confirm", token=sim.last_token(), account=ACCOUNT)
        qel_id = str(sim.accounts()[ACCOUNT]["uniqId"])
        assert wait_for(lambda: qel_id in JsonFileHandler.load_data("data.json")), "no login stored"
        sim.control("rows", account=ACCOUNT, total=1000, ts=AT)
        yield qel_id
    finally:
        os.chdir(previous_dir)


def test_a_refused_page_raises_with_the_rows_of_the_other_pages(sim, login):
    expected = sim.control("expected_rows", account=ACCOUNT, ts=AT)["normalised"]
    sim.script(DOWNLOAD, {"errCode": 300500})  # whichever page asks first
    with pytest.raises(errors.PlatformError) as caught:
        QelDriver.get_detailed_data_statistic(login, AT)
    e = caught.value
    assert isinstance(e, RuntimeError) and e.code == 300500
    assert len(e.failed_pages) == 1
    failed = e.failed_pages[0]
    assert isinstance(failed, errors.FailedPage) and failed.reason == "code 300500 from the platform"
    assert e.rows == [row for i, row in enumerate(expected[:120]) if i // 20 != failed.page]


def test_the_detailed_query_reports_each_page_to_on_progress(sim, login):
    seen = []
    rows = QelDriver.get_detailed_data_statistic(login, AT, on_progress=seen.append)["data"]
    assert len(rows) == 1000 and seen == list(range(1, len(seen) + 1)) and len(seen) >= 50
    with pytest.raises(errors.Error, match="on_progress raised ZeroDivisionError"):
        QelDriver.get_detailed_data_statistic(login, AT, on_progress=lambda pages: 1 / 0)
    with pytest.raises(TypeError):
        QelDriver.get_detailed_data_statistic(login, AT, on_progress=3)


def test_typed_statistics_stream_rows_in_page_order_and_raise_typed_errors(sim, login):
    expected = sim.control("expected_rows", account=ACCOUNT, ts=AT)["normalised"]
    batches = []
    assert Statistics.detail(login, AT, batches.append) == len(expected)
    assert [len(b) for b in batches] == [120] * 8 + [40]
    rows = [row for batch in batches for row in batch]
    assert all(isinstance(row, DetailRow) and isinstance(row.qel_id, str) for row in rows)
    assert [row.drama_name for row in rows] == [row["drama_name"] for row in expected]
    assert rows == Statistics.detail(login, AT)

    def full(rows):
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        Statistics.detail(login, AT, full)
    with pytest.raises(errors.AccountNotStoredError) as caught:
        Statistics.list_all("no-such-account", AT, AT + 86400)
    assert caught.value.account == "no-such-account"


def test_an_expired_login_raises_permission_error_naming_the_account(sim, login):
    for session in sim.control("logins")["sessions"]:
        sim.control("expire_session", session_id=session["session_id"])
    with pytest.raises(errors.LoginExpiredError) as caught:
        QelDriver.get_data_statistic(login, AT, AT + 86400)
    assert isinstance(caught.value, PermissionError) and caught.value.account == login
    with pytest.raises(PermissionError) as caught:
        QelDriver.get_detailed_data_statistic(login, AT)
    assert "account " + login in str(caught.value) and "log in again" in str(caught.value)
    assert caught.value.rows == []
    assert [f.page for f in caught.value.failed_pages] == [0, 1, 2, 3, 4, 5]
