"""Questions answered over the standard library's own documentation, as a resumable graph.

    python demo/demo.py --store build/demo-run          # run; run again to resume
    python -m zelk_runtime run demo/demo.py --store DIR  # the same graph through the CLI

Supersteps (the module plans them from the edges):
  0  gather_docs, load_questions      docstrings of the stdlib, the questions
  1  index                            hashed bag-of-words weights over the corpus
  2  retrieve                         embed each question, top_k over the float32 matrix
  3  score_cosine, score_terms,       four scorers side by side over the candidates
     score_names, score_detail
  4  join                             answers with citations

Every node reports a cost (a made-up price per thousand tokens it read), which the run
totals with aggregate_cost.
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import math
import pkgutil
import re
import shutil
import sys
import time
import types
import warnings
import zlib
from pathlib import Path
from typing import Any

import numpy as np
import zelk_core
from zelk_runtime import Graph, Output, run, verify

# The corpus: the standard library's own documentation, gathered at run time from
# docstrings. Only modules from a fixed list are imported: each of them imports without
# side effects (no window, no sound, no network, no printing on import). Packages in the
# list are walked one level down with pkgutil, skipping private, test and __main__ modules.
SAFE_MODULES = [
    "abc",
    "argparse",
    "array",
    "ast",
    "asyncio",
    "base64",
    "bisect",
    "binascii",
    "bz2",
    "calendar",
    "cmath",
    "codecs",
    "collections",
    "colorsys",
    "concurrent.futures",
    "configparser",
    "contextlib",
    "copy",
    "csv",
    "dataclasses",
    "datetime",
    "decimal",
    "difflib",
    "dis",
    "email",
    "enum",
    "errno",
    "filecmp",
    "fnmatch",
    "fractions",
    "functools",
    "gc",
    "getopt",
    "gettext",
    "glob",
    "graphlib",
    "gzip",
    "hashlib",
    "heapq",
    "hmac",
    "html",
    "http",
    "importlib",
    "inspect",
    "io",
    "ipaddress",
    "itertools",
    "json",
    "keyword",
    "linecache",
    "locale",
    "logging",
    "lzma",
    "math",
    "mimetypes",
    "numbers",
    "operator",
    "os",
    "os.path",
    "pathlib",
    "pickle",
    "pkgutil",
    "platform",
    "plistlib",
    "pprint",
    "queue",
    "quopri",
    "random",
    "re",
    "reprlib",
    "sched",
    "secrets",
    "select",
    "selectors",
    "shelve",
    "shlex",
    "shutil",
    "signal",
    "socket",
    "sqlite3",
    "statistics",
    "string",
    "stringprep",
    "struct",
    "subprocess",
    "sys",
    "sysconfig",
    "tarfile",
    "tempfile",
    "textwrap",
    "threading",
    "time",
    "timeit",
    "token",
    "tokenize",
    "tomllib",
    "traceback",
    "types",
    "typing",
    "unicodedata",
    "urllib",
    "uuid",
    "warnings",
    "weakref",
    "xml.etree",
    "zipfile",
    "zipimport",
    "zlib",
]
# Packages walked one level down; their listed submodules are imported too.
WALKED = {
    "collections",
    "concurrent.futures",
    "email",
    "html",
    "http",
    "importlib",
    "json",
    "logging",
    "urllib",
    "xml.etree",
}
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


DIMENSIONS = 512
CANDIDATES = 12
CITATIONS = 3
PRICE_PER_1K_TOKENS = {"embed": 0.0001, "score": 0.0004, "answer": 0.002}
QUESTIONS = [
    "How do I turn a Python object into a JSON formatted string?",
    "How can I compute a SHA-256 digest of some bytes?",
    "How do I run a command in a subprocess and capture its output?",
    "How do I create a temporary directory that is removed afterwards?",
    "How can I push an item onto a heap queue and pop the smallest one?",
    "How do I read rows from a CSV file?",
    "How do I show the differences between two lists of lines as a unified diff?",
    "How do I copy a whole directory tree?",
]
STOP_WORDS = frozenset(
    [
        "a",
        "an",
        "and",
        "are",
        "as",
        "at",
        "be",
        "by",
        "can",
        "do",
        "does",
        "for",
        "from",
        "how",
        "i",
        "if",
        "in",
        "into",
        "is",
        "it",
        "its",
        "of",
        "on",
        "one",
        "or",
        "some",
        "that",
        "the",
        "their",
        "them",
        "then",
        "this",
        "to",
        "two",
        "use",
        "used",
        "using",
        "what",
        "when",
        "which",
        "with",
        "you",
        "your",
    ]
)
WORD = re.compile(r"[a-z][a-z0-9]+")


DIGIT_HYPHEN = re.compile(r"(?<=[a-z0-9])-(?=[0-9])")
SUFFIXES = ("ing", "ed", "er", "es", "s")


def stem(word: str) -> str:
    for suffix in SUFFIXES:
        if word.endswith(suffix) and len(word) > len(suffix) + 3:
            return word[: -len(suffix)]
    return word


def tokens(text: str) -> list[str]:
    """Lower-case words without stop words, lightly stemmed; "SHA-256" reads as "sha256"."""
    words = WORD.findall(DIGIT_HYPHEN.sub("", text.lower()))
    return [stem(word) for word in words if word not in STOP_WORDS]


def _bucket(word: str) -> tuple[int, float]:
    """The hashing trick: a word's column and sign, stable across processes (crc32)."""
    code = zlib.crc32(word.encode("utf-8"))
    return code % DIMENSIONS, (1.0 if code & 0x80000000 else -1.0)


