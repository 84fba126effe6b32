"""The login object from a Python host: a real Python child completes the
login and reports its outcome to the object that started it."""

import os
import signal
import threading
import time

from qelkit.common.docstore import JsonFileHandler
from qelkit.common.errors import PlatformError
from qelkit.sdk.login import Login, LoginOutcome
from qelkit.sdk.qelfacade import QelDriver

import pytest

AUTH_DATA = "/cgi-bin/mmfinderassistant-bin/auth/auth_data"
LOGIN_CODE = "/cgi-bin/mmfinderassistant-bin/auth/auth_login_code"


def token_of(login):
    return login.link.split("token=", 1)[1]


def test_the_login_object_is_also_found_beside_accounts():
    from qelkit import sdk

    assert sdk.Login is Login and sdk.LoginOutcome is LoginOutcome


def test_a_confirmed_login_reports_the_account_it_stored(sim, work_dir):
    sim.reset()
    login = Login.start()
    assert login.link.startswith(sim.origin + "/mobile/confirm_login.html?token=")
    assert login.data_url.startswith("data:image/png;base64,")
    modules = login.modules
    assert len(modules) >= 21 and all(len(row) == len(modules) for row in modules)
    assert all(isinstance(m, bool) for row in modules for m in row)
    # The three finder patterns' corners are dark.
    assert modules[0][0] and modules[0][-1] and modules[-1][0]

    assert login.wait(timeout=0) is None, "nothing is confirmed yet"
    assert login.outcome is None
    sim.control("confirm", token=token_of(login), account=1)
    outcome = login.wait(timeout=60)
    account = sim.accounts()[1]
    assert isinstance(outcome, LoginOutcome)
    assert outcome.kind == "stored" and outcome.stored, outcome.message
    assert outcome.account_id == str(account["uniqId"])
    assert outcome.display_name == account["nickname"]
    assert outcome.code is None
    assert outcome.account_id in JsonFileHandler.load_data("data.json")
    assert login.outcome.account_id == outcome.account_id
    assert outcome.to_dict()["outcome"] == "stored"


def test_logins_that_store_nothing_say_why(sim, work_dir):
    sim.reset()
    login = Login.start()
    sim.control("cancel", token=token_of(login))
    ended = login.wait()
    assert (ended.kind, ended.code, ended.account_id) == ("ended", 4, None)

    sim.script(AUTH_DATA, {"errCode": 300001})
    login = Login.start()
    sim.control("confirm", token=token_of(login), account=0)
    refused = login.wait()
    assert (refused.kind, refused.code) == ("refused", 300001)

    cancelled = Login.start().cancel()
    assert cancelled.kind == "cancelled"
    assert not os.path.exists(os.path.join("json", "data.json"))

    sim.script(LOGIN_CODE, {"errCode": 1})
    with pytest.raises(PlatformError) as caught:
        Login.start()
    assert caught.value.code == 100


def test_the_login_child_never_imports_from_its_working_directory(sim, work_dir):
    # Anyone who may write the working directory could leave modules there;
    # each of these would say so in a file of its own if it ran.
    for name in ("json", "collections"):
        with open(f"{name}.py", "w") as planted:
            planted.write(f"open({os.path.abspath('ran-' + name)!r}, 'w').close()\n")
    sim.reset()
    login = Login.start()
    sim.control("confirm", token=token_of(login), account=2)
    assert login.wait(timeout=60).stored

    # The facade's own children alike.
    assert QelDriver.get_login_qrcode_base64()["code"] == 0
    sim.control("confirm", token=sim.last_token(), account=3)
    wanted = str(sim.accounts()[3]["uniqId"])
    for _ in range(600):
        if wanted in JsonFileHandler.load_data("data.json"):
            break
        time.sleep(0.1)
    assert wanted in JsonFileHandler.load_data("data.json")
    assert [name for name in os.listdir() if name.startswith("ran-")] == []


def test_an_exception_leaving_the_with_block_cancels_the_login(sim, work_dir):
    sim.reset()
    # Ctrl-C during wait(): the KeyboardInterrupt leaves the block, which
    # cancels the login, so confirming it later stores nothing.
    ctrl_c = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        with Login.start() as login:
            ctrl_c.start()
            login.wait()
    ctrl_c.join()
    assert login.outcome.kind == "cancelled"
    sim.control("confirm", token=token_of(login), account=0)
    assert not os.path.exists(os.path.join("json", "data.json"))

    # Leaving without an exception leaves the login running.
    with Login.start() as login:
        pass
    sim.control("confirm", token=token_of(login), account=1)
    assert login.wait(timeout=60).stored
