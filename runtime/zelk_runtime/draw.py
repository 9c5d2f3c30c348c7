"""Pictures of a graph, and of what a stored run did with it: Mermaid flowchart text, and
SVG laid out by supersteps (layout.py) with no program or package beyond the runtime.

A `Drawing` is built from a Graph or from the graph description a store's manifest holds,
so a store draws without its graph file: nodes, static edges, branch edges to each
possible target (dashed), Send edges (dotted, labelled "Send"), the start nodes, joins
(nodes with two or more static predecessors besides themselves) and the interrupt points
(known only from a Graph). `RunMarks` read from a store's audit log colour what ran: how
often, in which supersteps, for how long, and the node the run waits at.
"""

from __future__ import annotations

import os
import string
import unicodedata
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace

import zelk_core

from .audit import AuditKey
from .audit import audit_key as resolve_key
from .errors import StoreError, UsageError
from .graph import Graph
from .history import StoredRun, read_run
from .layout import Layout, layout, number
from .records import Status
from .stores import Store, open_store

EDGE, BRANCH, SEND = "edge", "branch", "send"


@dataclass(frozen=True)
class Link:
    source: str
    target: str
    kind: str  # EDGE, BRANCH or SEND


@dataclass(frozen=True)
class Drawing:
    """What a picture of a graph shows. `nodes` are sorted; `links` are the static edges
    (sorted), then each branch's possible targets, then each sender's declared targets."""

    nodes: tuple[str, ...]
    links: tuple[Link, ...]
    start: tuple[str, ...]
    joins: frozenset[str]
    plan: tuple[tuple[str, ...], ...] | None = None  # the superstep plan, when the graph has one
    interrupt_before: frozenset[str] = frozenset()
    interrupt_after: frozenset[str] = frozenset()

    def with_interrupts(self, graph: Graph) -> Drawing:
        """The same drawing with the interrupt points `graph` declares for its nodes."""
        known = set(self.nodes)
        return replace(
            self,
            interrupt_before=frozenset(graph.interrupt_before & known),
            interrupt_after=frozenset(graph.interrupt_after & known),
        )


def drawing(graph: Graph) -> Drawing:
    """The drawing of a Graph, its superstep plan and interrupt points included."""
    model = describe_drawing(graph.describe(), "the graph")
    return replace(
        model,
        plan=graph.plan,
        interrupt_before=graph.interrupt_before,
        interrupt_after=graph.interrupt_after,
    )


def _names(value: object, where: str, what: str) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(name, str) for name in value):
        raise UsageError(f"{where}: {what} is not a list of node names")
    return value


def describe_drawing(description: object, where: str = "the graph description") -> Drawing:
    """The drawing of a graph description (`Graph.describe()`, as a store's manifest keeps
    it: "nodes", "edges", "branches", "sends", "start"). A description without branches or
    Sends, acyclic and starting from the nodes nothing leads to, gets its superstep plan."""
    if not isinstance(description, Mapping):
        raise UsageError(f"{where} is not a graph description (an object with nodes, edges, branches, sends)")
    nodes = sorted(set(_names(description.get("nodes"), where, "'nodes'")))
    known = set(nodes)

    def check(name: str, what: str) -> str:
        if name not in known:
            raise UsageError(f"{where}: {what} names node {name!r}, which is not among its nodes")
        return name

    edges = description.get("edges", [])
    if not isinstance(edges, list):
        raise UsageError(f"{where}: 'edges' is not a list of [before, after] pairs")
    static: set[tuple[str, str]] = set()
    for edge in edges:
        if not isinstance(edge, list) or len(edge) != 2 or not all(isinstance(name, str) for name in edge):
            raise UsageError(f"{where}: edge {edge!r} is not a [before, after] pair of node names")
        static.add((check(edge[0], f"edge {edge!r}"), check(edge[1], f"edge {edge!r}")))
    links = [Link(source, target, EDGE) for source, target in sorted(static)]
    for part, kind in (("branches", BRANCH), ("sends", SEND)):
        table = description.get(part, {})
        if not isinstance(table, Mapping):
            raise UsageError(f"{where}: {part!r} is not an object from node to its targets")
        for source in sorted(table):
            check(source, f"{part!r}")
            what = "the branch" if kind == BRANCH else "the sends"
            for target in dict.fromkeys(_names(table[source], where, f"{what} of node {source!r}")):
                links.append(Link(source, check(target, f"{what} of node {source!r}"), kind))
    led = {link.target for link in links}
    default = [name for name in nodes if name not in led]
    given = description.get("start")
    start = default if given is None else sorted({check(name, "'start'") for name in _names(given, where, "'start'")})
    preds: dict[str, set[str]] = {}
    for source, target in static:
        if source != target:
            preds.setdefault(target, set()).add(source)
    plan = None
    if all(link.kind == EDGE for link in links) and start == default and not any(s == t for s, t in static):
        steps = zelk_core.plan_supersteps(nodes, sorted(static))
        last = set(steps[-1]) if steps else set()
        if not any(source in last and target in last for source, target in static):
            plan = tuple(tuple(step) for step in steps)
    return Drawing(
        tuple(nodes),
        tuple(links),
        tuple(start),
        frozenset(name for name, found in preds.items() if len(found) >= 2),
        plan,
    )