def term_vector(text: str) -> dict[int, float]:
    """Signed, log-scaled term counts of a text by hashed column."""
    counts: dict[str, int] = {}
    for word in tokens(text):
        counts[word] = counts.get(word, 0) + 1
    vector: dict[int, float] = {}
    for word, count in counts.items():
        column, sign = _bucket(word)
        vector[column] = vector.get(column, 0.0) + sign * (1.0 + math.log(count))
    return vector


def embed(texts: list[str], idf: np.ndarray) -> np.ndarray:
    """A float32 matrix, one row per text: term vectors weighted by inverse document frequency."""
    matrix = np.zeros((len(texts), DIMENSIONS), dtype=np.float32)
    for row, text in enumerate(texts):
        vector = term_vector(text)
        if vector:
            matrix[row, list(vector)] = list(vector.values())
    matrix *= idf.astype(np.float32)
    return matrix


def document_text(document: dict[str, str]) -> str:
    # The dotted name counts as words too: "json.dumps" speaks of json and dumps.
    return document["id"].replace(".", " ").replace("_", " ") + " " + document["text"]


_MATRICES: dict[tuple[int, str], np.ndarray] = {}


def document_matrix(state: dict[str, Any]) -> np.ndarray:
    """The corpus embedding. Derived data: rebuilt from the state where it is not cached
    (a resumed run, a fresh worker process)."""
    key = (len(state["docs"]), state["index"]["digest"])
    if key not in _MATRICES:
        idf = np.asarray(state["index"]["idf"], dtype=np.float64)
        _MATRICES[key] = embed([document_text(d) for d in state["docs"]], idf)
    return _MATRICES[key]


def document_rows(state: dict[str, Any]) -> list[list[float]]:
    """The matrix as lists of floats, which top_k converts faster than numpy's own scalars."""
    key = (len(state["docs"]), state["index"]["digest"])
    if key not in _ROWS:
        _ROWS[key] = document_matrix(state).tolist()
    return _ROWS[key]


_ROWS: dict[tuple[int, str], list[list[float]]] = {}


def cost(kind: str, token_count: int) -> float:
    return PRICE_PER_1K_TOKENS[kind] * token_count / 1000


# Nodes: each takes the state and returns an update (channel -> value), here with a cost.


def gather_docs(state: dict[str, Any]) -> Output:
    documents = gather()
    return Output({"docs": documents, "log": [f"gathered {len(documents)} docstrings"]})


def load_questions(state: dict[str, Any]) -> Output:
    return Output({"questions": QUESTIONS, "log": [f"loaded {len(QUESTIONS)} questions"]})


