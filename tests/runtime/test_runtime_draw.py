"""Pictures: Mermaid text and SVG of random graphs with hostile names, checked by parsing
them back; what a stored run did, coloured; the command line."""

from __future__ import annotations

import re
import time
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

zelk_runtime = pytest.importorskip("zelk_runtime")
from zelk_runtime import END, Graph, Output, Send, UsageError, interrupt, resume, run  # noqa: E402
from zelk_runtime.cli import load_graph_file, main  # noqa: E402
from zelk_runtime.draw import describe_drawing, drawing, mermaid, read_store, svg  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SVG = "{http://www.w3.org/2000/svg}"
HOSTILE = [
    "<script>alert(1)</script>",
    'say "hi"',
    "a]]>b",
    "#quot;",
    "x\r\ny",
    "nul\x00bell\x07",
    "&amp;",
    "' onload='x",
    "--> n0",
    "end",
    "🙂",
    "検査 réview",
    "a  b",
    "[x](y){z}|;`",
    "\ufffe",
    "tab\there",
]
names = st.sampled_from(HOSTILE) | st.text(min_size=1, max_size=10)


@st.composite
def descriptions(draw: st.DrawFn) -> dict[str, Any]:
    """A graph description as a store's manifest keeps it: static edges (loops and self
    edges included), branches, Sends, and sometimes a start."""
    nodes = draw(st.lists(names, min_size=1, max_size=8, unique=True))
    pick = st.sampled_from(nodes)
    edges = draw(st.lists(st.tuples(pick, pick).map(list), max_size=12))
    branches = draw(st.dictionaries(pick, st.lists(pick, min_size=1, max_size=3, unique=True), max_size=2))
    sends = draw(st.dictionaries(pick, st.lists(pick, min_size=1, max_size=2, unique=True), max_size=2))
    start = draw(st.none() | st.lists(pick, min_size=1, max_size=2, unique=True))
    found: dict[str, Any] = {"nodes": nodes, "edges": edges, "branches": branches, "sends": sends}
    if start is not None:
        found["start"] = start
    return found


def shown(name: str) -> str:
    """A name as the SVG can carry it: XML holds no C0 control but tab, line feed and
    carriage return (shown as control pictures), nor U+FFFE/U+FFFF."""
    return "".join(
        chr(0x2400 + ord(ch)) if ord(ch) < 32 and ch not in "\t\n\r" else "\ufffd" if ch in "\ufffe\uffff" else ch
        for ch in name
    )


def parse_svg(text: str) -> dict[str, Any]:
    root = ET.fromstring(text.encode("utf-8"))
    nodes = {}
    for group in root.iter(SVG + "g"):
        classes = (group.get("class") or "").split()
        if "node" not in classes:
            continue
        names_ = [t.text or "" for t in group.iter(SVG + "text") if t.get("class") == "name"]
        infos = [t.text or "" for t in group.iter(SVG + "text") if t.get("class") == "info"]
        rect = next(r for r in group.iter(SVG + "rect") if r.get("class") == "box")
        box = tuple(float(rect.get(key)) for key in ("x", "y", "width", "height"))
        nodes[group.get("id")] = {"names": names_, "infos": infos, "box": box, "classes": classes}
        nodes[group.get("id")]["layer"] = int(group.get("data-layer"))
    links = [
        (path.get("data-from"), path.get("data-to"), (path.get("class") or "").split())
        for path in root.iter(SVG + "path")
        if path.get("data-from") is not None
    ]
    return {"nodes": nodes, "links": links, "texts": [t.text or "" for t in root.iter(SVG + "text")]}


def kind_of(classes: list[str]) -> str:
    return next(kind for kind in ("edge", "branch", "send") if kind in classes)


