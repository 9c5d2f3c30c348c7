"""Questions answered over the standard library's own documentation, by a graph that fans
out per question, loops until it is sure of its answers, and asks a person before it
publishes them.

    python demo/demo.py --store build/demo-run           # run; run again to resume
    python demo/demo.py --store build/demo-run --fresh   # start over
    python -m zelk_runtime run demo/demo.py --store DIR  # stops at the approval, then:
    python -m zelk_runtime resume demo/demo.py --store DIR --answer approve=true --author you

The graph:

    gather_docs -> index --.
    load_questions --------+-> ask ==Send, one per question==> answer_question -> check
    check --route--> refine ==Send, one per question still unsure==> answer_question
          `-route--> approve (interrupt: a person answers true or false) --route--> publish | END

  gather_docs      docstrings of the standard library, one document per module, function, class
  load_questions   the questions
  index            inverse document frequencies of hashed bag-of-words columns
  ask              sends each question to answer_question (round 1)
  answer_question  one question, one round: top_k over the float32 corpus matrix, four scorers
                   side by side (cosine, shared words, names, detail), a draft with citations
                   and its confidence (the best candidate's combined score)
  check            counts the round ("rounds", an "add" channel) and lists the questions below
                   the bar; its route goes round again (refine) while some are and fewer than
                   three rounds were made, else on to approve
  refine           expands each unsure question's query with words of its best candidates and
                   sends it to answer_question again
  approve          interrupt(summary): waits for a person's true or false
  publish          the approved answers with citations

A run's supersteps: 0 gather_docs, load_questions; 1 index; 2 ask; 3 answer_question once
per question; 4 check; then refine, answer_question for the unsure ones and check again, up
to three rounds in all (with Python 3.11's docstrings Q2 takes two rounds, Q9 all three);
approve, which waits for a person's answer; publish.

The nodes that read text report a cost (a made-up price per thousand tokens read), which
the run totals with aggregate_cost.
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import json
import math
import os
import pkgutil
import re
import shutil
import sys
import threading
import time
import types
import warnings
import zlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import zelk_core
from zelk_runtime import END, Graph, Interrupt, Output, RunResult, Send, interrupt, resume, run, verify

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
CONFIDENT = 0.5  # the combined score from which an answer stands without another round
MAX_ROUNDS = 3
EXPANSION = 4  # words a refined query takes from its best candidates
AUTHOR = "make demo"
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
    "How can I find all files whose names match a pattern?",
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


def words(text: str) -> list[str]:
    """Lower-case words without stop words; "SHA-256" reads as "sha256"."""
    return [word for word in WORD.findall(DIGIT_HYPHEN.sub("", text.lower())) if word not in STOP_WORDS]


def tokens(text: str) -> list[str]:
    """The words of a text, lightly stemmed."""
    return [stem(word) for word in words(text)]


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


def idf_of(state: dict[str, Any]) -> np.ndarray:
    return np.asarray(state["index"]["idf"], dtype=np.float64)


class _Corpus:
    """The corpus matrix as rows of floats (top_k converts lists faster than numpy's own
    scalars). Derived data: each process builds it from the state the first time a node
    asks (a resumed run, a Ray worker), once however many question instances ask at the
    same time. It pickles empty, so a node shipped to a worker takes no lock along."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.rows: dict[tuple[int, str], list[list[float]]] = {}

    def __reduce__(self) -> tuple[type[_Corpus], tuple[()]]:
        return (_Corpus, ())

    def of(self, state: dict[str, Any]) -> list[list[float]]:
        key = (len(state["docs"]), state["index"]["digest"])
        with self.lock:
            if key not in self.rows:
                self.rows[key] = embed([document_text(d) for d in state["docs"]], idf_of(state)).tolist()
            return self.rows[key]


CORPUS = _Corpus()


def cost(kind: str, token_count: int) -> float:
    return PRICE_PER_1K_TOKENS[kind] * token_count / 1000