def index(state: dict[str, Any]) -> Output:
    texts = [document_text(d) for d in state["docs"]]
    frequency = np.zeros(DIMENSIONS)
    token_count = 0
    for text in texts:
        vector = term_vector(text)
        token_count += len(tokens(text))
        frequency[list(vector)] += 1
    idf = np.log((1 + len(texts)) / (1 + frequency)) + 1.0
    weights = [round(float(w), 6) for w in idf]
    digest = zelk_core.hash_event("idf", repr(weights))
    update = {
        "index": {"dimensions": DIMENSIONS, "documents": len(texts), "idf": weights, "digest": digest},
        "log": [f"indexed {len(texts)} documents into {DIMENSIONS} hashed columns"],
    }
    return Output(update, cost("embed", token_count))


def retrieve(state: dict[str, Any]) -> Output:
    rows = document_rows(state)
    idf = np.asarray(state["index"]["idf"], dtype=np.float64)
    queries = embed(state["questions"], idf)
    candidates = []
    for query in queries:
        ranked = zelk_core.top_k(query.tolist(), rows, CANDIDATES)
        candidates.append([{"doc": position, "cosine": round(score, 6)} for position, score in ranked])
    token_count = sum(len(tokens(q)) for q in state["questions"])
    return Output({"candidates": candidates, "log": ["retrieved candidates"]}, cost("embed", token_count))


def _scores(state: dict[str, Any], scorer: str, score: Any) -> Output:
    """Run `score(question, document, candidate)` over every candidate of every question."""
    rows = []
    read = 0
    for number, question in enumerate(state["questions"]):
        for candidate in state["candidates"][number]:
            document = state["docs"][candidate["doc"]]
            read += len(document["text"].split())
            rows.append(
                {
                    "question": number,
                    "doc": candidate["doc"],
                    "scorer": scorer,
                    "score": round(float(score(question, document, candidate)), 6),
                }
            )
    return Output({"scores": rows}, cost("score", read))


def score_cosine(state: dict[str, Any]) -> Output:
    """Cosine of the question and the document, recomputed by the module from the matrix."""
    matrix = document_matrix(state)
    idf = np.asarray(state["index"]["idf"], dtype=np.float64)
    queries = {q: v.tolist() for q, v in zip(state["questions"], embed(state["questions"], idf), strict=False)}
    return _scores(
        state,
        "cosine",
        lambda question, document, candidate: zelk_core.cosine_similarity(
            queries[question], matrix[candidate["doc"]].tolist()
        ),
    )


def score_terms(state: dict[str, Any]) -> Output:
    """Share of the question's words that the docstring uses."""

    def share(question: str, document: dict[str, str], candidate: dict[str, Any]) -> float:
        wanted = set(tokens(question))
        return len(wanted & set(tokens(document_text(document)))) / max(1, len(wanted))

    return _scores(state, "terms", share)


def score_names(state: dict[str, Any]) -> Output:
    """Whether the question names the documented object or its module."""

    def covered(part: str, words: set[str]) -> bool:
        """Whether a name part is made of the question's words ("copytree": copy, tree)."""
        ends = {0}
        for end in range(1, len(part) + 1):
            if any(start in ends and part[start:end] in words for start in range(end)):
                ends.add(end)
        return len(part) in ends

    def named(question: str, document: dict[str, str], candidate: dict[str, Any]) -> float:
        words = set(WORD.findall(DIGIT_HYPHEN.sub("", question.lower()))) - STOP_WORDS
        words |= {stem(word) for word in words}
        parts = {part for part in re.split(r"[._]", document["id"].lower()) if part}
        return sum(1.0 for part in parts if covered(part, words)) / len(parts)

    return _scores(state, "names", named)


def score_detail(state: dict[str, Any]) -> Output:
    """A documented function or class answers better than a one-line note or a module summary."""

    def detail(question: str, document: dict[str, str], candidate: dict[str, Any]) -> float:
        kind = {"function": 1.0, "class": 0.8, "module": 0.4}[document["kind"]]
        return kind * min(1.0, len(document["text"]) / 300)

    return _scores(state, "detail", detail)


WEIGHTS = {"cosine": 0.45, "terms": 0.25, "names": 0.2, "detail": 0.1}


