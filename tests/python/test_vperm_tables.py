"""The vector-permute path's constant tables: the checked-in header is what
tools/gen_vperm_tables.py writes, and the generator's own checks (every byte
of both S-boxes through the tables) pass."""
import os
import subprocess
import sys

from conftest import ROOT


def test_header_is_the_generator_output(tmp_path):
    out = tmp_path / "vperm_tables.h"
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_vperm_tables.py"), str(out)],
                   check=True)
    with open(os.path.join(ROOT, "src", "engine", "aes", "vperm_tables.h")) as checked_in:
        assert out.read_text() == checked_in.read()