# What a stored run did.


@dataclass(frozen=True)
class NodeRuns:
    """A node's instances in a run: how many, in which supersteps, and their wall time
    (`seconds` over the `timed` instances; results kept from an interrupted attempt of a
    superstep, and stores older than the timing, have none)."""

    count: int
    supersteps: tuple[int, ...]
    seconds: float
    timed: int


@dataclass(frozen=True)
class RunMarks:
    store: str
    completed: int  # supersteps in the store
    ran: Mapping[str, NodeRuns]
    waiting: Mapping[str, tuple[str, ...]]  # node -> how it waits: "before", "after", "call"
    routes: frozenset[tuple[str, str]]  # branch edges a route chose at least once
    finished: bool
    updates: int = 0  # supersteps that folded a person's update
    notes: tuple[str, ...] = field(default=())

    @property
    def summary(self) -> str:
        state = "finished" if self.finished else "stopped"
        if self.waiting:
            state = "waiting at " + ", ".join(self.waiting)
        updates = f", {self.updates} updates by people" if self.updates else ""
        return f"{self.completed} supersteps{updates}, {state}"


def run_marks(model: Drawing, stored: StoredRun, status: Status | None) -> RunMarks:
    """What ran, from the store's audit payloads, and where the run waits, from its status
    record (one left over from before the last superstep is not the run's)."""
    known = set(model.nodes)
    counts: dict[str, int] = {}
    steps: dict[str, list[int]] = {}
    seconds: dict[str, float] = {}
    timed: dict[str, int] = {}
    routes: set[tuple[str, str]] = set()
    updates = 0
    for payload in stored.payloads:
        number_ = int(payload["superstep"])
        if payload.get("kind") == "update":
            updates += 1
        names = payload.get("nodes")
        if not isinstance(names, list):  # the first store format kept no node list in every entry
            names = []
        times = payload.get("seconds")
        if not isinstance(times, list) or len(times) != len(names):
            times = [None] * len(names)
        for name, spent in zip(names, times, strict=True):
            if not isinstance(name, str) or name not in known:
                raise StoreError(
                    f"audit entry of superstep {number_} in store {stored.store} names node {name!r}, "
                    "which the graph of its manifest does not have"
                )
            counts[name] = counts.get(name, 0) + 1
            if not steps.setdefault(name, []) or steps[name][-1] != number_:
                steps[name].append(number_)
            if isinstance(spent, (int, float)) and not isinstance(spent, bool):
                seconds[name] = seconds.get(name, 0.0) + float(spent)
                timed[name] = timed.get(name, 0) + 1
        chosen = payload.get("routes")
        if isinstance(chosen, Mapping):
            for source, targets in chosen.items():
                if isinstance(targets, list):
                    routes.update((source, target) for target in targets if isinstance(target, str))
    waiting: dict[str, list[str]] = {}
    if status is not None and status.kind == "interrupted" and status.at == stored.completed:
        for item in status.interrupts:
            if item.node in known and item.when not in waiting.setdefault(item.node, []):
                waiting[item.node].append(item.when)
    following = stored.payloads[-1].get("next") if stored.payloads else None
    finished = isinstance(following, dict) and not following.get("nodes") and not following.get("sends") and not waiting
    ran = {
        name: NodeRuns(counts[name], tuple(steps[name]), seconds.get(name, 0.0), timed.get(name, 0))
        for name in sorted(counts)
    }
    return RunMarks(
        stored.store,
        stored.completed,
        ran,
        {name: tuple(whens) for name, whens in sorted(waiting.items())},
        frozenset(routes),
        finished,
        updates,
    )