def join(state: dict[str, Any]) -> Output:
    totals: dict[tuple[int, int], float] = {}
    for row in state["scores"]:
        key = (row["question"], row["doc"])
        totals[key] = totals.get(key, 0.0) + WEIGHTS[row["scorer"]] * row["score"]
    answers = []
    read = 0
    for number, question in enumerate(state["questions"]):
        ranked = sorted((-total, doc) for (q, doc), total in totals.items() if q == number)
        best = [state["docs"][doc] for _, doc in ranked[:CITATIONS]]
        first = best[0]["text"]
        sentence = re.split(r"(?<=[.!?])\s", first, maxsplit=1)[0]
        read += sum(len(d["text"].split()) for d in best)
        answers.append(
            {
                "question": question,
                "answer": f"{best[0]['id']}: {sentence}",
                "citations": [f"[{i + 1}] {d['id']}" for i, d in enumerate(best)],
                "score": round(-ranked[0][0], 4),
            }
        )
    return Output({"answers": answers, "log": [f"answered {len(answers)} questions"]}, cost("answer", read))


NODES = [gather_docs, load_questions, index, retrieve, score_cosine, score_terms, score_names, score_detail, join]
EDGES = [("gather_docs", "index"), ("index", "retrieve"), ("load_questions", "retrieve")] + [
    edge
    for scorer in ("score_cosine", "score_terms", "score_names", "score_detail")
    for edge in (("retrieve", scorer), (scorer, "join"))
]
REDUCERS = {"log": "append", "scores": "append"}


def build_graph() -> Graph:
    channels = ["answers", "candidates", "docs", "index", "log", "questions", "scores"]
    return Graph(NODES, EDGES, reducers=REDUCERS, initial_state={"log": []}, channels=channels)


def main(argv: list[str] | None = None) -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--store", default="build/demo-run", help="run directory or .sqlite file")
    options.add_argument("--executor", default="threads", choices=("sequential", "threads", "ray"))
    options.add_argument("--workers", type=int)
    options.add_argument("--fresh", action="store_true", help="delete the store and start over")
    options.add_argument("--max-supersteps", type=int, help="stop after N supersteps (run again to resume)")
    arguments = options.parse_args(argv)

    store = Path(arguments.store)
    if arguments.fresh and store.exists():
        shutil.rmtree(store) if store.is_dir() else store.unlink()
    had_run = store.exists()
    started = time.perf_counter()
    graph = build_graph()
    print(f"plan: {len(graph.plan)} supersteps: " + " | ".join(", ".join(step) for step in graph.plan))
    result = run(
        graph,
        store,
        executor=arguments.executor,
        workers=arguments.workers,
        progress="auto",
        max_supersteps=arguments.max_supersteps,
    )
    elapsed = time.perf_counter() - started

    if had_run and result.resumed_from:
        if result.reports:
            print(
                f"resumed the run in {store}: supersteps 0-{result.resumed_from - 1} came from checkpoints, "
                f"{len(result.reports)} ran now"
            )
        else:
            print(
                f"resumed the run in {store}: all {result.completed} supersteps were already done; "
                "nothing ran again (use --fresh to start over)"
            )
    if not result.finished:
        print(f"stopped after {result.completed}/{len(graph.plan or ())} supersteps; run again to resume")
        return 0

    state = result.state
    print()
    for answer in state["answers"]:
        print(f"Q: {answer['question']}\nA: {answer['answer']}\n   {' '.join(answer['citations'])}")
    print()
    checked = verify(store)
    print(f"supersteps: {result.completed} ({len(result.reports)} run now), corpus: {len(state['docs'])} docstrings")
    print(f"audit chain verified: {checked.completed} entries intact, every checkpoint decodes and matches")
    sizes = [payload["checkpoint_bytes"] for payload in checked.payloads]
    print("checkpoint sizes (bytes):", ", ".join(str(size) for size in sizes))
    print(f"total cost: ${result.cost:.6f} (aggregate_cost over {len(NODES)} nodes' reports)")
    if result.reports:
        print("time per superstep:  nodes    python   module   store")
        for report in result.reports:
            print(
                f"  {report.superstep}: {report.nodes} nodes  {report.nodes_seconds:7.3f}  "
                f"{report.python_seconds:7.3f}  {report.module_seconds:7.3f}  {report.store_seconds:7.3f}"
            )
    print(f"wall time {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