def check_svg(model: Any, text: str) -> dict[str, Any]:
    parsed = parse_svg(text)
    ids = {f"n{i}": name for i, name in enumerate(model.nodes)}
    assert set(parsed["nodes"]) == set(ids)
    # Every node once, as the text of its own group's name element, and nowhere else as a name.
    for node_id, found in parsed["nodes"].items():
        assert found["names"] == [shown(ids[node_id])]
    assert sum(len(found["names"]) for found in parsed["nodes"].values()) == len(model.nodes)
    drawn = Counter((ids[a], ids[b], kind_of(classes)) for a, b, classes in parsed["links"])
    assert drawn == Counter((link.source, link.target, link.kind) for link in model.links)
    boxes = [found["box"] for found in parsed["nodes"].values()]
    for i, (x, y, w, h) in enumerate(boxes):
        for x2, y2, w2, h2 in boxes[i + 1 :]:
            assert x + w <= x2 or x2 + w2 <= x or y + h <= y2 or y2 + h2 <= y, "two boxes overlap"
    # Layers are rows: one top per layer, lower layers further down.
    tops = {found["layer"]: found["box"][1] for found in parsed["nodes"].values()}
    for found in parsed["nodes"].values():
        assert found["box"][1] == tops[found["layer"]]
    ordered = [tops[layer] for layer in sorted(tops)]
    assert ordered == sorted(ordered) and len(set(ordered)) == len(ordered)
    return parsed


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(descriptions(), st.randoms(use_true_random=False))
def test_svg_of_random_graphs(description, random):
    model = describe_drawing(description)
    text = svg(model)
    parsed = check_svg(model, text)
    layer = {model.nodes[int(node_id[1:])]: found["layer"] for node_id, found in parsed["nodes"].items()}
    # Longest-path layers: a link drawn downward goes down; every node sits one layer below
    # the lowest of the nodes linking down to it, or in the first layer. Links that do not
    # go down run upward on the side (loops), or circle back to their own node.
    below: dict[str, int] = {}
    for (a, b, classes), link in zip(parsed["links"], model.links, strict=True):
        source, target = model.nodes[int(a[1:])], model.nodes[int(b[1:])]
        assert (source, target) == (link.source, link.target)
        if "down" in classes:
            assert layer[target] > layer[source]
            below[target] = max(below.get(target, 0), layer[source] + 1)
        else:
            assert ("loop" in classes) == (source == target)
            assert layer[target] <= layer[source]
    if model.plan is None:
        assert layer == {name: below.get(name, 0) for name in model.nodes}
    # Only links that close a loop run upward: their target leads back to their source.
    following: dict[str, set[str]] = {}
    for link in model.links:
        following.setdefault(link.source, set()).add(link.target)
    for (_, _, classes), link in zip(parsed["links"], model.links, strict=True):
        if "up" in classes:
            reached, todo = set(), [link.target]
            while todo:
                for after in following.get(todo.pop(), ()):
                    if after not in reached:
                        reached.add(after)
                        todo.append(after)
            assert link.source in reached
    # The same graph, described in another order, gives the same bytes.
    shuffled = dict(description)
    for key in ("nodes", "edges"):
        shuffled[key] = random.sample(description[key], len(description[key]))
    shuffled["branches"] = dict(random.sample(list(description["branches"].items()), len(description["branches"])))
    assert svg(describe_drawing(shuffled)) == text
    assert mermaid(describe_drawing(shuffled)) == mermaid(model)


def noop(state):
    return None


@settings(max_examples=40, deadline=None)
@given(st.lists(names, min_size=1, max_size=9, unique=True), st.data())
def test_svg_layers_are_the_plan_of_a_static_graph(nodes, data):
    edges = data.draw(st.lists(st.tuples(st.integers(0, len(nodes) - 1), st.integers(0, len(nodes) - 1)), max_size=14))
    graph = Graph({name: noop for name in nodes}, [(nodes[i], nodes[j]) for i, j in edges if i < j])
    assert graph.plan is not None
    model = drawing(graph)
    parsed = check_svg(model, svg(model))
    step = {name: number for number, names_ in enumerate(graph.plan) for name in names_}
    assert {model.nodes[int(i[1:])]: found["layer"] for i, found in parsed["nodes"].items()} == step
    # A description of the same graph (as a store keeps it) finds the same plan.
    assert describe_drawing(graph.describe()).plan == graph.plan