def read_store(
    location: str | os.PathLike[str] | Store,
    audit_key: bytes | str | AuditKey | None = None,
    *,
    run_id: str | None = None,
) -> tuple[Drawing, RunMarks]:
    """The drawing of a store's graph and the marks of its run, the audit log checked."""
    store = open_store(location, create=False, run_id=run_id)
    try:
        stored = read_run(store, resolve_key(audit_key))
        status = Status.parse(store.location, store.read_status())
    finally:
        if store is not location:
            store.close()
    model = describe_drawing(stored.manifest.get("graph"), f"the manifest of store {stored.store}")
    return model, run_marks(model, stored, status)


# Text shown with a node.


def duration(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds:.3g} s"


def _steps(supersteps: Sequence[int], most: int = 6) -> str:
    shown = ", ".join(str(step) for step in supersteps[:most])
    return shown + (f", ... ({len(supersteps)} supersteps)" if len(supersteps) > most else "")


WHEN = {"before": "waits before it runs", "after": "waits after it ran", "call": "waits for an answer"}


def node_lines(name: str, run: RunMarks | None) -> list[str]:
    """What a node's box says under its name when a run is drawn."""
    if run is None:
        return []
    lines = []
    done = run.ran.get(name)
    if done is None:
        lines.append("not run")
    else:
        timing = ""
        if done.timed:
            timing = f", {duration(done.seconds)}" + ("" if done.timed == done.count else f" ({done.timed} timed)")
        lines.append(f"ran {done.count}x{timing}")
        lines.append(f"in {_steps(done.supersteps)}")
    if name in run.waiting:
        lines.append("; ".join(WHEN.get(when, when) for when in run.waiting[name]))
    return lines


# Mermaid.

_MERMAID_PLAIN = frozenset(string.ascii_letters + string.digits + " _-.,:/+=@!?()'")


def mermaid_text(text: str) -> str:
    """Text for a quoted Mermaid label: ASCII letters, digits and harmless punctuation, and
    letters and digits of other scripts, as they are; every other character (quotes, angle
    brackets, `#`, `;`, backticks, line breaks, controls) as a `#NNN;` code."""
    return "".join(
        ch if ch in _MERMAID_PLAIN or (ord(ch) > 127 and unicodedata.category(ch)[0] in "LN") else f"#{ord(ch)};"
        for ch in text
    )


_MERMAID_CLASSES = {
    "entry": "stroke:#2e7d32,stroke-width:2px",
    "join": "stroke-width:3px",
    "stopbefore": "stroke:#c62828,stroke-dasharray:5 3",
    "stopafter": "stroke:#c62828,stroke-dasharray:5 3",
    "ran": "fill:#c8e6c9",
    "notrun": "fill:#eceff1,color:#90a4ae,stroke:#b0bec5",
    "waiting": "fill:#fff59d,stroke:#ef6c00,stroke-width:3px",
}


def _classes(model: Drawing, name: str, run: RunMarks | None) -> list[str]:
    found = []
    if name in model.start:
        found.append("entry")
    if name in model.joins:
        found.append("join")
    if name in model.interrupt_before:
        found.append("stopbefore")
    if name in model.interrupt_after:
        found.append("stopafter")
    if run is not None:
        found.append("ran" if name in run.ran else "notrun")
        if name in run.waiting:
            found.append("waiting")
    return found