# The four scorers. Each scores one candidate document for a question; the cosine comes
# from top_k itself (the query's cosine with the document's row).


def score_terms(question: str, document: dict[str, str]) -> float:
    """Share of the question's words that the document uses."""
    wanted = set(tokens(question))
    return len(wanted & set(tokens(document_text(document)))) / max(1, len(wanted))


def _covered(part: str, vocabulary: set[str]) -> bool:
    """Whether a name part is made of the question's words ("copytree": copy, tree)."""
    ends = {0}
    for end in range(1, len(part) + 1):
        if any(start in ends and part[start:end] in vocabulary for start in range(end)):
            ends.add(end)
    return len(part) in ends


def score_names(question: str, document: dict[str, str]) -> float:
    """Share of the documented object's dotted name that the question names."""
    vocabulary = set(words(question))
    vocabulary |= {stem(word) for word in vocabulary}
    parts = {part for part in re.split(r"[._]", document["id"].lower()) if part}
    return sum(1.0 for part in parts if _covered(part, vocabulary)) / len(parts)


def score_detail(document: dict[str, str]) -> float:
    """A documented function or class answers better than a one-line note or a module summary."""
    kind = {"function": 1.0, "class": 0.8, "module": 0.4}[document["kind"]]
    return kind * min(1.0, len(document["text"]) / 300)


WEIGHTS = {"cosine": 0.45, "terms": 0.25, "names": 0.2, "detail": 0.1}


def ranked(question: str, found: list[tuple[int, float]], docs: list[dict[str, str]]) -> list[tuple[float, int]]:
    """(combined score, document position) of the candidates top_k found, best first."""
    scored = []
    for position, cosine in found:
        document = docs[position]
        scores = {
            "cosine": cosine,
            "terms": score_terms(question, document),
            "names": score_names(question, document),
            "detail": score_detail(document),
        }
        scored.append((round(sum(WEIGHTS[name] * value for name, value in scores.items()), 4), position))
    scored.sort(key=lambda item: (-item[0], item[1]))
    return scored


def expand(query: str, documents: list[dict[str, str]], idf: np.ndarray) -> str:
    """The query and EXPANSION more words: those of the documents it does not use yet,
    weighted by how many of the documents use them and by their idf."""
    have = set(tokens(query))
    weight: dict[str, float] = {}
    spelled: dict[str, str] = {}
    for document in documents:
        for word in set(words(document_text(document))):
            key = stem(word)
            if key in have:
                continue
            spelled.setdefault(key, word)
            weight[key] = weight.get(key, 0.0) + float(idf[_bucket(key)[0]])
    chosen = sorted(weight, key=lambda key: (-weight[key], spelled[key]))[:EXPANSION]
    return " ".join([query, *sorted(spelled[key] for key in chosen)])


def latest_drafts(state: dict[str, Any]) -> dict[int, dict[str, Any]]:
    """Each question's draft of its latest round."""
    latest: dict[int, dict[str, Any]] = {}
    for draft in state["drafts"]:
        if draft["question"] not in latest or draft["round"] > latest[draft["question"]]["round"]:
            latest[draft["question"]] = draft
    return latest


# Nodes: each takes the state and returns an update (channel -> value), with a cost, or Sends.


def gather_docs(state: dict[str, Any]) -> Output:
    return Output({"docs": gather()})


def load_questions(state: dict[str, Any]) -> Output:
    return Output({"questions": QUESTIONS})


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
    update = {"index": {"dimensions": DIMENSIONS, "documents": len(texts), "idf": weights, "digest": digest}}
    return Output(update, cost("embed", token_count))


def ask(state: dict[str, Any]) -> list[Send]:
    """The fan-out: one answer_question instance per question, its query the question."""
    return [
        Send("answer_question", {"question": number, "query": question, "round": 1})
        for number, question in enumerate(state["questions"])
    ]


