"""Fingerprints of node code, so a run is never continued by code other than the code
that produced its state without saying so.

A fingerprint is a hash of the node's source tokens (comments, blank lines and
indentation of the whole block left out, so reformatting a comment is not a change), of
the arguments a `functools.partial` binds, and, where no source can be read, of the
compiled code. It depends neither on the Python version nor on the process.
"""

from __future__ import annotations

import functools
import hashlib
import inspect
import io
import re
import textwrap
import tokenize
import types
from typing import Any

LENGTH = 32  # hex digits kept: 128 bits tell code apart
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")
_SKIPPED = {tokenize.COMMENT, tokenize.NL, tokenize.ENCODING, tokenize.ENDMARKER}


def fingerprint(fn: Any) -> str:
    """The fingerprint of a node or route callable."""
    if type(fn) is functools.partial and type(fn.func) is types.FunctionType and not fn.keywords:
        # The common node of a generated graph, by the road below without its questions.
        text = _stable_repr((fn.args, ())) + "\x1f" + _code_text(fn.func)
        return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:LENGTH]
    parts: list[str] = []
    target = fn
    while isinstance(target, functools.partial):
        keywords = sorted(target.keywords.items()) if target.keywords else ()
        parts.append(_stable_repr((target.args, keywords)))
        target = target.func
    if inspect.ismethod(target):
        parts.append(_stable_repr(type(target.__self__).__qualname__))
        target = target.__func__
    if not (inspect.isfunction(target) or inspect.isclass(target) or inspect.isbuiltin(target)):
        target = type(target)  # a callable instance: its class holds the code
    parts.append(_code_text(target))
    return hashlib.sha256("\x1f".join(parts).encode("utf-8", "surrogatepass")).hexdigest()[:LENGTH]


@functools.lru_cache(maxsize=4096)
def _code_text(target: Any) -> str:
    try:
        source = inspect.getsource(target)
    except (OSError, TypeError, tokenize.TokenError, SyntaxError):
        # No source file, or one that is not Python (code compiled from a string whose
        # file name points elsewhere): the compiled code stands in.
        return _compiled(target)
    try:
        tokens = tokenize.generate_tokens(io.StringIO(textwrap.dedent(source)).readline)
        return "\x1e".join(token.string for token in tokens if token.type not in _SKIPPED)
    except (tokenize.TokenError, IndentationError, SyntaxError):
        return source


def _compiled(target: Any) -> str:
    code = getattr(target, "__code__", None)
    if not isinstance(code, types.CodeType):
        return f"{getattr(target, '__module__', '')}.{getattr(target, '__qualname__', repr(target))}"
    return _code_repr(code)


def _code_repr(code: types.CodeType) -> str:
    constants = [(_code_repr(item) if isinstance(item, types.CodeType) else repr(item)) for item in code.co_consts]
    return "\x1d".join([code.co_code.hex(), repr(code.co_names), *constants])


def _stable_repr(value: object) -> str:
    text = repr(value)
    return _ADDRESS.sub("", text) if " at 0x" in text else text
