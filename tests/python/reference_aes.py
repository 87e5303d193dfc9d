"""An AES-CBC reference independent of the module, for differential tests.

The `cryptography` package where it runs (Debian builds it for the system
interpreter only), otherwise OpenSSL's libcrypto through ctypes, which every
interpreter can load. `reference_cbc` is None when neither is available.
"""
import ctypes
import ctypes.util


def _from_cryptography():
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        Cipher(algorithms.AES(bytes(16)), modes.CBC(bytes(16))).encryptor()
    except Exception:  # absent, or built for another interpreter
        return None

    def run(key, iv, data, encrypt=True):
        cipher = Cipher(algorithms.AES(key), modes.CBC(iv))
        worker = cipher.encryptor() if encrypt else cipher.decryptor()
        return worker.update(data) + worker.finalize()
    return run


def _from_libcrypto():
    name = ctypes.util.find_library("crypto") or "libcrypto.so.3"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return None
    lib.EVP_CIPHER_CTX_new.restype = ctypes.c_void_p
    lib.EVP_CIPHER_CTX_free.argtypes = [ctypes.c_void_p]
    lib.EVP_CIPHER_CTX_set_padding.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.EVP_CipherInit_ex.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                      ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    lib.EVP_CipherUpdate.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                     ctypes.POINTER(ctypes.c_int), ctypes.c_char_p, ctypes.c_int]
    ciphers = {}
    for bits in (128, 192, 256):
        factory = getattr(lib, "EVP_aes_%d_cbc" % bits)
        factory.restype = ctypes.c_void_p
        ciphers[bits // 8] = factory()

    def run(key, iv, data, encrypt=True):
        if len(key) not in ciphers or len(iv) != 16 or len(data) % 16:
            raise ValueError("reference AES-CBC takes 16/24/32-byte keys and whole blocks")
        ctx = lib.EVP_CIPHER_CTX_new()
        try:
            out = ctypes.create_string_buffer(len(data) + 16)
            produced = ctypes.c_int(0)
            ok = (lib.EVP_CipherInit_ex(ctx, ciphers[len(key)], None, key, iv, int(encrypt)) == 1
                  and lib.EVP_CIPHER_CTX_set_padding(ctx, 0) == 1
                  and lib.EVP_CipherUpdate(ctx, out, ctypes.byref(produced), data, len(data)) == 1)
            if not ok or produced.value != len(data):
                raise RuntimeError("libcrypto AES-CBC failed")
            return out.raw[:len(data)]
        finally:
            lib.EVP_CIPHER_CTX_free(ctx)
    return run


reference_cbc = _from_cryptography() or _from_libcrypto()
