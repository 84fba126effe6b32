"""JsonFileHandler from Python: dicts go to disk and come back as they were,
in the layout Python's own json module writes."""

import json
import os
import pathlib

import pytest

from qelkit.common.docstore import JsonFileHandler
from qelkit.common.errors import ProtocolError

DOCUMENT = {
    "name": "测试数据",
    "value": 123,
    "negative": -7,
    "big": 2**64 - 1,
    "ratio": 2.5,
    "flags": [True, False, None],
    "nested": {"empty_list": [], "empty_dict": {}, "emoji": "😀", "quote": "a \"b\" \\ c\n"},
    "z_first_then_a": {"z": 1, "a": 2},
}


def test_a_dict_round_trips_with_order_and_types(work_dir):
    JsonFileHandler.save_data(DOCUMENT, "doc.json")
    loaded = JsonFileHandler.load_data("doc.json")
    assert loaded == DOCUMENT
    assert list(loaded) == list(DOCUMENT)
    assert list(loaded["z_first_then_a"]) == ["z", "a"]
    assert type(loaded["big"]) is int and type(loaded["ratio"]) is float and loaded["flags"][2] is None
    # Tuples are written as lists.
    JsonFileHandler.save_data({"t": (1, "two")}, "tuple.json")
    assert JsonFileHandler.load_data("tuple.json") == {"t": [1, "two"]}


def test_the_file_is_what_python_json_writes(work_dir):
    JsonFileHandler.save_data(DOCUMENT, "doc.json")
    text = (work_dir / "json" / "doc.json").read_text(encoding="utf-8")
    assert text == json.dumps(DOCUMENT, indent=2, ensure_ascii=False)
    JsonFileHandler.save_data(DOCUMENT, "ascii.json", indent=4, ensure_ascii=True)
    text = (work_dir / "json" / "ascii.json").read_bytes().decode("ascii")
    assert text == json.dumps(DOCUMENT, indent=4, ensure_ascii=True)


def test_paths_and_defaults(work_dir):
    assert JsonFileHandler._default_base_dir == "json"
    assert JsonFileHandler.get_file_path("data.json") == os.path.join("json", "data.json")
    assert JsonFileHandler.get_file_path("config.json", "./configs") == "./configs/config.json"
    assert JsonFileHandler.get_file_path("users/user1.json", "elsewhere") == "users/user1.json"
    assert JsonFileHandler.get_file_path("/tmp/absolute_test.json") == "/tmp/absolute_test.json"
    assert JsonFileHandler.get_file_path("bare.json", "") == "bare.json"
    JsonFileHandler.save_data({"app_name": "MyApp"}, pathlib.Path("config.json"), base_dir=pathlib.Path("configs/x"))
    assert json.loads((work_dir / "configs" / "x" / "config.json").read_text()) == {"app_name": "MyApp"}


def test_reading_never_fails(work_dir):
    first = JsonFileHandler.load_data("missing.json")
    assert first == {}
    first["changed"] = True
    assert JsonFileHandler.load_data("missing.json") == {}
    (work_dir / "json").mkdir()
    (work_dir / "json" / "bad.json").write_text('{"a": 1} trailing')
    assert JsonFileHandler.load_data("bad.json") == {}
    with pytest.raises(ProtocolError):
        JsonFileHandler.load_data_strict("bad.json")
    assert JsonFileHandler.load_data_strict("missing.json") == {}
    (work_dir / "json" / "null.json").write_text("null")
    assert JsonFileHandler.load_data("null.json") is None
    (work_dir / "json" / "list.json").write_text('[1, "x"]')
    assert JsonFileHandler.load_data("list.json") == [1, "x"]


def test_a_file_nested_too_deep_is_refused_not_a_crash(work_dir):
    (work_dir / "json").mkdir()
    (work_dir / "json" / "deep.json").write_text("[" * 100000 + "]" * 100000)
    assert JsonFileHandler.load_data("deep.json") == {}
    with pytest.raises(ProtocolError, match="nests deeper than 512 levels"):
        JsonFileHandler.load_data_strict("deep.json")
    (work_dir / "json" / "limit.json").write_text("[" * 512 + "]" * 512)
    limit = JsonFileHandler.load_data("limit.json")
    for _ in range(511):
        limit = limit[0]
    assert limit == []