MERMAID_NODE = re.compile(r'^  (n\d+)(?:\["(.*)"\]|\(\["(.*)"\]\))$')
MERMAID_LINK = re.compile(r"^  (n\d+) (-->|-\.->|==>\|Send\|) (n\d+)$")


def parse_mermaid(text: str) -> tuple[dict[str, list[str]], list[tuple[str, str, str]], dict[str, list[str]]]:
    lines = text.splitlines()
    assert lines[0] == "flowchart TD" and text.endswith("\n")
    labels: dict[str, list[str]] = {}
    links = []
    classes: dict[str, list[str]] = {}
    for line in lines[1:]:
        node = MERMAID_NODE.match(line)
        link = MERMAID_LINK.match(line)
        if node:
            assert node[1] not in labels
            label = node[2] if node[2] is not None else node[3]
            # Nothing in a label can end it or start markup: quotes, brackets of markup,
            # entity starts and line breaks only appear as #NNN; codes.
            bare = re.sub(r"#\d+;", "", label.replace("<br/>", ""))
            assert not set(bare) & set('"<>&#;`\r\n\t\x00'), label
            labels[node[1]] = [re.sub(r"#(\d+);", lambda m: chr(int(m[1])), part) for part in label.split("<br/>")]
        elif link:
            kind = {"-->": "edge", "-.->": "branch", "==>|Send|": "send"}[link[2]]
            links.append((link[1], link[3], kind))
        elif line.startswith("  class "):
            members, name = line[len("  class ") :].split(" ")
            classes[name] = members.split(",")
        else:
            assert line.startswith(("  classDef ", "  linkStyle ", "  %% ")), line
    return labels, links, classes


@settings(max_examples=80, deadline=None)
@given(descriptions())
def test_mermaid_of_random_graphs(description):
    model = describe_drawing(description)
    labels, links, classes = parse_mermaid(mermaid(model))
    ids = {f"n{i}": name for i, name in enumerate(model.nodes)}
    assert {node_id: parts[0] for node_id, parts in labels.items()} == ids
    assert Counter((ids[a], ids[b], kind) for a, b, kind in links) == Counter(
        (link.source, link.target, link.kind) for link in model.links
    )
    assert sorted(ids[i] for i in classes.get("entry", [])) == sorted(model.start)
    assert sorted(ids[i] for i in classes.get("join", [])) == sorted(model.joins)


def test_joins_start_and_interrupt_points():
    graph = Graph(
        {"a": noop, "b": noop, "c": noop, "d": noop},
        [("a", "c"), ("b", "c"), ("c", "c"), ("c", "d")],
        interrupt_before=["c"],
        interrupt_after=["d"],
    )
    model = drawing(graph)
    assert model.joins == {"c"} and model.start == ("a", "b")
    labels, _, classes = parse_mermaid(mermaid(model))
    assert classes["stopbefore"] == ["n2"] and classes["stopafter"] == ["n3"] and classes["join"] == ["n2"]
    assert labels["n2"] == ["c", "interrupt before"]
    parsed = check_svg(model, svg(model))
    assert {"start"} <= set(parsed["nodes"]["n0"]["classes"])
    assert {"join", "stop-before"} <= set(parsed["nodes"]["n2"]["classes"])
    assert "stop-after" in parsed["nodes"]["n3"]["classes"]


@pytest.mark.parametrize(
    "description, words",
    [
        ([], "is not a graph description"),
        ({"nodes": "ab"}, "'nodes' is not a list of node names"),
        ({"nodes": ["a"], "edges": [["a", "b"]]}, "names node 'b', which is not among its nodes"),
        ({"nodes": ["a"], "edges": [["a"]]}, "is not a [before, after] pair"),
        ({"nodes": ["a"], "branches": ["a"]}, "'branches' is not an object"),
        ({"nodes": ["a"], "sends": {"a": ["z"]}}, "the sends of node 'a' names node 'z'"),
        ({"nodes": ["a"], "start": ["q"]}, "'start' names node 'q'"),
    ],
)
def test_descriptions_refused(description, words):
    with pytest.raises(UsageError) as caught:
        describe_drawing(description, "the manifest of store S")
    assert "the manifest of store S" in str(caught.value) or "is not a graph description" in str(caught.value)
    assert words in str(caught.value)


