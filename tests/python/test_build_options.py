"""build_options.txt as setup.py hands it to each kind of setuptools compiler.

Only Linux compilers run here: these cases keep the MSVC, macOS and MinGW branches from
receiving another toolchain's options (GCC flags on cl.exe, GNU ld's on Apple's linker).
"""
import importlib.util
import os
import re

import pytest

from conftest import ROOT

_spec = importlib.util.spec_from_file_location("build_options", os.path.join(ROOT, "build_options.py"))
build_options = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(build_options)


@pytest.mark.parametrize("compiler_type, platform, wanted, foreign", [
    # UTF-8 sources: without /utf-8, cl.exe would re-encode the Chinese messages.
    ("msvc", "win32", {"/std:c++17", "/O2", "/EHsc", "/utf-8"}, r"^-"),
    ("unix", "darwin", {"-std=c++17", "-O3", "-Wl,-undefined,dynamic_lookup"},
     r"^/|--version-script|--exclude-libs|^-static"),
    ("unix", "linux", {"-std=c++17", "-O3", "-static-libstdc++"},
     r"^/|exported_symbols_list|dynamic_lookup"),
    # -static: the POSIX-threads MinGW would otherwise import libwinpthread-1.dll.
    ("mingw32", "win32", {"-std=c++17", "-O3", "-static"},
     r"^/|--version-script|exported_symbols_list"),
])
def test_each_compiler_gets_options_of_its_own_kind(compiler_type, platform, wanted, foreign):
    compile_args, link_args = build_options.setuptools_options(compiler_type, platform, ROOT)
    arguments = compile_args + link_args
    assert wanted <= set(arguments)
    assert [a for a in arguments if re.search(foreign, a)] == []
    for argument in arguments:  # an export list it names is there and keeps the module entries
        if ROOT in argument:
            with open(argument[argument.index(ROOT):], encoding="utf-8") as export_list:
                assert re.search(r"PyInit_(crypto|\*)", export_list.read())


def test_a_compiler_without_options_is_refused():
    with pytest.raises(RuntimeError, match="'cygwin' compiler"):
        build_options.setuptools_options("cygwin", "cygwin", ROOT)