def mermaid(model: Drawing, run: RunMarks | None = None) -> str:
    """Mermaid flowchart text: node ids n0, n1, ... in name order with the names as quoted,
    escaped labels; start nodes as stadiums; edges solid, branch edges dashed, Send edges
    thick and labelled; classes for start, join, interrupt points and, with a run, what
    ran (routes it chose drawn green) and where it waits."""
    ids = {name: f"n{i}" for i, name in enumerate(model.nodes)}
    lines = ["flowchart TD"]
    if run is not None:
        lines.append(f"  %% run: {mermaid_text(run.summary)}")
    starting = set(model.start)
    for name in model.nodes:
        label = mermaid_text(name)
        extra = [mermaid_text(line) for line in node_lines(name, run)]
        stops = [
            word
            for word, names in (("before", model.interrupt_before), ("after", model.interrupt_after))
            if name in names
        ]
        if stops:
            extra.append(f"interrupt {' and '.join(stops)}")
        text = "<br/>".join([label, *extra])
        lines.append(f'  {ids[name]}(["{text}"])' if name in starting else f'  {ids[name]}["{text}"]')
    arrows = {EDGE: "-->", BRANCH: "-.->", SEND: "==>|Send|"}
    chosen = []
    for number_, link in enumerate(model.links):
        lines.append(f"  {ids[link.source]} {arrows[link.kind]} {ids[link.target]}")
        if run is not None and link.kind == BRANCH and (link.source, link.target) in run.routes:
            chosen.append(number_)
    members: dict[str, list[str]] = {}
    for name in model.nodes:
        for found in _classes(model, name, run):
            members.setdefault(found, []).append(ids[name])
    for name, style in _MERMAID_CLASSES.items():
        if name in members:
            lines.append(f"  classDef {name} {style}")
            lines.append(f"  class {','.join(members[name])} {name}")
    if chosen:
        lines.append(f"  linkStyle {','.join(map(str, chosen))} stroke:#2e7d32,stroke-width:2px")
    return "\n".join(lines) + "\n"


# SVG.

NAME_SIZE = 13.0
INFO_SIZE = 11.0
LINE = 16.0
PAD = 12.0
ENTRY_ROOM = 22.0  # the start marker left of a start node's box


def text_width(text: str, size: float) -> float:
    """The width of `text` in a monospaced font of `size` pixels: wide East Asian characters
    take two cells, combining and format characters none."""
    cells = 0
    for ch in text:
        if unicodedata.combining(ch) or unicodedata.category(ch) in ("Mn", "Me", "Cf"):
            continue
        cells += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return cells * size * 0.6


def xml_chars(text: str) -> str:
    """`text` with the characters XML cannot hold at all shown instead: C0 controls other
    than tab, line feed and carriage return as their control pictures (U+2400 on), U+FFFE
    and U+FFFF as U+FFFD."""
    if text.isprintable():
        return text
    out = []
    for ch in text:
        code = ord(ch)
        if code < 0x20 and ch not in "\t\n\r":
            out.append(chr(0x2400 + code))
        elif code in (0xFFFE, 0xFFFF):
            out.append("\ufffd")
        else:
            out.append(ch)
    return "".join(out)