def answer_question(state: dict[str, Any], arg: dict[str, Any]) -> Output:
    """One question, one round: the candidates top_k finds for the query, scored four ways
    against the question, and a draft answer from the best of them with citations."""
    question = state["questions"][arg["question"]]
    query = arg["query"]
    vector = embed([query], idf_of(state))[0].tolist()
    found = zelk_core.top_k(vector, CORPUS.of(state), CANDIDATES)
    best = ranked(question, found, state["docs"])[:CITATIONS]
    cited = [state["docs"][position] for _, position in best]
    sentence = re.split(r"(?<=[.!?])\s", cited[0]["text"], maxsplit=1)[0]
    draft = {
        "question": arg["question"],
        "round": arg["round"],
        "query": query,
        "answer": f"{cited[0]['id']}: {sentence}",
        "cited": [position for _, position in best],
        "confidence": best[0][0],
    }
    read = sum(len(state["docs"][position]["text"].split()) for position, _ in found)
    spent = cost("embed", len(tokens(query))) + cost("score", read)
    spent += cost("answer", sum(len(d["text"].split()) for d in cited))
    return Output({"drafts": [draft]}, spent)


def check(state: dict[str, Any]) -> dict[str, Any]:
    """Counts the round and lists the questions whose latest draft is below the bar."""
    unsure = [number for number, draft in sorted(latest_drafts(state).items()) if draft["confidence"] < CONFIDENT]
    return {"rounds": 1, "unsure": unsure}


def after_check(state: dict[str, Any]) -> str:
    """Round again while a question is unsure, at most MAX_ROUNDS rounds in all."""
    return "refine" if state["unsure"] and state["rounds"] < MAX_ROUNDS else "approve"


def refine(state: dict[str, Any]) -> Output:
    """Each unsure question round again, its query expanded with words of its best candidates."""
    latest = latest_drafts(state)
    idf = idf_of(state)
    sends = []
    for number in state["unsure"]:
        draft = latest[number]
        query = expand(draft["query"], [state["docs"][position] for position in draft["cited"]], idf)
        sends.append(Send("answer_question", {"question": number, "query": query, "round": state["rounds"] + 1}))
    return Output(sends=sends)


def approval_request(state: dict[str, Any]) -> dict[str, Any]:
    """What approve shows the person: the question, and each answer's source, confidence
    and round."""
    latest = latest_drafts(state)
    unsure = ", ".join(f"Q{number + 1}" for number in state["unsure"])
    ask = f"publish {len(latest)} answers after {state['rounds']} rounds"
    ask += f" ({unsure} still below the bar)?" if unsure else "?"
    return {
        "ask": ask + " true publishes, false withholds",
        "answers": [
            f"Q{number + 1} {state['docs'][draft['cited'][0]]['id']}, confidence {draft['confidence']:.2f} "
            f"(round {draft['round']})"
            for number, draft in sorted(latest.items())
        ],
    }


def approve(state: dict[str, Any]) -> dict[str, Any]:
    """Waits for a person: true publishes the answers, false withholds them."""
    request = approval_request(state)
    answer = interrupt(request)
    while not isinstance(answer, bool):  # ask again rather than guess what was meant
        answer = interrupt({**request, "ask": f"true or false, not {json.dumps(answer)}: {request['ask']}"})
    return {"approval": {"asked": request, "approved": answer}}


def after_approval(state: dict[str, Any]) -> Any:
    return "publish" if state["approval"]["approved"] else END


def publish(state: dict[str, Any]) -> Output:
    published = []
    read = 0
    for number, draft in sorted(latest_drafts(state).items()):
        cited = [state["docs"][position] for position in draft["cited"]]
        read += sum(len(d["text"].split()) for d in cited)
        published.append(
            {
                "question": state["questions"][number],
                "answer": draft["answer"],
                "citations": [d["id"] for d in cited],
                "rounds": draft["round"],
                "confidence": draft["confidence"],
            }
        )
    return Output({"published": published}, cost("answer", read))