# What a stored run did: a loop around a Send fan-out, a node that never runs.


def begin(state):
    return {"log": ["begin"]}


def split(state):
    return Output({"rounds": 1}, sends=[Send("work", i) for i in range(3)])


def work(state, item):
    time.sleep(0.01)
    return {"log": [f"work {item}"]}


def join(state):
    return {"log": ["join"]}


def check(state):
    return {"log": ["check"]}


def never(state):
    return None


def again(state):
    return "split" if state["rounds"] < 2 else END


def looping(**options: Any) -> Graph:
    return Graph(
        [begin, split, work, join, check, never],
        [("begin", "split"), ("work", "join"), ("join", "check")],
        branches={"check": (again, ["split", "never"])},
        sends={"split": ["work"]},
        initial_state={"log": [], "rounds": 0},
        reducers={"log": "append", "rounds": "add"},
        **options,
    )


RAN = {"begin": (1, (0,)), "split": (2, (1, 5)), "work": (6, (2, 6)), "join": (2, (3, 7)), "check": (2, (4, 8))}


@pytest.mark.parametrize("store", ["run-dir", "run.db", "postgres"])
def test_store_colours_what_ran(tmp_path, place, store):
    location = place(tmp_path, store)
    assert run(looping(), location, progress=None, executor="sequential").status == "finished"
    model, marks = read_store(location)
    # The store draws without the graph file: the same picture as the graph's, bar the
    # interrupt points only a Graph knows.
    assert model == drawing(looping())
    assert {name: (done.count, done.supersteps) for name, done in marks.ran.items()} == RAN
    assert all(done.timed == done.count for done in marks.ran.values())
    assert marks.ran["work"].seconds >= 6 * 0.01
    assert marks.finished and not marks.waiting and marks.routes == {("check", "split")}
    ids = {name: f"n{i}" for i, name in enumerate(model.nodes)}

    parsed = check_svg(model, svg(model, marks))
    for name, node_id in ids.items():
        found = parsed["nodes"][node_id]
        assert ("ran" in found["classes"]) == (name in RAN) and ("notrun" in found["classes"]) == (name not in RAN)
        if name in RAN:
            count, steps = RAN[name]
            assert found["infos"][0].startswith(f"ran {count}x, ") and found["infos"][1] == "in " + ", ".join(
                map(str, steps)
            )
    chosen = [(a, b) for a, b, classes in parsed["links"] if "chosen" in classes]
    assert chosen == [(ids["check"], ids["split"])]

    labels, _, classes = parse_mermaid(mermaid(model, marks))
    assert sorted(classes["ran"]) == sorted(ids[name] for name in RAN) and classes["notrun"] == [ids["never"]]
    assert labels[ids["work"]][1].startswith("ran 6x, ") and labels[ids["never"]][1] == "not run"
    assert "waiting" not in classes


def test_store_marks_the_node_the_run_waits_at(tmp_path):
    location = tmp_path / "run"
    result = run(looping(interrupt_before=["join"]), location, progress=None, executor="sequential")
    assert result.status == "interrupted"
    model, marks = read_store(location)
    assert marks.waiting == {"join": ("before",)} and not marks.finished
    assert set(marks.ran) == {"begin", "split", "work"}
    ids = {name: f"n{i}" for i, name in enumerate(model.nodes)}
    parsed = check_svg(model, svg(model, marks))
    assert [i for i, found in parsed["nodes"].items() if "waiting" in found["classes"]] == [ids["join"]]
    assert parsed["nodes"][ids["join"]]["infos"] == ["not run", "waits before it runs"]
    _, _, classes = parse_mermaid(mermaid(model, marks))
    assert classes["waiting"] == [ids["join"]]
    # Let go, it waits before join's second round; let go again, it finishes.
    resume(looping(interrupt_before=["join"]), location, progress=None, executor="sequential")
    _, marks = read_store(location)
    assert marks.waiting == {"join": ("before",)} and marks.ran["join"].supersteps == (3,) and marks.completed == 7
    resume(looping(interrupt_before=["join"]), location, progress=None, executor="sequential")
    _, marks = read_store(location)
    assert not marks.waiting and marks.finished
    assert {name: (done.count, done.supersteps) for name, done in marks.ran.items()} == RAN