def xml_text(text: str) -> str:
    """Element content: markup characters escaped, and a carriage return as a character
    reference (a parser would turn a literal one into a line feed)."""
    return xml_chars(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\r", "&#13;")


def xml_attribute(text: str) -> str:
    """A double-quoted attribute value: quotes and the whitespace a parser would normalise
    to spaces as character references too."""
    escaped = xml_text(text).replace('"', "&quot;").replace("'", "&#39;")
    return escaped.replace("\t", "&#9;").replace("\n", "&#10;")


STYLE = """
text{font-family:ui-monospace,SFMono-Regular,Menlo,Consolas,"DejaVu Sans Mono","Liberation Mono",monospace;white-space:pre}
.box{fill:#ffffff;stroke:#37474f;stroke-width:1.2}
.join>.box{stroke-width:2.8}
.name{font-size:13px;fill:#102027;text-anchor:middle}
.info{font-size:11px;fill:#37474f;text-anchor:middle}
.link{fill:none;stroke:#607d8b;stroke-width:1.4}
.branch{stroke-dasharray:6 4}
.send{stroke:#7b1fa2;stroke-width:2.2;stroke-dasharray:0.5 4;stroke-linecap:round}
.chosen{stroke:#2e7d32;stroke-width:2}
.label{font-size:10px;fill:#7b1fa2}
.entry{fill:#263238}
.stop{fill:#c62828}
.ran>.box{fill:#c8e6c9;stroke:#2e7d32}
.notrun>.box{fill:#eceff1;stroke:#b0bec5}
.notrun>.name,.notrun>.info{fill:#90a4ae}
.waiting>.box{fill:#fff59d;stroke:#ef6c00;stroke-width:3}
.waiting>.name,.waiting>.info{fill:#102027}
.title{font-size:12px;fill:#263238}
.legend{font-size:11px;fill:#37474f}
"""

_ARROWS = {"edge": "#607d8b", "send": "#7b1fa2", "chosen": "#2e7d32"}


def _arrow(link: Link, chosen: bool) -> str:
    return "chosen" if chosen else "send" if link.kind == SEND else "edge"


def _legend(model: Drawing, run: RunMarks | None, top: float, width: float) -> tuple[list[str], float]:
    """The legend's elements from `top`, in rows no wider than `width`; and its height."""
    entries: list[tuple[str, str]] = []  # (sample kind, words)
    kinds = {link.kind for link in model.links}
    entries += [
        (kind, words)
        for kind, words in ((EDGE, "edge"), (BRANCH, "branch (possible target)"), (SEND, "Send"))
        if kind in kinds
    ]
    entries.append(("entry", "start"))
    if model.joins:
        entries.append(("join", "join (waits for its predecessors)"))
    if model.interrupt_before:
        entries.append(("before", "interrupt before"))
    if model.interrupt_after:
        entries.append(("after", "interrupt after"))
    if run is not None:
        entries += [("ran", "ran"), ("notrun", "not run")]
        if run.routes:
            entries.append(("chosen", "route chosen"))
        if run.waiting:
            entries.append(("waiting", "waits here"))
    parts: list[str] = []
    x, y = MARGIN_X, top
    for kind, words in entries:
        room = 34 + text_width(words, 11) + 18
        if x + room > width and x > MARGIN_X:
            x, y = MARGIN_X, y + 20
        sample_y = y + 6
        if kind in (EDGE, BRANCH, SEND, "chosen"):
            style = {EDGE: "link", BRANCH: "link branch", SEND: "link send", "chosen": "link branch chosen"}[kind]
            marker = "send" if kind == SEND else "chosen" if kind == "chosen" else "edge"
            parts.append(
                f'<path class="{style}" d="M{number(x)},{number(sample_y)} L{number(x + 28)},{number(sample_y)}" '
                f'marker-end="url(#arrow-{marker})"/>'
            )
        elif kind == "entry":
            parts.append(f'<circle class="entry" cx="{number(x + 12)}" cy="{number(sample_y)}" r="5"/>')
        else:
            group = {"join": "join", "ran": "ran", "notrun": "notrun", "waiting": "waiting"}.get(kind, "")
            parts.append(
                f'<g class="{group}"><rect class="box" x="{number(x)}" y="{number(sample_y - 6)}" width="28" '
                'height="12" rx="3"/></g>'
            )
            if kind in ("before", "after"):
                bar_y = sample_y - 8 if kind == "before" else sample_y + 4
                parts.append(f'<rect class="stop" x="{number(x)}" y="{number(bar_y)}" width="28" height="4"/>')
        parts.append(f'<text class="legend" x="{number(x + 34)}" y="{number(y + 10)}">{xml_text(words)}</text>')
        x += room
    return parts, y + 20 - top


MARGIN_X = 24.0


def svg(model: Drawing, run: RunMarks | None = None) -> str:
    """The picture as SVG text: layers by superstep (layout.py), each node a box with its
    name (and, with a run, what it did), links as paths with arrowheads. Node groups have
    ids n0, n1, ... in name order and `data-layer`; links name their ends by those ids.
    The same drawing gives the same bytes."""
    ids = {name: f"n{i}" for i, name in enumerate(model.nodes)}
    lines = {name: node_lines(name, run) for name in model.nodes}
    rows = max((len(found) for found in lines.values()), default=0)
    height = 30.0 + rows * (LINE - 2)
    widths = {
        name: max(48.0, text_width(xml_chars(name), NAME_SIZE), *(text_width(line, INFO_SIZE) for line in lines[name]))
        + 2 * PAD
        for name in model.nodes
    }
    room = {name: ENTRY_ROOM for name in model.start}
    placed: Layout = layout(
        model.nodes, [(link.source, link.target) for link in model.links], model.start, model.plan, widths, height, room
    )
    header = 22.0 if run is not None else 0.0
    chosen = [
        run is not None and link.kind == BRANCH and (link.source, link.target) in run.routes for link in model.links
    ]
    out = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        "",  # the svg element, once the size is known
        f"<style>{STYLE}</style>",
        "<defs>",
    ]
    for name, colour in _ARROWS.items():
        out.append(
            f'<marker id="arrow-{name}" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="9" markerHeight="9" '
            f'markerUnits="userSpaceOnUse" orient="auto"><path d="M0,0 L10,5 L0,10 z" fill="{colour}"/></marker>'
        )
    out.append("</defs>")
    if run is not None:
        title = f"store {run.store}: {run.summary}"
        out.append(f'<text class="title" x="{number(MARGIN_X)}" y="16">{xml_text(title)}</text>')
    out.append(f'<g transform="translate(0,{number(header)})">')
    out.append('<g class="links">')
    for link, path, picked in zip(model.links, placed.paths, chosen, strict=True):
        classes = " ".join(["link", link.kind, *(["chosen"] if picked else []), path.way])
        out.append(
            f'<path class="{classes}" data-from="{ids[link.source]}" data-to="{ids[link.target]}" d="{path.d}" '
            f'marker-end="url(#arrow-{_arrow(link, picked)})"/>'
        )
        if link.kind == SEND:
            x, y = path.label
            out.append(f'<text class="label" x="{number(x + 5)}" y="{number(y + 3)}">Send</text>')
    out.append("</g>")
    out.append('<g class="nodes">')
    for name in model.nodes:
        box = placed.boxes[name]
        classes = " ".join(["node", *_svg_classes(model, name, run)])
        tooltip = "\n".join([name, *lines[name]])
        out.append(f'<g id="{ids[name]}" class="{classes}" data-layer="{box.layer}">')
        out.append(f"<title>{xml_text(tooltip)}</title>")
        out.append(
            f'<rect class="box" x="{number(box.x)}" y="{number(box.y)}" width="{number(box.width)}" '
            f'height="{number(box.height)}" rx="6"/>'
        )
        centre = box.x + box.width / 2
        out.append(f'<text class="name" x="{number(centre)}" y="{number(box.y + 19)}">{xml_text(name)}</text>')
        for row, line in enumerate(lines[name]):
            y = box.y + 19 + (row + 1) * (LINE - 2)
            out.append(f'<text class="info" x="{number(centre)}" y="{number(y)}">{xml_text(line)}</text>')
        if name in model.interrupt_before:
            out.append(
                f'<rect class="stop" x="{number(box.x)}" y="{number(box.y - 2)}" width="{number(box.width)}" height="4"/>'
            )
        if name in model.interrupt_after:
            out.append(
                f'<rect class="stop" x="{number(box.x)}" y="{number(box.y + box.height - 2)}" '
                f'width="{number(box.width)}" height="4"/>'
            )
        if name in room:
            middle = box.y + box.height / 2
            out.append(f'<circle class="entry" cx="{number(box.x - 16)}" cy="{number(middle)}" r="5"/>')
            out.append(
                f'<path class="link edge" d="M{number(box.x - 11)},{number(middle)} L{number(box.x)},{number(middle)}" '
                'marker-end="url(#arrow-edge)"/>'
            )
        out.append("</g>")
    out.append("</g>")
    out.append("</g>")
    width = max(placed.width, 420.0)
    if run is not None:
        width = max(width, text_width(xml_chars(f"store {run.store}: {run.summary}"), 12) + 2 * MARGIN_X)
    legend, legend_height = _legend(model, run, header + placed.height, width)
    out += legend
    total = header + placed.height + legend_height + 8
    out[1] = (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{number(width)}" height="{number(total)}" '
        f'viewBox="0 0 {number(width)} {number(total)}">'
    )
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _svg_classes(model: Drawing, name: str, run: RunMarks | None) -> list[str]:
    found = ["start"] if name in model.start else []
    if name in model.joins:
        found.append("join")
    if name in model.interrupt_before:
        found.append("stop-before")
    if name in model.interrupt_after:
        found.append("stop-after")
    if run is not None:
        found.append("ran" if name in run.ran else "notrun")
        if name in run.waiting:
            found.append("waiting")
    return found


__all__ = [
    "Drawing",
    "Link",
    "NodeRuns",
    "RunMarks",
    "describe_drawing",
    "drawing",
    "mermaid",
    "read_store",
    "run_marks",
    "svg",
]
