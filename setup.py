"""pip / wheel build of qoxcrypto.crypto: the sources of sources.txt, with the options of build_options.txt."""
import ast
import glob
import os
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
# setuptools' PEP 517 backend runs this file without its folder on sys.path.
sys.path.insert(0, HERE)
from build_options import setuptools_options  # noqa: E402


def read_sources(*kinds):
    """The sources of sources.txt of the given kinds, in file order."""
    sources = []
    with open(os.path.join(HERE, "sources.txt"), encoding="utf-8") as listing:
        for line in listing:
            fields = line.split()
            if len(fields) == 2 and fields[0] in kinds:
                sources.append(fields[1])
    if not sources:
        raise RuntimeError("sources.txt lists no %s sources" % "/".join(kinds))
    return sources


def read_version():
    """__version__ of qoxcrypto/__init__.py, read without importing the package."""
    with open(os.path.join(HERE, "qoxcrypto", "__init__.py"), encoding="utf-8") as init:
        for node in ast.parse(init.read()).body:
            if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__version__"]:
                return ast.literal_eval(node.value)
    raise RuntimeError("qoxcrypto/__init__.py sets no __version__")


class ReleaseBuildExt(build_ext):
    """setuptools' compiler as it is, given build_options.txt's options for its kind.

    Python's headers reach it as -I, as in CMake's build: as -isystem, g++ would resolve
    Debian's debug-interpreter headers (symlinks into the release ones) to the release
    pyconfig.h, and a module for python3.xd would lack Py_DEBUG.
    """

    def build_extensions(self):
        compile_args, link_args = setuptools_options(self.compiler.compiler_type, sys.platform)
        for extension in self.extensions:
            extension.extra_compile_args = compile_args + extension.extra_compile_args
            extension.extra_link_args = link_args + extension.extra_link_args
        build_ext.build_extensions(self)


# Headers, the export lists and the options: a change to any of them rebuilds the modules.
DEPENDS = (sorted(glob.glob("src/**/*.h", recursive=True)) + sorted(glob.glob("src/module/exports*"))
           + ["sources.txt", "build_options.txt", "build_options.py", "setup.py"])

# The specified module, and the package layer's binding of the same engine.
crypto = Extension("qoxcrypto.crypto", sources=read_sources("engine", "module"),
                   include_dirs=["src"], language="c++", depends=DEPENDS)
engine = Extension("qoxcrypto._engine", sources=read_sources("engine", "stream"),
                   include_dirs=["src"], language="c++", depends=DEPENDS)

# Name, description and entry points are in pyproject.toml.
setup(
    version=read_version(),
    packages=["qoxcrypto"],
    package_data={"qoxcrypto": ["py.typed", "*.pyi"]},
    ext_modules=[crypto, engine],
    cmdclass={"build_ext": ReleaseBuildExt},
    # Keep setuptools' scratch folders apart from CMake's build/<tag> trees.
    options={"build": {"build_base": "build/setuptools"}},
)
