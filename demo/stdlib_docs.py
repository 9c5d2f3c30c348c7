"""The standard library's own documentation, gathered at run time from docstrings.

Only modules from a fixed list are imported: each of them imports without side effects
(no window, no sound, no network, no printing on import). Packages in the list are walked
one level down with pkgutil, skipping private, test and `__main__` submodules.
"""

from __future__ import annotations

import importlib
import inspect
import pkgutil
import types
import warnings

SAFE_MODULES = (
    "abc argparse array ast asyncio base64 bisect binascii bz2 calendar cmath codecs collections "
    "colorsys concurrent.futures configparser contextlib copy csv dataclasses datetime decimal "
    "difflib dis email enum errno filecmp fnmatch fractions functools gc getopt gettext glob "
    "graphlib gzip hashlib heapq hmac html http importlib inspect io ipaddress itertools json "
    "keyword linecache locale logging lzma math mimetypes numbers operator os os.path pathlib "
    "pickle pkgutil platform plistlib pprint queue quopri random re reprlib sched secrets select "
    "selectors shelve shlex shutil signal socket sqlite3 statistics string stringprep struct "
    "subprocess sys sysconfig tarfile tempfile textwrap threading time timeit token tokenize "
    "tomllib traceback types typing unicodedata urllib uuid warnings weakref xml.etree zipfile "
    "zipimport zlib"
).split()
# Packages walked one level down; their listed submodules are imported too.
WALKED = {"collections", "concurrent.futures", "email", "html", "http", "importlib", "json", "logging",
          "urllib", "xml.etree"}
SKIPPED_SUBMODULES = {"__main__", "antigravity", "this"}
MAX_TEXT = 700


def _modules() -> list[types.ModuleType]:
    found: dict[str, types.ModuleType] = {}
    for name in SAFE_MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue  # not built on this platform
        found[name] = module
        if name in WALKED and hasattr(module, "__path__"):
            for info in pkgutil.iter_modules(module.__path__):
                if info.name.startswith("_") or info.name.startswith("test") or info.name in SKIPPED_SUBMODULES:
                    continue
                full = f"{name}.{info.name}"
                try:
                    found[full] = importlib.import_module(full)
                except ImportError:
                    continue
    return [found[name] for name in sorted(found)]


def _clip(text: str) -> str:
    text = " ".join(text.split())
    return text if len(text) <= MAX_TEXT else text[:MAX_TEXT].rsplit(" ", 1)[0] + " ..."


def gather() -> list[dict[str, str]]:
    """One document per module and per public function or class defined in it:
    {"id": dotted name, "kind": "module" | "function" | "class", "text": the docstring}."""
    documents: list[dict[str, str]] = []
    seen: set[str] = set()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for module in _modules():
            doc = inspect.getdoc(module)
            if doc:
                documents.append({"id": module.__name__, "kind": "module", "text": _clip(doc)})
            for attribute, value in sorted(vars(module).items()):
                if attribute.startswith("_"):
                    continue
                if not (inspect.isfunction(value) or inspect.isbuiltin(value) or inspect.isclass(value)):
                    continue
                home = getattr(value, "__module__", None) or ""
                if home != module.__name__ and not home.lstrip("_").startswith(module.__name__.split(".")[-1]):
                    continue  # re-exported from another public module: documented there
                identifier = f"{module.__name__}.{attribute}"
                doc = inspect.getdoc(value)
                if not doc or identifier in seen:
                    continue
                seen.add(identifier)
                kind = "class" if inspect.isclass(value) else "function"
                documents.append({"id": identifier, "kind": kind, "text": _clip(doc)})
    return documents
