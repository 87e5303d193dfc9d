"""QOXStringCrypto's dictionary, JSON and file methods."""
import gc
import json
import pathlib
import types
import warnings

import pytest

import qoxcrypto.crypto as crypto
from conftest import KEYS, raises, type_error

Q = crypto.QOXStringCrypto
SHORT, MAGIC = "无效的.qox格式（数据长度不足）", "无效的.qox格式（Magic不匹配）"
NOT_JSON, NOT_DICT = "解密后的数据不是有效JSON格式: ", "解密后的数据不是字典类型"
UNSERIALISABLE = "字典无法序列化为JSON: "
SETTINGS = {"名称": "测试账号", "volume": 0.75, "tags": ["α", "β"],
            "nested": {"enabled": True, "limit": None}}


class Recorder(Q):
    """Records how the other methods call decrypt."""

    def decrypt(self, *args, **kwargs):
        self.calls = getattr(self, "calls", []) + [(args, kwargs)]
        return super().decrypt(*args, **kwargs)


# 1. load_json ------------------------------------------------------------------

@pytest.mark.parametrize("raw, expected", [
    ('{"a": 1, "名": "值"}', {"a": 1, "名": "值"}), ('{"a": 1, "名": "值"}'.encode(), {"a": 1, "名": "值"}),
    ("[1, 2]", [1, 2]), ('"text"', "text"), (b"3.5", 3.5), ("null", None),
    (bytearray(b"[1]"), [1]),
])
def test_load_json_plain(box, raw, expected):
    assert box.load_json(raw) == expected


def test_load_json_container(box):
    assert box.load_json(box.encrypt_dict(SETTINGS)) == SETTINGS
    assert box.load_json(box.encrypt("[1, 2]")) == [1, 2]


@pytest.mark.parametrize("raw, error, message, context", [
    (None, ValueError, "内容为空，无法解析", type(None)),
    ("", ValueError, SHORT, json.JSONDecodeError),
    (b"", ValueError, SHORT, json.JSONDecodeError),
    (b"\xef\xbb\xbf{}", ValueError, SHORT, json.JSONDecodeError),
    (b'\xef\xbb\xbf{"key": "' + b"v" * 30 + b'"}', ValueError, MAGIC, json.JSONDecodeError),
    (b"\xff" * 40, ValueError, MAGIC, UnicodeDecodeError),
    (bytearray(b"not json"), TypeError,
     "Argument 'qox_data' has incorrect type (expected bytes, got bytearray)", json.JSONDecodeError),
])
def test_load_json_failures_chain_the_first_error(raw, error, message, context):
    with raises(error, message) as info:
        Q(KEYS[32]).load_json(raw)
    assert type(info.value.__context__) is context


def test_load_json_other_failures_and_the_keyword_call():
    other_key = Q(KEYS[16]).encrypt("{}")
    with raises(ValueError, "HMAC校验失败，数据可能被篡改！") as info:
        Q(KEYS[32]).load_json(other_key)
    assert type(info.value.__context__) is UnicodeDecodeError
    recorder = Recorder(KEYS[32])
    with pytest.raises(UnicodeEncodeError):
        recorder.load_json("\ud800")
    with pytest.raises(AttributeError):  # no decode(): no second attempt
        recorder.load_json(5)
    assert not hasattr(recorder, "calls")
    container = recorder.encrypt_dict({"k": "v"})
    assert recorder.load_json(container) == recorder.decrypt_to_dict(container) == {"k": "v"}
    assert recorder.calls == [((), {"qox_data": container}), ((container,), {})]


# 2. encrypt_dict and decrypt_to_dict --------------------------------------------

@pytest.mark.parametrize("data, back", [
    ({}, {}), (SETTINGS, SETTINGS), ({1: (1, 2), "t": ("x",)}, {"1": [1, 2], "t": ["x"]}),
])
def test_dict_round_trip(box, data, back):
    assert box.decrypt_to_dict(box.encrypt_dict(data)) == back


def test_dict_text_is_one_line_json_without_escapes(box):
    text = box.decrypt(box.encrypt_dict({"名": "值", "n": [1, 2], "d": {"x": None}}))
    assert text == '{"名": "值", "n": [1, 2], "d": {"x": null}}'


