"""CryptoHelper from Python decrypts what an independent implementation
encrypted (the vectors the C++ suite checks too), and its own output has the
encrypted-text layout."""

import base64

import pytest

from qelkit.common.errors import AuthenticationError
from qelkit.common.sealbox import CryptoHelper

# Made by an independent implementation under the pass phrase
# "vector-pass-phrase-密码" (c + a + b).
VECTORS = {
    "bzxjonqoEfQ+PGOnUcl9FGE4J2S7xIS5t7UhjixLaYCOlQSlgy1/yEnuT/aaP14S611zHBhsZukXf4EblHR0pM9E8goWWE6fuSI8RHXr":
        "session=abc123; the quick brown fox",
    "pWb8lYb2jfRBhdEa9/B95W1GwGiyOuHig4PnyKDzQ26GNjlaurUwzmX4E0u6Sjyr9db4HVQ1N5fo19CfZmA/VORos/JNtA==":
        "测试数据，会话标识",
    "XHSdrOs6wm4V4sP6qPydLW9amxBQk0Fu2iAbRvM/VvxjIfSJngcTpPnCIg==": "",
}


def vector_helper():
    return CryptoHelper("pass-phrase-", "密码", "vector-")


def test_independent_vectors_decrypt():
    helper = vector_helper()
    for sealed, plain in VECTORS.items():
        assert helper.decrypt(sealed) == plain
    assert helper.password == "vector-pass-phrase-密码".encode()
    # Only the joined pass phrase matters.
    assert CryptoHelper("pass-phrase-密码", "", "vector-").decrypt(next(iter(VECTORS))) == VECTORS[next(iter(VECTORS))]


def test_encrypted_text_layout_and_round_trip():
    helper = vector_helper()
    for plain in ["", "ab", "abc", "测试数据"]:
        sealed = helper.encrypt(plain)
        n = len(plain.encode("utf-8"))
        assert len(base64.b64decode(sealed, validate=True)) == 43 + n
        assert len(sealed) == 4 * -(-(43 + n) // 3)
        assert helper.decrypt(sealed) == plain
    assert helper.encrypt("same") != helper.encrypt("same")
    assert (CryptoHelper.salt_length, CryptoHelper.nonce_length, CryptoHelper.tag_length) == (16, 11, 16)


def test_any_changed_byte_fails_authentication():
    helper = vector_helper()
    raw = bytearray(base64.b64decode(helper.encrypt("session")))
    for offset in (0, 16, 27, 43, len(raw) - 1):
        changed = bytearray(raw)
        changed[offset] ^= 0x01
        with pytest.raises(AuthenticationError):
            helper.decrypt(base64.b64encode(bytes(changed)).decode())
