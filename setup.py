"""pip / wheel build of qoxcrypto.crypto: the sources of sources.txt, with the options of build_options.txt."""
import ast
import glob
import os
import sys
from concurrent.futures import ThreadPoolExecutor

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


def compiling_in_parallel(compile_one):
    """A compiler's compile() that runs one compiler per core and compiles a source once.

    Both modules hold the engine: its objects, made with the same options into the same
    place, are compiled for the first and reused by the second within one build.
    """
    done = {}

    def compile_all(sources, *args, **kwargs):
        def one(source):
            key = (source, repr(args), repr(sorted(kwargs.items())))
            if key not in done:
                done[key] = compile_one([source], *args, **kwargs)
            return done[key]

        if not sources:
            return []
        # The first alone: some compilers set themselves up on their first call.
        first = one(sources[0])
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            return first + [obj for objects in pool.map(one, sources[1:]) for obj in objects]

    return compile_all


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
        self.compiler.compile = compiling_in_parallel(self.compiler.compile)
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
    packages=["qoxcrypto", "qoxcrypto.cli"],
    package_data={"qoxcrypto": ["py.typed", "*.pyi"]},
    ext_modules=[crypto, engine],
    cmdclass={"build_ext": ReleaseBuildExt},
    # Keep setuptools' scratch folders apart from CMake's build/<tag> trees.
    options={"build": {"build_base": "build/setuptools"}},
)
