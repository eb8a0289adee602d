"""Exact derivatives of a formula term's code by one of its variables.

A numerical term of a formula is Python code over the data's columns, such as
``I(age ** 2)`` or ``np.log(income)``. Its derivative by a variable is written as code
too, by the rules of calculus applied to the code's syntax tree (sum, product, quotient
and chain rules), and evaluated on the data like the term itself. The functions whose
derivatives are known are NumPy's elementary functions, the identity ``I`` and the
stateful transforms ``center`` and ``standardize``; a term that applies anything else
to the variable is refused with an error that names it.
"""

from __future__ import annotations

import ast
import math
from collections import ChainMap
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import CodeType
from typing import Any

import numpy as np

from velmora_margins.errors import DesignError

# The names the derivative code uses for functions of its own; a formula cannot
# reach them, since they are not valid in the data or the formula's namespace.
HELPERS: dict[str, Any] = {
    "__velmora_log__": np.log,
    "__velmora_exp__": np.exp,
    "__velmora_sqrt__": np.sqrt,
    "__velmora_sign__": np.sign,
    "__velmora_cos__": np.cos,
    "__velmora_sin__": np.sin,
    "__velmora_cosh__": np.cosh,
    "__velmora_sinh__": np.sinh,
}


class NotDifferentiable(DesignError):
    """The code applies something to the variable whose derivative is not known."""


Node = ast.expr | None  # None stands for a derivative that is zero everywhere


def number(value: float) -> ast.expr:
    return ast.Constant(value=value)


def is_number(node: Node, value: float) -> bool:
    return isinstance(node, ast.Constant) and node.value == value


def add(a: Node, b: Node) -> Node:
    if a is None:
        return b
    if b is None:
        return a
    return ast.BinOp(left=a, op=ast.Add(), right=b)


def negate(a: Node) -> Node:
    if a is None:
        return None
    if isinstance(a, ast.Constant) and isinstance(a.value, int | float):
        return number(-a.value)
    return ast.UnaryOp(op=ast.USub(), operand=a)


def subtract(a: Node, b: Node) -> Node:
    if b is None:
        return a
    if a is None:
        return negate(b)
    return ast.BinOp(left=a, op=ast.Sub(), right=b)


def multiply(a: Node, b: Node) -> Node:
    if a is None or b is None:
        return None
    if is_number(a, 1):
        return b
    if is_number(b, 1):
        return a
    return ast.BinOp(left=a, op=ast.Mult(), right=b)


def divide(a: Node, b: ast.expr) -> Node:
    if a is None:
        return None
    if is_number(b, 1):
        return a
    return ast.BinOp(left=a, op=ast.Div(), right=b)


def call(helper: str, *args: ast.expr) -> ast.expr:
    return ast.Call(func=ast.Name(id=helper, ctx=ast.Load()), args=list(args), keywords=[])


def square(a: ast.expr) -> ast.expr:
    return ast.BinOp(left=a, op=ast.Mult(), right=a)


def scaled(u: ast.expr, factor: float) -> ast.expr:
    return ast.BinOp(left=u, op=ast.Mult(), right=number(factor))


# For f(u): f'(u) as code, given u's code and the code of the call f(u) itself.
Rule = Callable[[ast.expr, ast.expr], ast.expr]

LN2, LN10 = math.log(2.0), math.log(10.0)

