"""qoxcrypto/crypto.pyi against the module: names, parameters, annotations, constants; help()."""
import ast
import inspect
import os
import pydoc
import subprocess
import sys
import types
import typing

import pytest

from conftest import KEYS, ROOT, crypto

STUB_PATH = os.path.join(ROOT, "qoxcrypto", "crypto.pyi")
with open(STUB_PATH, encoding="utf-8") as _stub:
    STUB_SOURCE = _stub.read()
CLASS = crypto.QOXStringCrypto
METHODS = [name for name, value in vars(CLASS).items() if callable(value)]
CONSTANTS = [name for name, value in vars(CLASS).items()
             if not name.startswith("_") and not callable(value)]


def stub_names(source):
    """{top-level name: {member name: ast node}}; members only for classes."""
    classes = {}
    for node in ast.parse(source).body:
        if isinstance(node, (ast.FunctionDef, ast.AnnAssign)):
            classes[getattr(node, "name", None) or node.target.id] = {}
        if isinstance(node, ast.ClassDef):
            members = classes[node.name] = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = item
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = item
    return classes


def stub_signature(node, source):
    """(name, kind, default, annotation) per parameter, then the return annotation."""
    text = lambda expr: None if expr is None else ast.get_source_segment(source, expr)  # noqa: E731
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(value) for value in args.defaults]
    params = [(arg.arg,
               "POSITIONAL_ONLY" if arg in args.posonlyargs else "POSITIONAL_OR_KEYWORD",
               default, text(arg.annotation)) for arg, default in zip(positional, defaults)]
    params += [(arg.arg, kind, None, text(arg.annotation))
               for arg, kind in ((args.vararg, "VAR_POSITIONAL"), (args.kwarg, "VAR_KEYWORD")) if arg]
    params += [(arg.arg, "KEYWORD_ONLY", None, text(arg.annotation)) for arg in args.kwonlyargs]
    return params, text(node.returns)


def runtime_signature(function):
    signature = inspect.signature(function)
    empty = inspect.Parameter.empty
    params = [(p.name, p.kind.name, p.default, None if p.annotation is empty else p.annotation)
              for p in signature.parameters.values()]
    returns = signature.return_annotation
    # The constructor carries no return annotation; its stub says None, as type checkers want.
    if returns is inspect.Signature.empty and function.__name__ == "__init__":
        returns = "None"
    return params, returns


def mismatches(source):
    """Every way in which a stub text disagrees with the module's public names and class."""
    problems = []
    classes = stub_names(source)
    public = {name for name, value in vars(crypto).items() if not name.startswith("_")
              and not isinstance(value, types.ModuleType) and getattr(typing, name, None) is not value}
    problems += ["module name %s missing from the stub" % n for n in sorted(public - set(classes))]
    problems += ["stub name %s not in the module" % n for n in sorted(set(classes) - public)]
    members = classes.get(CLASS.__name__, {})
    for name in METHODS:
        node = members.get(name)
        if not isinstance(node, ast.FunctionDef):
            problems.append("method %s missing" % name)
        elif stub_signature(node, source) != runtime_signature(getattr(CLASS, name)):
            problems.append("method %s: %s != %s" % (name, stub_signature(node, source),
                                                     runtime_signature(getattr(CLASS, name))))
    instance = CLASS(KEYS[32])
    expected = dict({n: "ClassVar[%s]" % type(getattr(CLASS, n)).__name__ for n in CONSTANTS},
                    **{n: type(v).__name__ for n, v in vars(instance).items()})
    for name, annotation in expected.items():
        node = members.get(name)
        found = node and ast.get_source_segment(source, node.annotation)
        if found != annotation:
            problems.append("attribute %s: %r != %r" % (name, found, annotation))
    problems += ["stub member %s not in the class" % name for name in members
                 if not hasattr(instance, name)]
    return problems


def test_stub_matches_the_module():
    assert mismatches(STUB_SOURCE) == []


@pytest.mark.parametrize("old, new", [
    ("qox_data: bytes) -> str", "data: bytes) -> str"),                # renamed parameter
    ("use_hmac: bool = True", "use_hmac: bool"),                       # lost default
    ("use_hmac: bool = True", "use_hmac: bool = False"),               # wrong default
    ("data: Union[str, bytes]", "data: str"),                          # narrowed annotation
    ("-> Dict[str, Any]:\n        \"\"\"Reads", "-> dict:\n        \"\"\"Reads"),  # return type
    ("    HMAC_SIZE: ClassVar[int]\n", ""),                            # dropped constant
    ("    def load_json", "    def load_jsn"),                          # misspelt method
    ("class QOXStringCrypto:", "class QOXStringCrypto:\n    def extra(self) -> None: ..."),
    ("from typing", "def helper() -> None: ...\nfrom typing"),         # invented function
], ids=["param-name", "default-missing", "default-value", "annotation", "return", "constant",
        "method-name", "extra-method", "extra-function"])
def test_checker_notices_each_kind_of_drift(old, new):
    assert old in STUB_SOURCE
    assert mismatches(STUB_SOURCE.replace(old, new, 1))


def test_package_ships_the_typed_marker():
    assert os.path.isfile(os.path.join(ROOT, "qoxcrypto", "py.typed"))


def test_type_checker_accepts_the_stub(tmp_path):
    pytest.importorskip("mypy.stubtest")
    allow = tmp_path / "allow.txt"
    allow.write_text("qoxcrypto.crypto.__test__\n")  # the doctest hook is no API
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "qoxcrypto.crypto",
                          "--allowlist", str(allow)], cwd=str(tmp_path), capture_output=True,
                         text=True, env=dict(os.environ, MYPYPATH=ROOT, PYTHONPATH=os.pathsep.join(
                             filter(None, [ROOT, os.environ.get("PYTHONPATH")]))))
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("name", METHODS)
def test_help_shows_parameters_and_docstring(name):
    method = getattr(CLASS, name)
    page = pydoc.render_doc(method, renderer=pydoc.plaintext)
    assert name + str(inspect.signature(method)) in page
    assert method.__doc__.strip().splitlines()[0] in page
