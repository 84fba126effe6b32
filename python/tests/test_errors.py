"""qelkit's failures reach Python as the exceptions of qelkit.common.errors,
each also the built-in a caller would catch."""

import base64
import os
import socket

import pytest

from qelkit.common import errors
from qelkit.common.docstore import JsonFileHandler
from qelkit.common.fetchcore import SpiderDriver
from qelkit.common.sealbox import CryptoHelper
from qelkit.sdk.pageworker import QelExc
from qelkit.sdk.qelfacade import QelDriver


def test_the_hierarchy_derives_from_the_fitting_builtins():
    expected = {
        errors.TransportError: ConnectionError, errors.NoReplyError: ConnectionError,
        errors.ProtocolError: ValueError, errors.ConversionError: ValueError,
        errors.DecodingError: ValueError, errors.InvalidArgumentError: ValueError,
        errors.AuthenticationError: ValueError, errors.SystemFailure: OSError,
        errors.LoginExpiredError: PermissionError, errors.PlatformError: RuntimeError,
        errors.DataFileError: OSError, errors.PageLimitError: errors.ProtocolError,
    }
    for cls, builtin in expected.items():
        assert issubclass(cls, errors.Error) and issubclass(cls, builtin), cls
    assert not issubclass(errors.ProtocolError, ConnectionError)
    assert not issubclass(errors.PlatformError, (ConnectionError, ValueError))


def test_a_data_file_that_is_not_a_json_object_is_named(work_dir):
    (work_dir / "json").mkdir()
    path = str(work_dir / "json" / "data.json")
    for content, problem in ((b"\xef\xbb\xbf{}", "byte-order mark"), (b"[]", "array"), (b"{", "not valid JSON")):
        with open(path, "wb") as f:
            f.write(content)
        for query in (lambda: QelDriver.get_data_statistic("acc", 0, 1),
                      lambda: QelDriver.get_detailed_data_statistic("acc", 0)):
            with pytest.raises(errors.DataFileError, match=problem) as caught:
                query()
            assert isinstance(caught.value, OSError)
            assert caught.value.path == path and path in str(caught.value)
            assert caught.value.rows == [] and caught.value.failed_pages == []
    os.remove(path)
    assert QelDriver.get_data_statistic("acc", 0, 1) == []


def test_decryption_failures():
    helper = CryptoHelper("a", "b", "c")
    sealed = helper.encrypt("secret")
    with pytest.raises(errors.AuthenticationError):
        CryptoHelper("a", "b", "d").decrypt(sealed)
    with pytest.raises(errors.DecodingError, match="Base64"):
        helper.decrypt("abc")
    with pytest.raises(errors.InvalidArgumentError):
        helper.decrypt(base64.b64encode(b"\0" * 30).decode())


def test_a_stored_login_that_does_not_decrypt(work_dir):
    JsonFileHandler.save_data({"acc": CryptoHelper("other", "pass", "phrase").encrypt("s")}, "data.json")
    with pytest.raises(errors.AuthenticationError, match="acc"):
        QelDriver.get_data_statistic("acc", 0, 1)
    JsonFileHandler.save_data({"acc": 5}, "data.json")
    with pytest.raises(errors.ProtocolError):
        QelDriver.get_detailed_data_statistic("acc", 0)


def test_a_directory_that_cannot_be_made_is_an_os_error(work_dir):
    (work_dir / "file").write_text("")
    with pytest.raises(errors.SystemFailure) as caught:
        JsonFileHandler.save_data({}, "x.json", base_dir=str(work_dir / "file" / "sub"))
    assert isinstance(caught.value, OSError)


def test_invalid_values_keep_their_builtin_types():
    with pytest.raises(ValueError, match="^Varint 只能编码非负整数$") as caught:
        QelExc._encode_varint(-1)
    assert not isinstance(caught.value, errors.Error)
    with pytest.raises(errors.ConversionError):
        QelExc.normalise_row({"date": "d", "finderQelid": "q", "dramaName": "n", "finderNickname": "k",
                              "attachProfit": None})
    with pytest.raises(errors.InvalidArgumentError):
        SpiderDriver().gqb("")


@pytest.fixture
def closed_port_origin(monkeypatch):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setenv("QELKIT_PLATFORM_ORIGIN", "https://127.0.0.1:%d" % port)
    monkeypatch.setenv("QELKIT_HTTP_TIMEOUT_MS", "2000")


def test_an_unreachable_platform(closed_port_origin):
    with pytest.raises(errors.TransportError) as caught:
        SpiderDriver().owit("session")
    assert isinstance(caught.value, ConnectionError)
    assert SpiderDriver().pty(os.environ["QELKIT_PLATFORM_ORIGIN"] + "/x", max_retries=1) is None
    with pytest.raises(errors.NoReplyError):
        SpiderDriver().ale()


def test_a_reply_of_the_wrong_shape(sim):
    sim.reset()
    sim.script("/cgi-bin/mmfinderassistant-bin/auth/auth_login_code", {"body": "not json"})
    with pytest.raises(errors.ProtocolError):
        QelDriver.get_login_qrcode_base64()
    sim.script("/cgi-bin/mmfinderassistant-bin/auth/auth_login_code", {"errCode": 1})
    assert QelDriver.get_login_qrcode_base64() == {"code": 100}


def test_the_fan_out_lists_its_failed_pages_and_the_worker_its_outcome(sim):
    from qelkit.sdk.pagefanout import QelDis
    sim.reset()
    fanout = QelDis()
    fanout.a = "no-such-session"  # the platform refuses every page of an unknown session
    fanout.b = 1772323200
    fanout.start()
    fanout.join()
    assert fanout.data == []
    assert [f["page"] for f in fanout.failures] == [0, 1, 2, 3, 4, 5]
    assert fanout.failures[0]["outcome"] == {"kind": "status", "code": 300, "error_kind": "", "message": ""}
    assert QelDis.max_pages == 10000

    worker = QelExc()
    assert worker.outcome["kind"] == "not_run"
    worker.a, worker.b, worker.c = "no-such-session", 0, 1772323200
    worker.start()
    worker.join()
    assert worker.outcome["kind"] == "status" and worker.outcome["code"] == 300
    for thread, field in ((fanout, "failures"), (worker, "outcome")):
        with pytest.raises(AttributeError):
            setattr(thread, field, [])
