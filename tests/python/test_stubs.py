"""qoxcrypto/crypto.pyi against the module: names, parameters, annotations, constants; help()."""
import ast
import inspect
import os
import pydoc
import types
import typing

import pytest

from conftest import KEYS, ROOT, crypto

with open(os.path.join(ROOT, "qoxcrypto", "crypto.pyi"), encoding="utf-8") as _stub:
    STUB_SOURCE = _stub.read()
CLASS = crypto.QOXStringCrypto
METHODS = [name for name, value in vars(CLASS).items() if callable(value)]
EMPTY = inspect.Parameter.empty


def stub_names(source):
    """{top-level name: {member name: ast node}}; members only for classes."""
    names = {}
    for node in ast.parse(source).body:
        if isinstance(node, (ast.FunctionDef, ast.AnnAssign)):
            names[getattr(node, "name", None) or node.target.id] = {}
        elif isinstance(node, ast.ClassDef):
            names[node.name] = {getattr(item, "name", None) or item.target.id: item
                                for item in node.body
                                if isinstance(item, (ast.FunctionDef, ast.AnnAssign))}
    return names


def stub_signature(node, source):
    """[(name, default, annotation text)], the return annotation, and whether the stub
    uses parameter kinds the module has none of (/, *, *args, **kwargs)."""
    text = lambda expr: expr and ast.get_source_segment(source, expr)  # noqa: E731
    args = node.args
    defaults = [EMPTY] * (len(args.args) - len(args.defaults)) + [
        ast.literal_eval(value) for value in args.defaults]
    params = [(arg.arg, default, text(arg.annotation)) for arg, default in zip(args.args, defaults)]
    other_kinds = bool(args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg)
    return params, text(node.returns), other_kinds


def runtime_signature(function):
    signature = inspect.signature(function)
    params = [(p.name, p.default, None if p.annotation is EMPTY else p.annotation)
              for p in signature.parameters.values()]
    # The constructor carries no return annotation; its stub says None, as type checkers want.
    returns = signature.return_annotation
    if returns is EMPTY and function.__name__ == "__init__":
        returns = "None"
    return params, returns, False


def mismatches(source):
    """Every way in which a stub text disagrees with the module's public names and class."""
    names = stub_names(source)
    public = {name for name, value in vars(crypto).items() if not name.startswith("_")
              and not isinstance(value, types.ModuleType) and getattr(typing, name, None) is not value}
    problems = ["%s missing from the stub" % n for n in public - set(names)]
    problems += ["%s not in the module" % n for n in set(names) - public]
    members = names.get(CLASS.__name__, {})
    for name in METHODS:
        node = members.get(name)
        stub = isinstance(node, ast.FunctionDef) and stub_signature(node, source)
        if stub != runtime_signature(getattr(CLASS, name)):
            problems.append("method %s: %s" % (name, stub))
    instance = CLASS(KEYS[32])
    expected = {n: "ClassVar[%s]" % type(v).__name__ for n, v in vars(CLASS).items()
                if not n.startswith("_") and not callable(v)}
    expected.update((n, type(v).__name__) for n, v in vars(instance).items())
    for name, annotation in expected.items():
        node = members.get(name)
        if not node or ast.get_source_segment(source, node.annotation) != annotation:
            problems.append("attribute %s" % name)
    return problems + ["%s not in the class" % n for n in members if not hasattr(instance, n)]


def test_stub_matches_the_module():
    assert mismatches(STUB_SOURCE) == []


@pytest.mark.parametrize("old, new", [
    ("qox_data: bytes) -> str", "data: bytes) -> str"),
    ("use_hmac: bool = True", "use_hmac: bool = False"),
    ("use_hmac: bool = True", "*, use_hmac: bool = True"),
    ("data: Union[str, bytes]", "data: str"),
    ("-> Dict[str, Any]:\n        \"\"\"Reads", "-> dict:\n        \"\"\"Reads"),
    ("    HMAC_SIZE: ClassVar[int]\n", ""),
    ("    def load_json", "    def load_jsn"),
    ("from typing", "def helper() -> None: ...\nfrom typing"),
], ids=["param-name", "default", "keyword-only", "annotation", "return", "constant",
        "method-name", "extra-function"])
def test_checker_notices_each_kind_of_drift(old, new):
    assert old in STUB_SOURCE and mismatches(STUB_SOURCE.replace(old, new, 1))


def host_signature_line(name, signature):
    """The line in which this interpreter's help() shows a Python function of that name and signature."""
    def twin():
        pass
    twin.__name__, twin.__signature__ = name, signature
    page = pydoc.render_doc(twin, renderer=pydoc.plaintext)
    return next(line.strip() for line in page.splitlines() if line.strip().startswith(name + "("))


@pytest.mark.parametrize("name", METHODS)
def test_help_shows_parameters_and_docstring(name):
    method = getattr(CLASS, name)
    page = pydoc.render_doc(method, renderer=pydoc.plaintext)
    assert host_signature_line(name, inspect.signature(method)) in page
    assert method.__doc__.strip().splitlines()[0] in page