RULES: dict[Any, Rule] = {
    np.log: lambda u, f: ast.BinOp(left=number(1.0), op=ast.Div(), right=u),
    np.log2: lambda u, f: ast.BinOp(left=number(1.0), op=ast.Div(), right=scaled(u, LN2)),
    np.log10: lambda u, f: ast.BinOp(left=number(1.0), op=ast.Div(), right=scaled(u, LN10)),
    np.log1p: lambda u, f: ast.BinOp(
        left=number(1.0), op=ast.Div(), right=ast.BinOp(left=number(1.0), op=ast.Add(), right=u)
    ),
    np.exp: lambda u, f: f,
    np.expm1: lambda u, f: call("__velmora_exp__", u),
    np.exp2: lambda u, f: ast.BinOp(left=f, op=ast.Mult(), right=number(LN2)),
    np.sqrt: lambda u, f: ast.BinOp(
        left=number(1.0), op=ast.Div(), right=ast.BinOp(left=number(2.0), op=ast.Mult(), right=f)
    ),
    np.cbrt: lambda u, f: ast.BinOp(
        left=number(1.0),
        op=ast.Div(),
        right=ast.BinOp(left=number(3.0), op=ast.Mult(), right=square(f)),
    ),
    np.square: lambda u, f: ast.BinOp(left=number(2.0), op=ast.Mult(), right=u),
    np.reciprocal: lambda u, f: ast.UnaryOp(
        op=ast.USub(), operand=ast.BinOp(left=number(1.0), op=ast.Div(), right=square(u))
    ),
    np.sin: lambda u, f: call("__velmora_cos__", u),
    np.cos: lambda u, f: ast.UnaryOp(op=ast.USub(), operand=call("__velmora_sin__", u)),
    np.tan: lambda u, f: ast.BinOp(
        left=number(1.0), op=ast.Div(), right=square(call("__velmora_cos__", u))
    ),
    np.arctan: lambda u, f: ast.BinOp(
        left=number(1.0),
        op=ast.Div(),
        right=ast.BinOp(left=number(1.0), op=ast.Add(), right=square(u)),
    ),
    np.sinh: lambda u, f: call("__velmora_cosh__", u),
    np.cosh: lambda u, f: call("__velmora_sinh__", u),
    np.tanh: lambda u, f: ast.BinOp(left=number(1.0), op=ast.Sub(), right=square(f)),
    np.abs: lambda u, f: call("__velmora_sign__", u),
    np.fabs: lambda u, f: call("__velmora_sign__", u),
    abs: lambda u, f: call("__velmora_sign__", u),
}

FUNCTION_NAMES = "I, center, standardize, scale, abs, and NumPy's " + ", ".join(
    sorted({f.__name__ for f in RULES if f is not abs} | {np.power.__name__})
)


@dataclass(frozen=True)
class Derivative:
    """The derivative of a term's code: a constant, or code to evaluate on the data."""

    constant: float | None
    code: CodeType | None

    def evaluate(self, data: Mapping[str, Any], scope: ChainMap[str, Any], rows: int) -> np.ndarray:
        """Returns the derivative's value at each of the rows of data."""
        if self.code is None:
            return np.full(rows, self.constant if self.constant is not None else 0.0)
        value = eval(self.code, {}, ChainMap(dict(data), HELPERS, scope))
        return np.broadcast_to(np.asarray(value, dtype=np.float64).reshape(-1), (rows,))


