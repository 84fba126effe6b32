"""The thread objects' fields from Python: run() uses them on its own thread,
so touching one while the thread runs raises RuntimeError instead of racing
it (which crashed the interpreter); before start() and after join() they
read and set as plain attributes."""

import pytest

from qelkit.common.fetchcore import SpiderDriver
from qelkit.sdk.pagefanout import QelDis
from qelkit.sdk.pageworker import QelExc

DETAIL_AT = 1772323200
DOWNLOAD = "/micro/content/cgi-bin/mmfinderassistant-bin/component/download-finder-native-drama-statistic"


@pytest.fixture(scope="module")
def session(sim):
    """A session of account 0, and downloads slow enough to be caught running."""
    sim.reset()
    spider = SpiderDriver()
    token = spider.ale()["data"]
    sim.control("confirm", token=token, account=0)
    sim.control("rows", account=0, total=130, ts=DETAIL_AT)
    sim.control("latency", ms=1000, path=DOWNLOAD)
    return spider.als(token)["data"]["session_id"]


def hammer(thread, fields, readable):
    """Reads and sets `fields` (to the values they hold, so that a set after
    the run changes nothing) and reads `readable` for as long as the thread
    runs; returns how many accesses were refused, and which got through while
    it ran."""
    accesses = [(name, lambda name=name: getattr(thread, name)) for name in [*fields, *readable]]
    accesses += [(name, lambda name=name, value=value: setattr(thread, name, value)) for name, value in fields.items()]
    refused, allowed = 0, []
    while thread.is_alive():
        for name, access in accesses:
            try:
                access()
                if thread.is_alive():
                    allowed.append(name)
            except RuntimeError as e:
                assert str(e).startswith(f"{type(thread).__name__}.{name} cannot be ")
                assert str(e).endswith(" while the thread runs; join() it first")
                refused += 1
    return refused, allowed


def test_qeldis_fields_are_refused_while_it_runs(sim, session):
    fanout = QelDis()
    fanout.a, fanout.b, fanout.data = session, DETAIL_AT, ["stale"]
    fanout.daemon = True
    assert (fanout.a, fanout.b, fanout.data, fanout.daemon) == (session, DETAIL_AT, ["stale"], True)
    fanout.data = []
    fanout.start()
    with pytest.raises(RuntimeError, match=r"^QelDis\.data cannot be read while the thread runs; join\(\) it first$"):
        fanout.data
    with pytest.raises(RuntimeError, match=r"^QelDis\.a cannot be set while the thread runs"):
        fanout.a = "other"
    with pytest.raises(RuntimeError, match=r"^QelDis\.daemon cannot be set while the thread runs"):
        fanout.daemon = False
    assert fanout.daemon is True  # reading the flag is always safe
    with pytest.raises(RuntimeError, match=r"^QelDis\.data cannot be set while the thread runs"):
        fanout.data = []
    refused, allowed = hammer(fanout, {"a": session, "b": DETAIL_AT}, ["data"])
    fanout.join()

    assert refused > 0 and allowed == []
    # The run was not disturbed: the rows are the platform's.
    expected = sim.control("expected_rows", account=0, ts=DETAIL_AT)["normalised"]
    assert (fanout.a, fanout.b, fanout.data) == (session, DETAIL_AT, expected)
    fanout.data = []
    assert fanout.data == []


def test_qelexc_fields_are_refused_while_it_runs(sim, session):
    worker = QelExc()
    worker.a, worker.b, worker.c, worker.d = session, 2, DETAIL_AT, True
    worker.start()
    with pytest.raises(RuntimeError, match=r"^QelExc\.d cannot be read while the thread runs"):
        worker.d
    with pytest.raises(TypeError, match="^b must be an integer"):
        worker.b = "two"  # a wrong kind is still a TypeError first
    refused, allowed = hammer(worker, {"a": session, "b": 2, "c": DETAIL_AT}, ["d", "data"])
    worker.join()

    assert refused > 0 and allowed == []
    expected = sim.control("expected_rows", account=0, ts=DETAIL_AT)["normalised"]
    assert (worker.a, worker.b, worker.c, worker.data) == (session, 2, DETAIL_AT, expected[40:60])
