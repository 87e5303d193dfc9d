"""Encrypts the example settings into a .qox file and reads it back with load_json."""
import json
import os
import sys
import tempfile

import qoxcrypto.crypto as crypto

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    with open(os.path.join(HERE, "settings.json"), encoding="utf-8") as handle:
        settings = json.load(handle)
    key = os.urandom(32)  # a real application keeps its key somewhere safe
    box = crypto.QOXStringCrypto(key)

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "settings.qox")
        box.encrypt_dict_to_file(settings, path)
        with open(path, "rb") as handle:
            container = handle.read()
        restored = box.load_json(container)

    print("settings:", json.dumps(settings, ensure_ascii=False))
    print("container: %d bytes, magic %r, version %d, IV %s, tag %s..." % (
        len(container), container[:4], container[4], container[5:21].hex(),
        container[21:29].hex()))
    print("read back:", json.dumps(restored, ensure_ascii=False))
    print("identical:", restored == settings)
    return 0 if restored == settings else 1


if __name__ == "__main__":
    sys.exit(main())
