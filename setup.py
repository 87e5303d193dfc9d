"""pip / wheel build of qoxcrypto.crypto: the sources of sources.txt, compiled as CMake's Release build does."""
import ast
import glob
import os
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))

# The flags CMake gives both targets in a Release build and the module's link options
# (see CMakeLists.txt and src/aes/CMakeLists.txt): keep the two in step. The interpreter's
# own CFLAGS (-g, -O2, -fwrapv, C-only warnings) are left out on purpose, so both builds
# produce the same code.
COMPILE_FLAGS = ["-std=c++17", "-O3", "-DNDEBUG", "-fPIC", "-fvisibility=hidden",
                 "-fvisibility-inlines-hidden", "-Wall", "-Wextra"]
EXPORTS_MAP = "src/module/exports.map"
LINK_FLAGS = ["-shared", "-static-libstdc++", "-static-libgcc", "-Wl,--exclude-libs,ALL",
              "-Wl,--version-script=" + os.path.join(HERE, EXPORTS_MAP)]


def read_sources():
    """Every source of sources.txt, engine and module alike, in file order."""
    sources = []
    with open(os.path.join(HERE, "sources.txt"), encoding="utf-8") as listing:
        for line in listing:
            fields = line.split()
            if len(fields) == 2 and fields[0] in ("engine", "module"):
                sources.append(fields[1])
    if not sources:
        raise RuntimeError("sources.txt lists no sources")
    return sources


def read_version():
    """__version__ of qoxcrypto/__init__.py, read without importing the package."""
    with open(os.path.join(HERE, "qoxcrypto", "__init__.py"), encoding="utf-8") as init:
        for node in ast.parse(init.read()).body:
            if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__version__"]:
                return ast.literal_eval(node.value)
    raise RuntimeError("qoxcrypto/__init__.py sets no __version__")


class ReleaseBuildExt(build_ext):
    """Compiles and links with the C++ compiler and the flags above only."""

    def build_extensions(self):
        cxx = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++"
        # Python's headers are a system directory, as with CMake: their own
        # warnings are not ours to fix.
        python_include = ["-isystem", sysconfig.get_paths()["include"]]
        self.compiler.set_executables(
            compiler_so=[cxx] + COMPILE_FLAGS + python_include,
            compiler_cxx=[cxx],
            linker_so=[cxx] + LINK_FLAGS)
        build_ext.build_extensions(self)


crypto = Extension(
    "qoxcrypto.crypto",
    sources=read_sources(),
    include_dirs=["src"],
    language="c++",
    # Headers, the version script and these flags: a change to any of them rebuilds the module.
    depends=sorted(glob.glob("src/**/*.h", recursive=True)) + [EXPORTS_MAP, "sources.txt", "setup.py"],
)

# Name, description and entry points are in pyproject.toml.
setup(
    version=read_version(),
    packages=["qoxcrypto"],
    package_data={"qoxcrypto": ["py.typed", "*.pyi"]},
    ext_modules=[crypto],
    cmdclass={"build_ext": ReleaseBuildExt},
    # Keep setuptools' scratch folders apart from CMake's build/<tag> trees.
    options={"build": {"build_base": "build/setuptools"}},
)
