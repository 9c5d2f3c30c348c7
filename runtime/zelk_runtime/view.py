"""The read-only state nodes read: dicts and lists that refuse every change.

Every node of a superstep reads the same state, so a node that changed it in place would
change what the others read, and the result would depend on the executor (threads share
the object, Ray workers get copies). The state is therefore handed out as `StateDict` and
`StateList`: plain dict and list subclasses, so reading, iterating, `json.dumps`,
`state["log"] + [item]` and `{**state["doc"], "k": v}` work as on the built-in types, while
every method that would change them raises `TypeError` saying what to do instead.
"""

from __future__ import annotations

import json
from typing import Any, NoReturn

ADVICE = (
    "the state a node reads is read-only (the other nodes of the superstep read it too); "
    "return the change in the node's update instead, e.g. {'log': [item]} under an \"append\" "
    "reducer, or build a new value: state['items'] + [item], {**state['doc'], 'k': v}"
)


def _refuse(*_: object, **__: object) -> NoReturn:
    raise TypeError(ADVICE)


class StateDict(dict[str, Any]):
    """A dict that refuses changes; made by `state_dict` (`__init__` would refill it)."""

    __slots__ = ()
    __init__ = __setitem__ = __delitem__ = __ior__ = _refuse
    clear = pop = popitem = setdefault = update = _refuse

    def __reduce__(self) -> tuple[Any, tuple[dict[str, Any]]]:
        return (state_dict, (dict(self),))

    def __copy__(self) -> dict[str, Any]:
        return dict(self)

    def __deepcopy__(self, memo: dict[int, object]) -> Any:
        return thaw(self)

    def copy(self) -> dict[str, Any]:
        """A plain, changeable shallow copy."""
        return dict(self)


class StateList(list[Any]):
    """A list that refuses changes; made by `state_list` (`__init__` would refill it)."""

    __slots__ = ()
    __init__ = __setitem__ = __delitem__ = __iadd__ = __imul__ = _refuse
    append = extend = insert = pop = remove = clear = sort = reverse = _refuse

    def __reduce__(self) -> tuple[Any, tuple[list[Any]]]:
        return (state_list, (list(self),))

    def __copy__(self) -> list[Any]:
        return list(self)

    def __deepcopy__(self, memo: dict[int, object]) -> Any:
        return thaw(self)

    def copy(self) -> list[Any]:
        """A plain, changeable shallow copy."""
        return list(self)


def state_dict(items: Any = ()) -> StateDict:
    """A read-only dict of `items` (a mapping or key-value pairs), as `dict(items)`."""
    made: StateDict = dict.__new__(StateDict)
    dict.__init__(made, items)
    return made


def state_list(items: Any = ()) -> StateList:
    """A read-only list of `items`, as `list(items)`."""
    made: StateList = list.__new__(StateList)
    list.__init__(made, items)
    return made


def _freeze_list(items: list[Any]) -> StateList:
    return state_list([_freeze_list(item) if type(item) is list else item for item in items])


def _object(pairs: list[tuple[str, Any]]) -> StateDict:
    # Objects are built innermost first, so nested objects arrive frozen already; lists,
    # which the parser builds itself, are frozen here, with the lists inside them. A member
    # named twice keeps its last value, as json.loads does.
    frozen = state_dict(pairs)
    for key, value in pairs:
        if type(value) is list and frozen[key] is value:
            dict.__setitem__(frozen, key, _freeze_list(value))
    return frozen


def load(text: str) -> Any:
    """Parse JSON text into read-only values."""
    value = json.loads(text, object_pairs_hook=_object)
    return _freeze_list(value) if type(value) is list else value


def freeze(value: Any) -> Any:
    """A read-only copy of a JSON value held as Python objects."""
    if isinstance(value, dict):
        return state_dict((key, freeze(item)) for key, item in value.items())
    if isinstance(value, (list, tuple)):
        return state_list(freeze(item) for item in value)
    return value


def thaw(value: Any) -> Any:
    """A plain, changeable deep copy of a read-only value."""
    if isinstance(value, dict):
        return {key: thaw(item) for key, item in value.items()}
    if isinstance(value, list):
        return [thaw(item) for item in value]
    return value
