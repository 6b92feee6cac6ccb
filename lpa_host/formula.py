"""Formulas as text: read without evaluating anything, into sympy expressions.

A formula is an arithmetic expression in the names it is given: numbers,
``+ - * /``, powers (``**``, or ``^`` with the same precedence), parentheses and the functions of
``FUNCTIONS``. It is parsed with Python's own grammar (``ast``) and turned
into sympy node by node, so no text from a formula is ever run: a name that is
not known, an attribute, a subscript, a keyword argument or anything else
that is not arithmetic is a ValueError that says what and where.

Decimal numbers become exact rationals (``0.1`` is 1/10), so the derivations
made from a formula are exact; the generated routines round once, at the end.
"""

from __future__ import annotations

import ast
import io
import tokenize
from collections.abc import Mapping

import sympy

#: Functions a formula may call, by name.
FUNCTIONS = {
    "exp": sympy.exp, "log": sympy.log, "sqrt": sympy.sqrt, "sin": sympy.sin,
    "cos": sympy.cos, "tan": sympy.tan, "sinh": sympy.sinh, "cosh": sympy.cosh,
    "tanh": sympy.tanh, "atan": sympy.atan,
}
#: Constants a formula may use, by name.
CONSTANTS = {"pi": sympy.pi}

_BINARY = {
    ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b, ast.Mult: lambda a, b: a * b,
    ast.Div: lambda a, b: a / b, ast.Pow: lambda a, b: a**b,
}


def _caret_as_power(text: str) -> str:
    """text with every ``^`` operator written ``**`` (token by token, so that it
    binds as a power does: 2*x^2 is 2*x**2, not (2*x)^2)."""
    try:
        toks = list(tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError):
        return text  # ast.parse reports it
    if not any(t.type == tokenize.OP and t.string == "^" for t in toks):
        return text
    return tokenize.untokenize(
        (t.type, "**" if t.type == tokenize.OP and t.string == "^" else t.string)
        for t in toks).strip()


def parse(text: str, names: Mapping[str, sympy.Expr], *, what: str = "equation",
          unknown_hint: str = "") -> sympy.Expr:
    """The sympy expression of `text`, whose names are looked up in `names`
    (then in CONSTANTS). ValueError, naming `what`, for anything else."""
    if not isinstance(text, str):
        raise ValueError(f"{what} must be a string, got {type(text).__name__}")
    if not text.strip():
        raise ValueError(f"{what} is empty")
    try:
        tree = ast.parse(_caret_as_power(text.strip()), mode="eval")
    except SyntaxError as exc:
        col = f" at column {exc.offset}" if exc.offset else ""
        raise ValueError(f"{what}: syntax error{col}: {exc.msg} in {text.strip()!r}") from None
    unknown = sorted({n.id for n in ast.walk(tree) if isinstance(n, ast.Name)
                      and n.id not in names and n.id not in CONSTANTS
                      and n.id not in FUNCTIONS})
    if unknown:
        listed = ", ".join(repr(u) for u in unknown)
        raise ValueError(f"{what}: unknown name{'s' if len(unknown) > 1 else ''} {listed}"
                         f"{unknown_hint}")
    return _convert(tree.body, names, what)


def _convert(node: ast.AST, names, what) -> sympy.Expr:
    if isinstance(node, ast.BinOp) and type(node.op) in _BINARY:
        return _BINARY[type(node.op)](_convert(node.left, names, what),
                                      _convert(node.right, names, what))
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        inner = _convert(node.operand, names, what)
        return -inner if isinstance(node.op, ast.USub) else inner
    if isinstance(node, ast.Constant):
        if isinstance(node.value, bool) or not isinstance(node.value, (int, float)):
            raise ValueError(f"{what}: {node.value!r} is not a real number")
        return sympy.Integer(node.value) if isinstance(node.value, int) else \
            sympy.Rational(repr(node.value))
    if isinstance(node, ast.Name):
        if node.id in names:
            return names[node.id]
        if node.id in CONSTANTS:
            return CONSTANTS[node.id]
        raise ValueError(f"{what}: {node.id!r} is a function; call it with an argument")
    if isinstance(node, ast.Call):
        if not isinstance(node.func, ast.Name) or node.func.id not in FUNCTIONS:
            name = node.func.id if isinstance(node.func, ast.Name) else ast.unparse(node.func)
            raise ValueError(f"{what}: {name!r} is not a function a formula may call "
                             f"({', '.join(sorted(FUNCTIONS))})")
        if node.keywords or len(node.args) != 1:
            raise ValueError(f"{what}: {node.func.id}() takes exactly one argument")
        return FUNCTIONS[node.func.id](_convert(node.args[0], names, what))
    raise ValueError(f"{what}: {ast.unparse(node)!r} is not arithmetic (allowed: numbers, "
                     "names, + - * / ** ^, parentheses and function calls)")
