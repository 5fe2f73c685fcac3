"""The type stub beside the module says what the module is: the same public names, the same classes
with the same methods and properties, and the same parameters (names, kinds, defaults) wherever the
module states a signature. The stub is read as a syntax tree, never imported."""
import ast
import inspect
import pathlib

import jorvane

STUB = pathlib.Path(jorvane.__file__).with_name("__init__.pyi")
PROTOCOL = {"__iter__", "__next__", "__len__"}  # the special methods a checker reads from the stub
BASETYPE = 1 << 10  # Py_TPFLAGS_BASETYPE: the class can be subclassed


def decorators(node):
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in node.decorator_list}


def stub_signature(fn):
    a = fn.args
    params = []
    positional = a.posonlyargs + a.args
    first_default = len(positional) - len(a.defaults)
    for i, arg in enumerate(positional):
        kind = inspect.Parameter.POSITIONAL_ONLY if i < len(a.posonlyargs) else inspect.Parameter.POSITIONAL_OR_KEYWORD
        default = ast.literal_eval(a.defaults[i - first_default]) if i >= first_default else inspect.Parameter.empty
        params.append((arg.arg, kind, default))
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        params.append((arg.arg, inspect.Parameter.KEYWORD_ONLY,
                       inspect.Parameter.empty if default is None else ast.literal_eval(default)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return params


def runtime_signature(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def as_method(params):
    # A method's receiver is positional-only at run time and plain in the stub.
    if params and params[0][0] == "self":
        return [("self", inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.empty)] + params[1:]
    return params


def runtime_classes():
    registered = {name: getattr(jorvane, name) for name in jorvane.__all__ if isinstance(getattr(jorvane, name), type)}
    returned = {cls.__name__: cls for cls in (type(jorvane.describe('{"a": 1}')),
                                              type(jorvane.table_batches('{"a": 1}', "", ["a"])),
                                              type(jorvane.ndjson_lines('{"a": 1}', "")))}
    return registered, returned


def test_the_stub_and_the_module_have_the_same_names_and_signatures():
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and [t.id for t in n.targets] == ["__all__"])
    assert stub_all == list(jorvane.__all__)

    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    defined = set(functions) | set(classes) | {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    checker_only = {name for name, node in classes.items() if "type_check_only" in decorators(node)}
    assert set(jorvane.__all__) <= defined - checker_only
    assert {n for n in defined - checker_only if not n.startswith("_")} <= set(jorvane.__all__)
    registered, returned = runtime_classes()
    assert {n for n in checker_only if not n.startswith("_")} == set(returned)

    for name, fn in functions.items():
        assert stub_signature(fn) == runtime_signature(getattr(jorvane, name)), name

    for name, cls in {**registered, **returned}.items():
        node = classes[name]
        members = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
        ctor = members.pop("__new__", None)
        if ctor is not None:
            assert stub_signature(ctor)[1:] == runtime_signature(cls), name
        else:  # no constructor that Python code can call
            assert runtime_signature(cls) == [], name
        own = {k: v for k, v in vars(cls).items() if not k.startswith("_") or k in PROTOCOL}
        assert set(members) == set(own), name
        for member, fn in members.items():
            is_property = "property" in decorators(fn)
            assert is_property == inspect.isdatadescriptor(own[member]), f"{name}.{member}"
            if not is_property:
                assert as_method(stub_signature(fn)) == as_method(runtime_signature(own[member])), f"{name}.{member}"
        assert ("final" in decorators(node)) == (not cls.__flags__ & BASETYPE), name


def test_the_stub_ships_with_its_marker():
    assert (STUB.parent / "py.typed").is_file()