NODES: list[Callable[..., Any]] = [
    gather_docs,
    load_questions,
    index,
    ask,
    answer_question,
    check,
    refine,
    approve,
    publish,
]
EDGES = [("gather_docs", "index"), ("index", "ask"), ("load_questions", "ask"), ("answer_question", "check")]
BRANCHES = {"check": (after_check, ["refine", "approve"]), "approve": (after_approval, ["publish"])}  # or END
SENDS = {"ask": ["answer_question"], "refine": ["answer_question"]}
REDUCERS = {"drafts": "append", "rounds": "add"}
CHANNELS = ["approval", "docs", "drafts", "index", "published", "questions", "rounds", "unsure"]


def build_graph() -> Graph:
    return Graph(
        NODES,
        EDGES,
        branches=BRANCHES,
        sends=SENDS,
        reducers=REDUCERS,
        channels=CHANNELS,
        initial_state={"drafts": [], "rounds": 0},
    )


# What the demo prints: the report reads the run's state and its verified audit log, so a
# run resumed from its store tells the same story as the run that made it.


def _counted(names: list[str]) -> str:
    counts: dict[str, int] = {}
    for name in names:
        counts[name] = counts.get(name, 0) + 1
    return ", ".join(name if count == 1 else f"{name} x{count}" for name, count in counts.items())


def _then(payload: dict[str, Any]) -> str:
    """What a superstep decided: the answers it was given, its routes, its Sends."""
    parts = []
    for node, answers in sorted(payload.get("answers", {}).items()):
        for given in answers:
            parts.append(f"{node} answered {json.dumps(given['answer'])} by {given['author']!r}")
    for node, targets in sorted(payload.get("routes", {}).items()):
        parts.append(f"{node} -> {', '.join(targets) or 'END'}")
    sends = payload["next"]["sends"]
    if sends:
        rounds = sorted({arg["round"] for _, arg in sends if isinstance(arg, dict) and "round" in arg})
        parts.append(f"send {_counted([target for target, _ in sends])}" + "".join(f" (round {r})" for r in rounds))
    return "; ".join(parts)


def show_request(item: Interrupt) -> None:
    print(f"superstep {item.superstep}: {item.node} waits for a person, asking:")
    value = item.value
    if isinstance(value, dict) and isinstance(value.get("answers"), list):
        print(f"    {value.get('ask')}")
        for line in value["answers"]:
            print(f"      {line}")
    else:
        print(f"    {json.dumps(value)}")


def show_answers(state: dict[str, Any]) -> None:
    if "published" not in state:
        print("nothing was published (the approval was withheld); the drafts:")
    history: dict[int, list[dict[str, Any]]] = {}
    for draft in state["drafts"]:
        history.setdefault(draft["question"], []).append(draft)
    for number, question in enumerate(state["questions"]):
        drafts = sorted(history[number], key=lambda draft: draft["round"])
        last = drafts[-1]
        print(f"Q{number + 1}  {question}")
        print(f"    {last['answer']}")
        print("    " + " ".join(f"[{i + 1}] {state['docs'][p]['id']}" for i, p in enumerate(last["cited"])))
        confidence = " -> ".join(f"{draft['confidence']:.3f}" for draft in drafts)
        line = f"{len(drafts)} round{'s' if len(drafts) > 1 else ''}, confidence {confidence}"
        if len(drafts) > 1:
            line += f"; the query gained: {last['query'][len(question) :].strip()}"
        print(f"    {line}")


def show_supersteps(payloads: list[dict[str, Any]], seconds: dict[int, float]) -> None:
    rows = [("step", "nodes", "then", "checkpoint", "time")]
    for payload in payloads:
        number = payload["superstep"]
        nodes = _counted(payload["nodes"]) if payload["nodes"] else f"({payload['kind']} by {payload['author']!r})"
        took = f"{seconds[number]:.3f} s" if number in seconds else "stored"
        rows.append((str(number), nodes, _then(payload), f"{payload['checkpoint_bytes']:,} B", took))
    widths = [max(len(row[column]) for row in rows) for column in range(5)]
    for row in rows:
        print(
            f"  {row[0]:>{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]:<{widths[2]}}  "
            f"{row[3]:>{widths[3]}}  {row[4]:>{widths[4]}}"
        )