def test_encrypt_dict_failures(box):
    with pytest.raises(ValueError, match="^" + UNSERIALISABLE) as info:
        box.encrypt_dict({"s": {1, 2}})
    assert type(info.value.__context__) is TypeError
    assert str(info.value) == UNSERIALISABLE + str(info.value.__context__)
    circular = {}
    circular["self"] = circular
    with pytest.raises(ValueError) as host:  # the wording (and 3.14's note) is the interpreter's
        json.dumps(circular, ensure_ascii=False, indent=None)
    with pytest.raises(ValueError) as info:
        box.encrypt_dict(circular)
    assert str(info.value) == str(host.value)
    assert getattr(info.value, "__notes__", None) == getattr(host.value, "__notes__", None)
    assert info.value.__context__ is None
    with pytest.raises(UnicodeEncodeError):
        box.encrypt_dict({"lone": "\udc80"})
    for value in [type("D", (dict,), {})(), [], None]:
        with type_error("data_dict", dict, value):
            box.encrypt_dict(value)


@pytest.mark.parametrize("text, message, context", [
    ("[1, 2]", NOT_DICT, None), ('"just text"', NOT_DICT, None),
    ("not json", NOT_JSON, json.JSONDecodeError),
])
def test_decrypt_to_dict_failures(box, text, message, context):
    with pytest.raises(ValueError, match="^" + message) as info:
        box.decrypt_to_dict(box.encrypt(text))
    if context is None:
        assert str(info.value) == message and info.value.__context__ is None
    else:
        assert str(info.value) == message + str(info.value.__context__)
        assert type(info.value.__context__) is context
    with raises(ValueError, SHORT):
        box.decrypt_to_dict(b"QOX1")


def test_results_of_overrides_are_type_checked(tmp_path):
    class Odd(Q):
        def encrypt(self, data):
            return self.result

        def decrypt_to_dict(self, qox_data):
            return [qox_data]

    odd = Odd(KEYS[32])
    odd.result = "text"
    with raises(TypeError, "Expected bytes, got str"):
        odd.encrypt_dict({})
    odd.result = None
    assert odd.encrypt_dict({}) is None
    (tmp_path / "odd.qox").write_bytes(b"x")
    with raises(TypeError, "Expected dict, got list"):
        odd.decrypt_file_to_dict(str(tmp_path / "odd.qox"))


# 3. Files -------------------------------------------------------------------------

def test_file_round_trip_holds_one_container(box, tmp_path):
    path = str(tmp_path / "settings.qox")
    assert box.encrypt_dict_to_file(SETTINGS, path) is None
    content = pathlib.Path(path).read_bytes()
    assert content[:5] == b"QOX1\x01" and box.decrypt_to_dict(content) == SETTINGS
    assert box.decrypt_file_to_dict(path) == SETTINGS


def test_unserialisable_dict_leaves_the_file_alone(box, tmp_path):
    existing, missing = tmp_path / "old.qox", tmp_path / "new.qox"
    existing.write_bytes(b"old content")
    for path in (existing, missing):
        with pytest.raises(ValueError, match="^" + UNSERIALISABLE):
            box.encrypt_dict_to_file({"bad": object()}, str(path))
    assert existing.read_bytes() == b"old content" and not missing.exists()


def test_missing_file_and_the_os_global(box, tmp_path, monkeypatch):
    path = str(tmp_path / "nowhere" / "x.qox")
    with raises(FileNotFoundError, "文件不存在: " + path) as info:
        box.decrypt_file_to_dict(path)
    assert info.value.args == ("文件不存在: " + path,)
    assert info.value.errno is None and info.value.filename is None
    box.encrypt_dict_to_file({}, str(tmp_path / "present.qox"))
    monkeypatch.setattr(crypto, "os", types.SimpleNamespace(
        path=types.SimpleNamespace(exists=lambda p: False)))
    with pytest.raises(FileNotFoundError):
        box.decrypt_file_to_dict(str(tmp_path / "present.qox"))


@pytest.mark.parametrize("path", [b"x.qox", pathlib.Path("x.qox"), None, "DIRECTORY"])
def test_bad_paths(box, tmp_path, path):
    if path == "DIRECTORY":  # exists, cannot be opened: the host's own error
        path, expected = str(tmp_path), pytest.raises(IsADirectoryError)
    else:
        expected = type_error("file_path", str, path)
    with expected:
        box.encrypt_dict_to_file({}, path)
    with expected:
        box.decrypt_file_to_dict(path)
    with type_error("data_dict", dict, []):  # checked before file_path
        box.encrypt_dict_to_file([], path)


def test_file_is_closed_when_the_write_fails(tmp_path):
    class TextOut(Q):
        def encrypt_dict(self, data_dict):
            return "not bytes"

    path = tmp_path / "out.qox"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            TextOut(KEYS[32]).encrypt_dict_to_file({}, str(path))
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]
    assert path.read_bytes() == b""
