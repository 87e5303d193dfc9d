"""Module entry, once-per-process rules, docstring and the order of globals."""
import importlib
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import qoxcrypto.crypto as crypto
from conftest import PACKAGE_ROOT, ROOT

MODULE_DOC = (
    "\n"
    ".qox 格式的加解密（AES-256-CBC + PKCS7 + 可选 HMAC-SHA256）\n"
    "\n"
    "早期实现依赖第三方库 ``cryptography``，但它并不在 requirements.txt 里\n"
    "（属于隐式依赖，干净环境安装后会直接 ImportError）。本模块改为**纯标准库**实现：\n"
    "AES 算法按 FIPS-197 自己实现（查表法），HMAC 用标准库 ``hmac``/``hashlib``。\n"
    "\n"
    "文件格式与旧实现**完全一致**，老文件无需重新加密即可继续解密：\n"
    "    | MAGIC(4B) | VERSION(1B) | IV(16B) | HMAC(32B) | ENCRYPTED_DATA |\n"
    "（use_hmac=False 时没有 HMAC 段）\n"
)

# Every global the import binds, in binding order.
GLOBALS_IN_ORDER = (
    "os json hmac struct hashlib Union Dict Any List Tuple "
    "_xtime _mul _build_sbox _SBOX _INV_SBOX _ror8 _build_tables "
    "_TE0 _TE1 _TE2 _TE3 _TF0 _TF1 _TF2 _TF3 _TD0 _TD1 _TD2 _TD3 _TG0 _TG1 _TG2 _TG3 "
    "_inv_mix_word _to_rounds _expand_key _KEY_CACHE _get_key _cbc_encrypt _cbc_decrypt "
    "_NativeAES _init_native_backend _NATIVE_AES _aes_cbc _pkcs7_pad _pkcs7_unpad "
    "QOXStringCrypto __test__"
).split()

MODULE_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                "__file__", "__builtins__"}


def run_python(code, *args):
    return subprocess.run([sys.executable, *args, "-c", textwrap.dedent(code)],
                          cwd=PACKAGE_ROOT, capture_output=True, text=True)


def test_docstring_is_exact():
    assert crypto.__doc__ == MODULE_DOC and len(crypto.__doc__) == 347


def test_globals_are_bound_in_order():
    # In a fresh process: tests here rebind globals, which may move them.
    result = run_python("import qoxcrypto.crypto as c; print(' '.join(vars(c)))")
    bound = [name for name in result.stdout.split() if name not in MODULE_ATTRS]
    # Globals not built yet are absent, never out of place.
    assert bound == [name for name in GLOBALS_IN_ORDER if name in bound]
    assert bound[-1] == "__test__" and crypto.__test__ == {}


def test_module_attributes():
    assert crypto.__name__ == "qoxcrypto.crypto"
    assert crypto.__package__ == "qoxcrypto"
    assert crypto.__builtins__ is __import__("builtins")
    assert crypto.os is os and crypto.Tuple is __import__("typing").Tuple


def test_reimport_returns_same_module_without_rerunning_body(monkeypatch):
    sbox = crypto._SBOX
    monkeypatch.delitem(sys.modules, "qoxcrypto.crypto")
    again = importlib.import_module("qoxcrypto.crypto")
    assert again is crypto and again._SBOX is sbox
    assert sys.modules["qoxcrypto.crypto"] is crypto


def test_creation_hands_back_the_executed_module():
    spec = crypto.__spec__
    other = importlib.util.module_from_spec(spec)
    assert other is crypto  # creation hands back the module whose body ran


def test_no_version_warning_on_matching_interpreter():
    result = run_python("import qoxcrypto.crypto", "-W", "error::RuntimeWarning")
    assert result.returncode == 0, result.stderr


def test_second_interpreter_is_refused():
    code = """
        import sys, qoxcrypto.crypto
        try:
            import _testcapi
        except ImportError:
            sys.exit(77)
        if not hasattr(_testcapi, "run_in_subinterp"):
            sys.exit(77)
        out = sys.argv[1] if len(sys.argv) > 1 else None
        sub = (
            "import sys\\n"
            "sys.path.insert(0, %r)\\n"
            "try:\\n"
            "    import qoxcrypto.crypto\\n"
            "    msg = 'imported'\\n"
            "except ImportError as e:\\n"
            "    msg = 'ImportError: ' + str(e)\\n"
            "open(%r, 'w').write(msg)\\n"
        ) % (sys.path[0], OUT)
        _testcapi.run_in_subinterp(sub)
    """
    out = os.path.join(ROOT, "build", "subinterp-%d.txt" % os.getpid())
    os.makedirs(os.path.dirname(out), exist_ok=True)
    code = code.replace("OUT)", repr(out) + ")").replace("sys.path[0]", repr(PACKAGE_ROOT))
    result = run_python(code)
    if result.returncode == 77:
        pytest.skip("this interpreter has no sub-interpreter test hook")
    assert result.returncode == 0, result.stderr
    with open(out) as handle:
        message = handle.read()
    os.remove(out)
    assert message == ("ImportError: Interpreter change detected - this module can only "
                       "be loaded into one interpreter per process.")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_module_entry_is_exported():
    result = subprocess.run(["nm", "-D", "--defined-only", crypto.__file__],
                            capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_crypto"]