def show_run(store: Path, result: RunResult, seconds: dict[int, float], elapsed: float) -> None:
    state = result.state
    stored = verify(store)
    print()
    show_answers(state)
    print()
    show_supersteps(stored.payloads, seconds)
    print()
    # What people did, as the audit log records it: updates, and answers with their questions.
    authored = []
    for payload in stored.payloads:
        if payload["kind"] == "update":
            authored.append((payload["superstep"], payload["author"]))
            print(
                f"superstep {payload['superstep']}: an update by {payload['author']!r}: {json.dumps(payload['update'])}"
            )
        for node, answers in sorted(payload.get("answers", {}).items()):
            for given in answers:
                authored.append((payload["superstep"], given["author"]))
                asked = given["question"]
                asked = asked.get("ask") if isinstance(asked, dict) else asked
                print(
                    f"approval: {node} asked {asked!r}; {given['author']!r} answered "
                    f"{json.dumps(given['answer'])} (superstep {payload['superstep']})"
                )
    kinds = _counted(sorted(payload["kind"] for payload in stored.payloads))
    authors = ", ".join(f"{author!r} in superstep {number}" for number, author in authored)
    print(f"audit log: {len(stored.entries)} entries, kinds: {kinds}; authors: {authors or 'none'}")
    print(f"verified: the audit chain and every checkpoint hold; head {stored.head}")
    total = sum(payload["checkpoint_bytes"] for payload in stored.payloads)
    print(f"checkpoints: {total:,} bytes in {len(stored.payloads)} supersteps; corpus: {len(state['docs'])} docstrings")
    print(f"total cost: ${result.cost:.6f} (aggregate_cost over every node's reported cost)")
    print(f"wall time: {elapsed:.2f} s, {len(seconds)} supersteps ran now")


def main(argv: list[str] | None = None) -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--store", default="build/demo-run", help="run directory or .sqlite file")
    options.add_argument("--executor", default="threads", choices=("sequential", "threads", "ray"))
    options.add_argument("--workers", type=int)
    options.add_argument("--fresh", action="store_true", help="delete the store and start over")
    options.add_argument("--max-supersteps", type=int, help="stop after N supersteps (run again to continue)")
    arguments = options.parse_args(argv)

    store = Path(arguments.store)
    if arguments.fresh and store.exists():
        shutil.rmtree(store) if store.is_dir() else store.unlink()
    had_run = store.exists()
    started = time.perf_counter()
    graph = build_graph()
    settings: dict[str, Any] = {"executor": arguments.executor, "workers": arguments.workers, "progress": "none"}
    result = run(graph, store, max_supersteps=arguments.max_supersteps, **settings)
    if had_run and result.resumed_from:
        print(f"continuing the run in {store}: supersteps 0-{result.resumed_from - 1} come from its checkpoints")
    seconds = {report.superstep: report.seconds for report in result.reports}
    if result.status == "interrupted":
        for item in result.interrupts:
            show_request(item)
        print(f"answering as a person would: approve = true, as author {AUTHOR!r}")
        budget = None if arguments.max_supersteps is None else arguments.max_supersteps - len(seconds)
        result = resume(graph, store, answers={"approve": True}, author=AUTHOR, max_supersteps=budget, **settings)
        seconds.update({report.superstep: report.seconds for report in result.reports})
    elapsed = time.perf_counter() - started
    if result.status == "interrupted":
        for item in result.interrupts:
            show_request(item)
        return 0
    if result.status == "stopped":
        print(
            f"stopped after superstep {result.completed - 1} ({len(seconds)} ran now, --max-supersteps); "
            "run again to continue"
        )
        return 0
    if had_run and not seconds:
        print(f"all {result.completed} supersteps were already done: nothing ran again (--fresh starts over)")
    show_run(store, result, seconds, elapsed)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (`demo.py | head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(0)
