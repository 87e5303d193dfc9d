"""The round-key cache behind _get_key: hits, the flush rule, rebound cache objects."""
import pytest

import aes_model as model
import qoxcrypto.crypto as crypto


@pytest.fixture(autouse=True)
def fresh_cache(monkeypatch):
    monkeypatch.setattr(crypto, "_KEY_CACHE", {})


def key_number(i):
    return i.to_bytes(2, "big") * 8


def test_hit_returns_the_very_same_pair():
    key = bytes(range(32))
    pair = crypto._get_key(key)
    assert pair == model.expand_key(key)
    assert crypto._get_key(bytes(range(32))) is pair      # equal key, other object
    assert crypto._KEY_CACHE == {key: pair}


def test_flush_rule_keeps_33_and_the_34th_empties_the_cache():
    for i in range(33):
        crypto._get_key(key_number(i))
    assert len(crypto._KEY_CACHE) == 33
    crypto._get_key(key_number(0))                        # a hit changes nothing
    assert len(crypto._KEY_CACHE) == 33
    crypto._get_key(key_number(33))
    assert list(crypto._KEY_CACHE) == [key_number(33)]


def test_stored_none_is_a_miss():
    key = bytes(16)
    crypto._KEY_CACHE[key] = None
    pair = crypto._get_key(key)
    assert pair == model.expand_key(key) and crypto._KEY_CACHE[key] is pair


@pytest.mark.parametrize("value, type_name", [([1], "list"), ("x", "str"), (0, "int")])
def test_cached_value_of_another_type_is_refused(value, type_name):
    crypto._KEY_CACHE[bytes(16)] = value
    with pytest.raises(TypeError, match=r"^Expected tuple, got %s$" % type_name):
        crypto._get_key(bytes(16))


def test_failed_expansion_stores_nothing_but_the_flush_stays():
    for i in range(33):
        crypto._get_key(key_number(i))
    with pytest.raises(IndexError):
        crypto._get_key(b"")
    assert crypto._KEY_CACHE == {}


def test_expand_key_is_called_through_the_global(monkeypatch):
    monkeypatch.setattr(crypto, "_expand_key", lambda key: ("pair", key))
    assert crypto._get_key(b"abcd") == ("pair", b"abcd")
    monkeypatch.setattr(crypto, "_expand_key", lambda key: [key])
    # Stored first, then refused by the result check.
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        crypto._get_key(b"efgh")
    assert crypto._KEY_CACHE[b"efgh"] == [b"efgh"]


class RecordingCache:
    """Not a dict: only get, len, clear and item assignment are offered."""

    def __init__(self, size=0):
        self.log, self.items, self.size = [], {}, size

    def get(self, key):
        self.log.append("get")
        return self.items.get(key)

    def __len__(self):
        self.log.append("len")
        return self.size

    def clear(self):
        self.log.append("clear")
        self.items.clear()

    def __setitem__(self, key, value):
        self.log.append("set")
        self.items[key] = value


@pytest.mark.parametrize("size, log", [(32, ["get", "len", "set"]), (33, ["get", "len", "clear", "set"])])
def test_rebound_cache_object_is_driven_by_its_methods(monkeypatch, size, log):
    cache = RecordingCache(size)
    monkeypatch.setattr(crypto, "_KEY_CACHE", cache)
    pair = crypto._get_key(bytes(16))
    assert cache.log == log and cache.items == {bytes(16): pair}
    assert crypto._get_key(bytes(16)) is pair and cache.log[-1] == "get"


def test_dict_subclass_uses_its_own_get(monkeypatch):
    class Stale(dict):
        def get(self, key, default=None):
            return "stale"

    monkeypatch.setattr(crypto, "_KEY_CACHE", Stale())
    with pytest.raises(TypeError, match=r"^Expected tuple, got str$"):
        crypto._get_key(bytes(16))


def test_cache_rebound_during_expansion_receives_the_entry(monkeypatch):
    replacement = {}

    def expand(key):
        crypto._KEY_CACHE = replacement
        return model.expand_key(key)

    monkeypatch.setattr(crypto, "_expand_key", expand)
    pair = crypto._get_key(bytes(16))
    assert replacement == {bytes(16): pair}


def test_missing_cache_is_a_name_error(monkeypatch):
    monkeypatch.delattr(crypto, "_KEY_CACHE")
    with pytest.raises(NameError, match="^name '_KEY_CACHE' is not defined$"):
        crypto._get_key(bytes(16))


def test_interface():
    assert crypto._get_key.__doc__ == "按密钥缓存轮密钥（同一 key 只展开一次）"
    assert crypto._get_key.__annotations__ == {"key": "bytes", "return": "Tuple[tuple, tuple]"}
