"""Stored accounts from a Python host against the substitute platform: a
login stored by a real child, then listed, checked, kept alive and
forgotten; the failures as the exceptions of qelkit.common.errors."""

import os

import pytest

from conftest import wait_for
from qelkit.common import errors
from qelkit.common.docstore import JsonFileHandler
from qelkit.sdk import Accounts, AccountCheck
from qelkit.sdk.qelfacade import QelDriver

AUTH_PATH = "/cgi-bin/mmfinderassistant-bin/auth/auth_data"
HEARTBEAT_PATH = "/cgi-bin/mmfinderassistant-bin/online_heartbeat"


def log_in(sim, account):
    """Logs platform account `account` in; returns its id and session."""
    assert QelDriver.get_login_qrcode_base64()["code"] == 0
    confirmed = sim.control("confirm", token=sim.last_token(), account=account)
    qel_id = str(sim.accounts()[account]["uniqId"])
    assert wait_for(lambda: qel_id in JsonFileHandler.load_data("data.json")), "the login was not stored"
    return qel_id, confirmed["session_id"]


def test_list_check_heartbeat_and_forget(sim, work_dir):
    sim.reset()
    assert Accounts.list() == []
    assert Accounts.forget("nobody") is False

    first, first_session = log_in(sim, 1)
    second, _ = log_in(sim, 2)
    assert Accounts.list() == [first, second]

    checked = Accounts.check(first)
    assert isinstance(checked, AccountCheck)
    assert (checked.account, checked.live, checked.state) == (first, True, "live")
    assert checked.display_name == sim.accounts()[1]["nickname"]

    Accounts.heartbeat(first)
    beats = sim.requests(HEARTBEAT_PATH)
    assert len(beats) == 1 and ["Cookie", "sessionid=" + first_session] in beats[0]["headers"]

    sim.control("expire_session", session_id=first_session)
    expired = Accounts.check(first)
    assert (expired.live, expired.state, expired.display_name) == (False, "expired", None)

    sim.script(AUTH_PATH, {"errCode": 42})
    with pytest.raises(errors.PlatformError) as refused:
        Accounts.check(second)
    assert refused.value.code == 42

    assert Accounts.forget(first) is True
    assert Accounts.forget(first) is False
    assert Accounts.list() == [second]
    assert os.stat("json/data.json").st_mode & 0o777 == 0o600

    with pytest.raises(errors.AccountNotStoredError) as missing:
        Accounts.check(first)
    assert missing.value.account == first
    assert isinstance(missing.value, (ValueError, LookupError))
    with pytest.raises(TypeError):
        Accounts.forget(12)


def test_an_unreadable_data_file_is_reported_and_left_as_it_is(work_dir):
    (work_dir / "json").mkdir()
    path = work_dir / "json" / "data.json"
    path.write_bytes(b'{"a": "x"')
    for call in (Accounts.list, lambda: Accounts.forget("a"), lambda: Accounts.check("a")):
        with pytest.raises(errors.DataFileError) as caught:
            call()
        assert caught.value.path == str(path)
    assert path.read_bytes() == b'{"a": "x"'
    assert sorted(os.listdir(work_dir / "json")) == ["data.json"]