def asker(state):
    return {"answer": interrupt("go?")}


def quick(state):
    return {"log": ["quick"]}


def test_a_result_kept_from_an_earlier_attempt_has_no_time(tmp_path):
    graph = Graph([asker, quick], initial_state={"log": []}, channels=["answer"], reducers={"log": "append"})
    location = tmp_path / "run"
    assert run(graph, location, progress=None).status == "interrupted"
    resume(graph, location, answers={"asker": True}, progress=None)
    _, marks = read_store(location)
    # `quick` finished in the attempt that stopped; its result was read back, not timed.
    assert (marks.ran["quick"].count, marks.ran["quick"].timed) == (1, 0)
    assert (marks.ran["asker"].count, marks.ran["asker"].timed) == (1, 1)


GRAPH_FILE = """
from zelk_runtime import Graph

def first(state):
    return {"seen": 1}

def second(state):
    return {"seen": 2}

graph = Graph([first, second], [("first", "second")], channels=["seen"], interrupt_after=["second"])
"""


def test_command_line(tmp_path, capsys):
    graph_file = tmp_path / "graph.py"
    graph_file.write_text(GRAPH_FILE, encoding="utf-8")
    assert main(["draw", str(graph_file)]) == 0
    labels, links, classes = parse_mermaid(capsys.readouterr().out)
    assert labels == {"n0": ["first"], "n1": ["second", "interrupt after"]} and links == [("n0", "n1", "edge")]
    picture = tmp_path / "graph.svg"
    assert main(["draw", str(graph_file), "--svg", str(picture)]) == 0
    assert "wrote" in capsys.readouterr().out
    check_svg(drawing(load_graph_file(str(graph_file))), picture.read_text(encoding="utf-8"))

    store = tmp_path / "store"
    assert main(["run", str(graph_file), "--store", str(store), "--quiet"]) == 0
    capsys.readouterr()
    assert main(["draw", "--store", str(store)]) == 0
    out = capsys.readouterr().out
    _, _, classes = parse_mermaid(out)
    assert "%% run: 2 supersteps, waiting at second" in out and classes["waiting"] == ["n1"]
    assert "stopafter" not in classes  # the store alone does not know the interrupt points
    assert main(["draw", str(graph_file), "--store", str(store), "--svg", str(picture)]) == 0
    parsed = parse_svg(picture.read_text(encoding="utf-8"))
    assert {"ran", "waiting", "stop-after"} <= set(parsed["nodes"]["n1"]["classes"])

    assert main(["draw"]) == 1
    assert "draw needs a graph file (GRAPH.py), a store (--store DIR), or both" in capsys.readouterr().err
    assert main(["draw", "--store", str(tmp_path / "nothing")]) == 1
    assert "does not exist" in capsys.readouterr().err


def test_the_demo_graph(tmp_path):
    """The demo's graph, drawn to build/demo-graph.svg to look at: its loop (refine sends
    back to answer_question) runs upward on the side."""
    demo = load_graph_file(str(ROOT / "demo" / "demo.py"))
    model = drawing(demo)
    text = svg(model)
    parsed = check_svg(model, text)
    ids = {name: f"n{i}" for i, name in enumerate(model.nodes)}
    layer = {model.nodes[int(i[1:])]: found["layer"] for i, found in parsed["nodes"].items()}
    assert layer["gather_docs"] == layer["load_questions"] == 0 and layer["ask"] == 2
    assert layer["ask"] < layer["answer_question"] < layer["check"] < layer["refine"]
    up = [(a, b) for a, b, classes in parsed["links"] if "up" in classes]
    assert up == [(ids["refine"], ids["answer_question"])]
    out = ROOT / "build"
    out.mkdir(exist_ok=True)
    (out / "demo-graph.svg").write_text(text, encoding="utf-8")