class Differentiator:
    """Writes the derivative of code by one variable.

    ``variables`` are the names that stand for data columns; ``resolve`` gives the
    object any other name stands for (a function, a module, a stateful transform).
    """

    def __init__(self, variable: str, variables: set[str], resolve: Callable[[str], Any]) -> None:
        self.variable = variable
        self.variables = variables
        self.resolve = resolve

    def derivative(self, code: str) -> Derivative:
        tree = ast.parse(code.strip(), mode="eval")
        node = self.walk(tree.body)
        if node is None:
            return Derivative(0.0, None)
        if isinstance(node, ast.Constant) and isinstance(node.value, int | float):
            return Derivative(float(node.value), None)
        expression = ast.fix_missing_locations(ast.Expression(body=node))
        return Derivative(None, compile(expression, f"<derivative of {code}>", "eval"))

    def depends(self, node: ast.AST) -> bool:
        """Returns whether the code of node reads the variable."""
        for child in ast.walk(node):
            if isinstance(child, ast.Name) and child.id == self.variable:
                return True
            if self.quoted(child) == self.variable:
                return True
        return False

    def quoted(self, node: ast.AST) -> str | None:
        """Returns the column that Q("column") names, or None if node is no such call."""
        if (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Name)
            and node.func.id == "Q"
            and len(node.args) == 1
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)
        ):
            return node.args[0].value
        return None

    def walk(self, node: ast.expr) -> Node:
        if not self.depends(node):
            return None
        if isinstance(node, ast.Name) or self.quoted(node) is not None:
            return number(1.0)
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.UAdd | ast.USub):
            inner = self.walk(node.operand)
            return negate(inner) if isinstance(node.op, ast.USub) else inner
        if isinstance(node, ast.BinOp):
            return self.binary(node)
        if isinstance(node, ast.Call):
            return self.function(node)
        raise NotDifferentiable(f"'{ast.unparse(node)}' is not arithmetic or a known function")

    def binary(self, node: ast.BinOp) -> Node:
        a, b = node.left, node.right
        da, db = self.walk(a), self.walk(b)
        if isinstance(node.op, ast.Add):
            return add(da, db)
        if isinstance(node.op, ast.Sub):
            return subtract(da, db)
        if isinstance(node.op, ast.Mult):
            return add(multiply(da, b), multiply(a, db))
        if isinstance(node.op, ast.Div):
            # (a / b)' = a' / b - a b' / b^2
            return subtract(divide(da, b), divide(multiply(a, db), square(b)))
        if isinstance(node.op, ast.Pow):
            return self.power(a, b, da, db)
        raise NotDifferentiable(f"the operator in '{ast.unparse(node)}' is not differentiable")

    def power(self, a: ast.expr, b: ast.expr, da: Node, db: Node) -> Node:
        # (a^b)' = b a^(b - 1) a' + a^b log(a) b'
        by_base = None
        if da is not None:
            lowered: ast.expr = ast.BinOp(left=b, op=ast.Sub(), right=number(1.0))
            if isinstance(b, ast.Constant) and isinstance(b.value, int | float):
                lowered = number(b.value - 1)
            by_base = multiply(multiply(b, ast.BinOp(left=a, op=ast.Pow(), right=lowered)), da)
        by_exponent = None
        if db is not None:
            whole = ast.BinOp(left=a, op=ast.Pow(), right=b)
            by_exponent = multiply(multiply(whole, call("__velmora_log__", a)), db)
        return add(by_base, by_exponent)

    def function(self, node: ast.Call) -> Node:
        name = ast.unparse(node.func)
        target = self.callee(node.func)
        if target is None:
            raise NotDifferentiable(f"'{name}' is not a function it can resolve")
        if is_identity(target) and len(node.args) == 1 and not node.keywords:
            return self.walk(node.args[0])
        if getattr(target, "__self__", None) is not None and hasattr(
            target.__self__, "memorize_chunk"
        ):
            return multiply(self.walk(node.args[0]), self.stateful_slope(target.__self__, node))
        if target is np.power and len(node.args) == 2 and not node.keywords:
            a, b = node.args
            return self.power(a, b, self.walk(a), self.walk(b))
        rule = RULES.get(target)
        if rule is None or len(node.args) != 1 or node.keywords:
            raise NotDifferentiable(
                f"'{name}' is not one of the functions whose derivative is known ({FUNCTION_NAMES})"
            )
        u = node.args[0]
        return multiply(rule(u, node), self.walk(u))

    def callee(self, func: ast.expr) -> Any:
        """Returns the object a call's function expression stands for, or None."""
        if isinstance(func, ast.Name):
            try:
                return self.resolve(func.id)
            except KeyError:
                return None
        if isinstance(func, ast.Attribute):
            owner = self.callee(func.value)
            return getattr(owner, func.attr, None) if owner is not None else None
        return None

    def stateful_slope(self, transform: Any, node: ast.Call) -> ast.expr:
        """Returns the slope of center(u) or standardize(u), both linear in u."""
        kind = type(transform).__name__
        if kind == "Center":
            return number(1.0)
        if kind != "Standardize":
            raise NotDifferentiable(
                f"'{ast.unparse(node)}' applies the stateful transform {kind}, whose "
                f"derivative is not known ({FUNCTION_NAMES})"
            )
        options: dict[str, Any] = {"center": True, "rescale": True, "ddof": 0}
        for option, value in zip(options, node.args[1:], strict=False):
            options[option] = ast.literal_eval(value)
        for keyword in node.keywords:
            if keyword.arg in options:
                options[keyword.arg] = ast.literal_eval(keyword.value)
        if not options["rescale"]:
            return number(1.0)
        spread = np.sqrt(transform.current_M2 / (transform.current_n - options["ddof"]))
        return number(1.0 / float(np.asarray(spread).reshape(-1)[0]))


def is_identity(target: Any) -> bool:
    """Returns whether target is the formula language's identity I()."""
    return (
        getattr(target, "__name__", None) == "I"
        and getattr(target, "__module__", "").split(".")[0] == "patsy"
    )
