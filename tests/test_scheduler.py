"""plan_supersteps: worked examples, argument errors, graphlib on random DAGs, cycle invariants."""

import ctypes
import graphlib
import random

import pytest
import zelk_core
from conftest import host_message
from hypothesis import given, settings
from hypothesis import strategies as st


def by_bytes(names):
    return sorted(names, key=lambda name: name.encode())


LONG = ["node-" + tail for tail in ("b", "a" * 12 + "c", "a" * 12 + "b", "a" * 12, "a" * 12 + "\0", "")]
PLANS = [
    ([], [("a", "b")], []),
    (["b", "B", "a", "ab", ""], [], [["", "B", "a", "ab", "b"]]),
    (["c", "b", "a"], [("a", "b"), ("b", "c")], [["a"], ["b"], ["c"]]),
    (["d", "c", "b", "a"], [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")], [["a"], ["b", "c"], ["d"]]),
    (["a", "b", "c"], [("a", "b"), ("b", "c"), ("a", "c")], [["a"], ["b"], ["c"]]),
    (["a"], [("a", "x"), ("x", "a")], [["a"]]),
    (["a", "b"], [("a", "a"), ("a", "b")], [["a"], ["b"]]),
    (["a", "b"], [("a", "b"), ("a", "b")], [["a"], ["b"]]),
    (["a", "a"], [], [["a"]]),
    (["a", "b", "c"], [("a", "b"), ("b", "c"), ("c", "b")], [["a"], ["b", "c"]]),
    (["b", "a"], [("a", "b"), ("b", "a")], [["a", "b"]]),
    # A node repeated in the list is one node: it runs once, also in the remainder.
    (["a", "b", "a"], [("a", "b"), ("b", "a")], [["a", "b"]]),
    (["a", "b", "c", "d"], [("a", "b"), ("b", "a"), ("b", "c"), ("d", "c")], [["d"], ["a", "b", "c"]]),
    (["b", "a"], [("a", "b")], [["a"], ["b"]]),
    (["a"], [("a", "c")], [["a"]]),
    (["é", "z", "e\u0301", "😀", "\uffff"], [], [["e\u0301", "z", "é", "\uffff", "😀"]]),
    # Long shared prefixes, ties past eight bytes, zero bytes and names that are prefixes.
    (LONG, [], [by_bytes(LONG)]),
]


@pytest.mark.parametrize("nodes, edges, plan", PLANS)
def test_worked_examples(nodes, edges, plan):
    assert zelk_core.plan_supersteps(nodes, edges) == plan


def test_sequences_keywords_and_fresh_lists():
    assert zelk_core.plan_supersteps(("a",), ()) == [["a"]]
    assert zelk_core.plan_supersteps(edges=[], nodes=["a"]) == [["a"]]
    assert zelk_core.plan_supersteps(nodes=["b", "a"], edges=[("a", "b")]) == [["a"], ["b"]]

    class Name(str):
        pass

    class Pair(tuple):
        pass

    plan = zelk_core.plan_supersteps([Name("b"), "a"], [Pair((Name("a"), "b"))])
    assert plan == [["a"], ["b"]] and all(type(name) is str for step in plan for name in step)


class FailingIteration(list):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def __iter__(self):
        raise self.error


SURROGATE = "\ud800"
ERRORS = [
    ("ab", [], TypeError, "argument 'nodes': Can't extract `str` to `Vec`"),
    ({"a"}, [], TypeError, "argument 'nodes': 'set' object cannot be converted to 'Sequence'"),
    ((n for n in "a"), [], TypeError, "argument 'nodes': 'generator' object cannot be converted to 'Sequence'"),
    (["a", 1], [], TypeError, "argument 'nodes': 'int' object cannot be converted to 'PyString'"),
    (["a"], "x", TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
    (["a"], {"a": "b"}, TypeError, "argument 'edges': 'dict' object cannot be converted to 'Sequence'"),
    (["a"], [["a", "b"]], TypeError, "argument 'edges': 'list' object cannot be converted to 'PyTuple'"),
    (["a"], [("a", "b", "c")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (["a"], [("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (["a"], [("a", None)], TypeError, "argument 'edges': 'NoneType' object cannot be converted to 'PyString'"),
    ([1], "x", TypeError, "argument 'nodes': 'int' object cannot be converted to 'PyString'"),
    ([SURROGATE], [], UnicodeEncodeError, None),
    (["a"], [("a", SURROGATE)], UnicodeEncodeError, None),
    (FailingIteration(TypeError("no")), [], TypeError, "argument 'nodes': no"),
    (["a"], FailingIteration(KeyError("k")), KeyError, "'k'"),
]


@pytest.mark.parametrize("nodes, edges, kind, message", ERRORS)
def test_argument_errors(nodes, edges, kind, message):
    if message is None:  # the interpreter's own text
        message = host_message("PyUnicode_AsUTF8", SURROGATE, restype=ctypes.c_char_p)
    with pytest.raises(kind) as caught:
        zelk_core.plan_supersteps(nodes, edges)
    assert type(caught.value) is kind and str(caught.value) == message


def graphlib_plan(nodes, edges):
    sorter = graphlib.TopologicalSorter()
    for node in nodes:
        sorter.add(node)
    for before, after in edges:
        sorter.add(after, before)
    sorter.prepare()
    plan = []
    while sorter.is_active():
        ready = by_bytes(sorter.get_ready())
        plan.append(ready)
        sorter.done(*ready)
    return plan


names = st.text(st.characters(blacklist_categories=["Cs"]), max_size=3)


@st.composite
def dags(draw):
    """Nodes in a hidden topological order; every edge points forward in it."""
    order = draw(st.lists(names, unique=True, max_size=14))
    nodes = draw(st.lists(st.sampled_from(order), max_size=20)) + order if order else []
    draw(st.randoms()).shuffle(nodes)
    pairs = st.tuples(st.integers(0, len(order) - 1), st.integers(0, len(order) - 1))
    index_pairs = draw(st.lists(pairs, max_size=40)) if order else []
    return nodes, [(order[min(i, j)], order[max(i, j)]) for i, j in index_pairs if i != j]


@settings(max_examples=300)
@given(dags())
def test_matches_graphlib_on_dags(graph):
    nodes, edges = graph
    assert zelk_core.plan_supersteps(nodes, edges) == graphlib_plan(nodes, edges)


class Listed(list):
    """A list subclass: walked through the iteration protocol, every item held."""


class Name(str):
    pass


class Pair(tuple):
    pass


@settings(max_examples=150)
@given(dags())
def test_borrowed_and_held_items_plan_alike(graph):
    """Exact lists and tuples of exact items are read borrowed; every other shape is held."""
    nodes, edges = graph
    expected = zelk_core.plan_supersteps(nodes, edges)
    subclassed = (
        [Name(n) if k % 2 else n for k, n in enumerate(nodes)],
        [Pair((Name(a), b)) if k % 2 else (a, Name(b)) for k, (a, b) in enumerate(edges)],
    )
    for given_nodes, given_edges in [
        (tuple(nodes), tuple(edges)),
        (Listed(nodes), Listed(edges)),
        (nodes, Listed(edges)),
        (Listed(nodes), edges),
        subclassed,
    ]:
        assert zelk_core.plan_supersteps(given_nodes, given_edges) == expected


@st.composite
def graphs(draw):
    pool = draw(st.lists(names, unique=True, min_size=1, max_size=10))
    nodes = draw(st.lists(st.sampled_from(pool), max_size=14))
    outside = draw(st.lists(names, max_size=2))  # names that may not be nodes
    ends = st.sampled_from(pool + outside)
    return nodes, draw(st.lists(st.tuples(ends, ends), max_size=30)), draw(st.randoms())


@settings(max_examples=300)
@given(graphs())
def test_invariants_with_cycles(graph):
    nodes, edges, rng = graph
    known = set(nodes)
    valid = [(a, b) for a, b in edges if a in known and b in known and a != b]
    successors = {name: {b for a, b in valid if a == name} for name in known}

    def reachable(start):
        seen, todo = set(), list(successors[start])
        while todo:
            name = todo.pop()
            if name not in seen:
                seen.add(name)
                todo.extend(successors[name])
        return seen

    reach = {name: reachable(name) for name in known}
    on_cycle = {name for name in known if name in reach[name]}
    unplaced = on_cycle | {b for name in on_cycle for b in reach[name]}

    depth = {}

    def chain(name):  # longest chain of valid edges ending at a placed name
        if name not in depth:
            depth[name] = max((chain(a) + 1 for a, b in valid if b == name), default=0)
        return depth[name]

    plan = zelk_core.plan_supersteps(nodes, edges)
    placed_steps = plan[:-1] if unplaced else plan
    assert all(step == by_bytes(step) and step for step in plan)
    flat = [name for step in plan for name in step]
    assert sorted(flat) == sorted(known)  # every node exactly once
    if unplaced:
        assert set(plan[-1]) == unplaced
    for index, step in enumerate(placed_steps):
        assert all(chain(name) == index for name in step)

    shuffled_edges, shuffled_nodes = list(edges), list(nodes)
    rng.shuffle(shuffled_edges)
    rng.shuffle(shuffled_nodes)
    assert zelk_core.plan_supersteps(shuffled_nodes + nodes[:3], shuffled_edges) == plan


def test_large_random_dag_matches_graphlib():
    rng = random.Random(5)
    nodes = [f"n{i}\u00e9" if i % 7 == 0 else f"n{i}" for i in range(3000)]
    edges = []
    for _ in range(12000):
        i, j = sorted(rng.sample(range(len(nodes)), 2))
        edges.append((nodes[i], nodes[j]))
    fresh = [(a.encode().decode(), b.encode().decode()) for a, b in edges]  # equal text, new objects
    mixed = [pair if k % 2 else fresh[k] for k, pair in enumerate(edges)]
    expected = graphlib_plan(nodes, edges)
    for given_edges in (edges, fresh, mixed):
        assert zelk_core.plan_supersteps(nodes, given_edges) == expected


# ------------------------------------------------------------------ items dropped mid-call
#
# Node names of exact lists are read without a reference of their own, so a name the list
# loses mid-call would be freed under the plan. Each case below makes the list lose all of
# its names while the plan is built, and fills the freed memory with other text. The first
# collects garbage while the result lists are made (a chain of 300 supersteps uses up the
# host's free list of lists, and CPython 3.11 then collects inside the allocation; later
# versions collect at the next bytecode), and the collection's callback clears the list;
# the second clears it from a user sequence given as `edges`, converted after `nodes`.


def fresh_names(count, tag):
    return ["".join(["name-", tag, str(i)]) for i in range(count)]


def chain_edges(count):
    """Edges n0 -> n1 -> ... made of their own str objects, equal to the node names."""
    names = fresh_names(count, "n")
    return [(names[i], names[i + 1]) for i in range(count - 1)]


class ClearingEdges:
    """A user sequence of edges whose length, first asked, clears the node list."""

    def __init__(self, nodes, junk, items):
        self.nodes, self.junk, self.items = nodes, junk, items

    def __len__(self):
        self.nodes.clear()
        self.junk.extend(fresh_names(8000, "X"))
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("clear_by", ["collection", "edges sequence"])
def test_names_dropped_while_the_plan_is_built(clear_by):
    import gc

    nodes, junk, edges = fresh_names(3000, "n"), [], chain_edges(300)
    expected = graphlib_plan(fresh_names(3000, "n"), edges)  # equal names, other objects
    if clear_by == "edges sequence":
        assert zelk_core.plan_supersteps(nodes, ClearingEdges(nodes, junk, edges)) == expected
        return

    def clear(phase, info):
        if phase == "start" and nodes:
            nodes.clear()
            junk.extend(fresh_names(8000, "X"))

    threshold, enabled = gc.get_threshold(), gc.isenabled()
    gc.callbacks.append(clear)
    gc.enable()
    gc.set_threshold(1)
    try:
        plan = zelk_core.plan_supersteps(nodes, edges)
        assert gc.isenabled()  # collection comes back on once the call is over
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(clear)
        if not enabled:
            gc.disable()
    assert plan == expected
