"""The compiler and linker options of build_options.txt, for setup.py and the build scripts.

As a script: ``python3 build_options.py TOOLCHAIN STEP...`` prints that toolchain's options of
those steps, one a line (the Windows cross build reads the MinGW ones this way).
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLCHAINS = ("gnu", "apple", "mingw", "msvc")
STEPS = ("standard", "release", "compile", "link", "runtime", "shipped")
# What setup.py gives its compiler: what CMake's Release build has, without debug information.
SETUPTOOLS_COMPILE_STEPS = ("standard", "release", "compile", "shipped")
SETUPTOOLS_LINK_STEPS = ("link", "runtime")


def toolchain_for(compiler_type, platform):
    """The toolchain of a setuptools compiler (its compiler_type) on sys.platform `platform`."""
    if compiler_type == "msvc":
        return "msvc"
    if compiler_type == "mingw32":
        return "mingw"
    if compiler_type == "unix":
        return "apple" if platform == "darwin" else "gnu"
    raise RuntimeError("qoxcrypto has no build options for the %r compiler" % compiler_type)


def read_options(toolchain, steps, root=HERE):
    """The arguments of `toolchain` for `steps`, in file order, with @ROOT@ made `root`."""
    if toolchain not in TOOLCHAINS or not set(steps) <= set(STEPS):
        raise ValueError("unknown toolchain or step: %s %s" % (toolchain, list(steps)))
    options = []
    with open(os.path.join(root, "build_options.txt"), encoding="utf-8") as listing:
        for line in listing:
            fields = line.split(None, 2)
            if len(fields) == 3 and fields[0] == toolchain and fields[1] in steps:
                options.append(fields[2].strip().replace("@ROOT@", root))
    return options


def setuptools_options(compiler_type, platform, root=HERE):
    """(extra_compile_args, extra_link_args) for a setuptools compiler of `compiler_type`."""
    toolchain = toolchain_for(compiler_type, platform)
    return (read_options(toolchain, SETUPTOOLS_COMPILE_STEPS, root),
            read_options(toolchain, SETUPTOOLS_LINK_STEPS, root))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: build_options.py TOOLCHAIN STEP...")
    print("\n".join(read_options(sys.argv[1], sys.argv[2:])))
