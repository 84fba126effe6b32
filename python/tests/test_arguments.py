"""Argument checks: a wrong kind of value is a TypeError naming the argument,
checked before anything else happens; another kind of number is truncated."""

import fractions

import pytest

from qelkit.common.docstore import JsonFileHandler
from qelkit.common.fetchcore import SpiderDriver
from qelkit.common.sealbox import CryptoHelper
from qelkit.common.taskspawn import TaskFactory
from qelkit.sdk.pageworker import QelExc
from qelkit.sdk.qelfacade import QelDriver


@pytest.mark.parametrize("call, name", [
    (lambda: QelDriver.get_data_statistic(7, 0, 1), "qel_id"),
    (lambda: QelDriver.get_data_statistic(b"id", 0, 1), "qel_id"),
    (lambda: QelDriver.get_data_statistic("id", "0", 1), "start_time"),
    (lambda: QelDriver.get_data_statistic("id", 0, None), "end_time"),
    (lambda: QelDriver.get_data_statistic("id", 0, 1, page=[1]), "page"),
    (lambda: QelDriver.get_data_statistic("id", 0, 1, 1j), "page"),
    (lambda: QelDriver.get_detailed_data_statistic(None, 0), "qel_id"),
    (lambda: QelDriver.get_detailed_data_statistic("id", "1772323200"), "date_time"),
    (lambda: QelDriver().ce(123), "token"),
    (lambda: CryptoHelper("a", 2, "c"), "b"),
    (lambda: CryptoHelper("a", "b", "c").decrypt(b"text"), "encrypted_str"),
    (lambda: SpiderDriver.fo(b"sessionid=S;"), "text"),
    (lambda: SpiderDriver().als(42), "a"),
    (lambda: JsonFileHandler.load_data(3), "filename"),
    (lambda: JsonFileHandler.save_data({}, "x.json", indent="2"), "indent"),
    (lambda: JsonFileHandler.save_data({1: "one"}, "x.json"), "data"),
    (lambda: JsonFileHandler.save_data({"set": {1, 2}}, "x.json"), "data"),
    (lambda: TaskFactory().create_task("m", "C", "f", method_args="not a list"), "method_args"),
    (lambda: TaskFactory().create_task("m", "C", "f", stdout=object()), "stdout"),
    (lambda: QelExc.encode("1"), "a"),
])
def test_a_wrong_kind_is_a_type_error_naming_the_argument(work_dir, call, name):
    with pytest.raises(TypeError, match=r"^" + name + r"\b"):
        call()
    assert list(work_dir.iterdir()) == [], "nothing may happen before the check"


def test_integers_too_large_and_nesting_too_deep_are_refused(work_dir):
    with pytest.raises(OverflowError, match="start_time"):
        QelDriver.get_data_statistic("id", 2**63, 1)
    nested = []
    nested.append(nested)
    with pytest.raises(ValueError, match="nested deeper"):
        JsonFileHandler.save_data(nested, "x.json")


def test_numbers_are_truncated_toward_zero():
    assert QelExc.encode(7.9) == QelExc.encode(7) == "CIwBEBQ="
    assert QelExc.encode(fractions.Fraction(-1, 2)) == ""
    assert QelExc._encode_varint(True) == b"\x01"
    with pytest.raises(ValueError):
        QelExc.encode(float("nan"))


def test_a_missing_account_is_checked_after_the_arguments(work_dir):
    # Valid arguments and no data file: empty lists, no platform needed.
    assert QelDriver.get_data_statistic("id", 0.5, 1, page=-3) == []
    assert QelDriver.get_detailed_data_statistic("id", 1772323200.0) == []
