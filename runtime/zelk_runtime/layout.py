"""Where a picture's boxes and lines go: layers by superstep, an order within each layer
with few crossings, x positions near the neighbours', and the path of every link.

Layers: a graph with a superstep plan is drawn by its plan. Otherwise the links a
depth-first search from the start nodes finds going back up its own path (loops) are left
out, and every node goes one layer below the lowest of its remaining predecessors (the
longest path), so loops draw upward. A link across several layers passes through a
placeholder in each layer between, so it gets a lane of its own; a few barycentre sweeps
order each layer, keeping the order with the fewest crossings. Links that go up (or
stay in their layer) run in lanes right of the boxes they pass; a link to itself is a
small loop on the box's right.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from itertools import pairwise

LAYER_GAP = 56.0  # vertical space between two layers' boxes
NODE_GAP = 28.0  # horizontal space between two boxes of a layer
LANE_WIDTH = 8.0  # the width a link's placeholder takes in a layer
LANE_GAP = 14.0  # between two upward links' lanes
LOOP_REACH = 26.0  # how far a link to itself bulges right of its box
MARGIN = 24.0
MAX_PLACEHOLDERS = 20_000  # beyond this, long links are drawn straight through
SWEEPS = 4


@dataclass(frozen=True)
class Box:
    x: float  # left
    y: float  # top
    width: float
    height: float
    layer: int

    @property
    def centre(self) -> float:
        return self.x + self.width / 2


@dataclass(frozen=True)
class Path:
    """A link's SVG path data, where its label goes, and how it runs: "down", "up" (a lane
    on the right, which an edge staying in its layer takes too) or "loop"."""

    d: str
    label: tuple[float, float]
    way: str


@dataclass(frozen=True)
class Layout:
    boxes: dict[str, Box]
    paths: list[Path]  # one per link, in the links' order
    width: float
    height: float


def number(value: float) -> str:
    """A coordinate as SVG text: one decimal, no trailing ".0"."""
    text = f"{round(value, 1) + 0.0:.1f}"
    return text[:-2] if text.endswith(".0") else text


def layers(
    names: Sequence[str],
    links: Sequence[tuple[str, str]],
    start: Sequence[str],
    plan: Sequence[Sequence[str]] | None,
) -> tuple[dict[str, int], list[str]]:
    """The layer of each node, and the nodes in the order a depth-first search from the
    start nodes meets them (a good first order within a layer)."""
    following: dict[str, list[tuple[int, str]]] = {name: [] for name in names}
    led: set[str] = set()
    for index, (source, target) in enumerate(links):
        following[source].append((index, target))
        led.add(target)
    starting = set(start)
    roots = [*start, *(n for n in names if n not in led and n not in starting), *names]
    seen: dict[str, bool] = {}  # node -> still on the search's path
    met: list[str] = []
    back: set[int] = set()
    for root in roots:
        if root in seen:
            continue
        seen[root] = True
        met.append(root)
        stack = [(root, 0)]
        while stack:
            node, position = stack[-1]
            out = following[node]
            if position == len(out):
                seen[node] = False
                stack.pop()
                continue
            stack[-1] = (node, position + 1)
            index, target = out[position]
            if target not in seen:
                seen[target] = True
                met.append(target)
                stack.append((target, 0))
            elif seen[target]:
                back.add(index)
    if plan is not None:
        return {name: number for number, step in enumerate(plan) for name in step}, met
    # Longest path over the links left, in an order where every link points forward.
    waiting = dict.fromkeys(names, 0)
    for index, (_, target) in enumerate(links):
        if index not in back:
            waiting[target] += 1
    layer = dict.fromkeys(names, 0)
    ready = [name for name in met if waiting[name] == 0]
    while ready:
        node = ready.pop()
        for index, target in following[node]:
            if index in back:
                continue
            layer[target] = max(layer[target], layer[node] + 1)
            waiting[target] -= 1
            if waiting[target] == 0:
                ready.append(target)
    return layer, met


@dataclass
class _Item:
    """A box or a placeholder in a layer: its width, and room it needs left and right of it."""

    width: float
    left: float = 0.0
    right: float = 0.0
    x: float = 0.0  # centre


def _crossings(order: list[list[int]], down: Mapping[int, list[int]]) -> int:
    """Crossings between adjacent layers: inversions of the lower ends, counted with a
    Fenwick tree over the lower layer's positions."""
    total = 0
    for upper, lower in pairwise(order):
        place = {item: position for position, item in enumerate(lower)}
        ends = sorted(
            (position, place[other])
            for position, item in enumerate(upper)
            for other in down.get(item, ())
            if other in place
        )
        tree = [0] * (len(lower) + 1)
        for seen, (_, end) in enumerate(ends):
            higher = seen  # ends so far that are not at or left of this one
            i = end + 1
            while i > 0:
                higher -= tree[i]
                i -= i & -i
            total += higher
            i = end + 1
            while i <= len(lower):
                tree[i] += 1
                i += i & -i
    return total


def _sort_by(layer: list[int], neighbours: Mapping[int, list[int]], position: Mapping[int, int]) -> list[int]:
    def key(pair: tuple[int, int]) -> tuple[float, int]:
        index, item = pair
        found = [position[other] for other in neighbours.get(item, ()) if other in position]
        return (sum(found) / len(found) if found else float(index), index)

    return [item for _, item in sorted(enumerate(layer), key=key)]


def _order(order: list[list[int]], up: Mapping[int, list[int]], down: Mapping[int, list[int]]) -> list[list[int]]:
    best = [list(layer) for layer in order]
    fewest = _crossings(best, down)
    for _ in range(SWEEPS):
        if fewest == 0:
            break
        for number_ in range(1, len(order)):
            position = {item: place for place, item in enumerate(order[number_ - 1])}
            order[number_] = _sort_by(order[number_], up, position)
        for number_ in range(len(order) - 2, -1, -1):
            position = {item: place for place, item in enumerate(order[number_ + 1])}
            order[number_] = _sort_by(order[number_], down, position)
        count = _crossings(order, down)
        if count < fewest:
            best, fewest = [list(layer) for layer in order], count
    return best


def _separation(a: _Item, b: _Item) -> float:
    gap = NODE_GAP if a.width > LANE_WIDTH and b.width > LANE_WIDTH else LANE_GAP
    return a.width / 2 + a.right + gap + b.left + b.width / 2


def _place(layer: list[int], items: Sequence[_Item], wanted: list[float]) -> None:
    """Centres as close to `wanted` as the order and the gaps allow: the mean of pushing
    right from the left and pushing left from the right (both keep the gaps, so the mean
    does)."""
    pushed_right = list(wanted)
    for i in range(1, len(layer)):
        pushed_right[i] = max(pushed_right[i], pushed_right[i - 1] + _separation(items[layer[i - 1]], items[layer[i]]))
    pushed_left = list(wanted)
    for i in range(len(layer) - 2, -1, -1):
        pushed_left[i] = min(pushed_left[i], pushed_left[i + 1] - _separation(items[layer[i]], items[layer[i + 1]]))
    for i, item in enumerate(layer):
        items[item].x = (pushed_right[i] + pushed_left[i]) / 2


def _positions(
    order: list[list[int]], items: list[_Item], up: Mapping[int, list[int]], down: Mapping[int, list[int]]
) -> None:
    for layer in order:
        _place(layer, items, [0.0] * len(layer))
    for _ in range(SWEEPS):
        for neighbours, sequence in ((up, order), (down, order[::-1])):
            for layer in sequence:
                wanted = []
                for item in layer:
                    near = [items[other].x for other in neighbours.get(item, ())]
                    wanted.append(sum(near) / len(near) if near else items[item].x)
                _place(layer, items, wanted)


def _spread(count: int, middle: float, room: float, step: float) -> list[float]:
    """`count` points around `middle`, `step` apart at most, within `room`."""
    if count <= 1:
        return [middle] * count
    gap = min(step, room / (count - 1))
    return [middle + (i - (count - 1) / 2) * gap for i in range(count)]


def layout(
    names: Sequence[str],
    links: Sequence[tuple[str, str]],
    start: Sequence[str],
    plan: Sequence[Sequence[str]] | None,
    widths: Mapping[str, float],
    height: float,
    left_room: Mapping[str, float],
) -> Layout:
    """Boxes of `widths` and `height` (each with `left_room` kept free on its left) and the
    paths of `links` (source, target pairs, in order)."""
    layer, met = layers(names, links, start, plan)
    count = max(layer.values(), default=-1) + 1
    index = {name: i for i, name in enumerate(names)}
    items = [_Item(widths[name], left_room.get(name, 0.0)) for name in names]
    for source, target in links:
        if source == target:
            items[index[source]].right = LOOP_REACH + 4
    order: list[list[int]] = [[] for _ in range(count)]
    for name in met:
        order[layer[name]].append(index[name])
    if plan is not None:  # the plan's order within a superstep first
        order = [[index[name] for name in step] for step in plan]
    long = sum(max(0, layer[t] - layer[s] - 1) for s, t in links)
    chains: list[list[int]] = []  # per link: the items it passes, ends included
    up: dict[int, list[int]] = {}
    down: dict[int, list[int]] = {}
    for source, target in links:
        chain = [index[source]]
        if layer[target] > layer[source]:
            if long <= MAX_PLACEHOLDERS:
                for between in range(layer[source] + 1, layer[target]):
                    items.append(_Item(LANE_WIDTH))
                    order[between].append(len(items) - 1)
                    chain.append(len(items) - 1)
            chain.append(index[target])
            for upper, lower in pairwise(chain):
                down.setdefault(upper, []).append(lower)
                up.setdefault(lower, []).append(upper)
        chains.append(chain)
    order = _order(order, up, down)
    _positions(order, items, up, down)
    lowest = min((items[i].x - items[i].width / 2 - items[i].left for layer_ in order for i in layer_), default=0.0)
    shift = MARGIN - lowest
    pitch = height + LAYER_GAP
    boxes = {
        name: Box(
            items[i].x + shift - items[i].width / 2, MARGIN + layer[name] * pitch, items[i].width, height, layer[name]
        )
        for i, name in enumerate(names)
    }
    right_edge = [MARGIN] * count
    for number_, layer_ in enumerate(order):
        for i in layer_:
            right_edge[number_] = max(right_edge[number_], items[i].x + shift + items[i].width / 2 + items[i].right)
    paths = _paths(links, chains, items, shift, boxes, right_edge, pitch)
    width = max([*right_edge, *(_lane_right(path) for path in paths)], default=MARGIN) + MARGIN
    return Layout(boxes, paths, width, MARGIN * 2 + max(count, 1) * pitch - LAYER_GAP)


def _lane_right(path: Path) -> float:
    return path.label[0] if path.way == "up" else 0.0


def _paths(
    links: Sequence[tuple[str, str]],
    chains: list[list[int]],
    items: list[_Item],
    shift: float,
    boxes: Mapping[str, Box],
    right_edge: list[float],
    pitch: float,
) -> list[Path]:
    way = ["loop" if s == t else "down" if boxes[t].layer > boxes[s].layer else "up" for s, t in links]

    # Lanes of upward links, shortest first, each right of the boxes of the layers it spans
    # and of the lanes already taken over them. An upward link leaves its source's bottom,
    # runs right in the gap below the source's layer, up its lane, left in the gap above
    # the target's layer and into the target's top: it crosses no box.
    lanes: dict[int, float] = {}
    taken: list[tuple[int, int, float]] = []
    ups = sorted(
        (n for n in range(len(links)) if way[n] == "up"),
        key=lambda n: (boxes[links[n][0]].layer - boxes[links[n][1]].layer, n),
    )
    below: dict[int, int] = {}  # upward links leaving a layer so far
    above: dict[int, int] = {}  # and entering one
    gaps: dict[int, tuple[float, float]] = {}
    for number_ in ups:
        low, high = boxes[links[number_][1]].layer, boxes[links[number_][0]].layer
        x = max(right_edge[low : high + 1]) + 20
        for other_low, other_high, other_x in taken:
            if other_low <= high and low <= other_high:
                x = max(x, other_x + LANE_GAP)
        lanes[number_] = x
        taken.append((low, high, x))
        out_rank, in_rank = below.get(high, 0), above.get(low, 0)
        below[high], above[low] = out_rank + 1, in_rank + 1
        gaps[number_] = (12.0 + 6.0 * (out_rank % 6), 12.0 + 6.0 * (in_rank % 6))

    # Ports: links leave a box's bottom and enter its top spread along the edge in the order
    # of where they go (or come from); links to themselves spread down its right side.
    outs: dict[str, list[tuple[float, int]]] = {}
    ins: dict[str, list[tuple[float, int]]] = {}
    loops: dict[str, list[int]] = {}
    for number_, (source, target) in enumerate(links):
        chain = chains[number_]
        if way[number_] == "down":
            outs.setdefault(source, []).append((items[chain[1]].x + shift, number_))
            ins.setdefault(target, []).append((items[chain[-2]].x + shift, number_))
        elif way[number_] == "up":
            outs.setdefault(source, []).append((lanes[number_], number_))
            ins.setdefault(target, []).append((lanes[number_], number_))
        else:
            loops.setdefault(source, []).append(number_)
    start_at: dict[int, float] = {}
    end_at: dict[int, float] = {}
    for ports, at in ((outs, start_at), (ins, end_at)):
        for name, found in ports.items():
            box = boxes[name]
            for x, (_, number_) in zip(_spread(len(found), box.centre, box.width - 16, 14), sorted(found), strict=True):
                at[number_] = x
    loop_y: dict[int, float] = {}
    for name, circling in loops.items():
        box = boxes[name]
        middle = box.y + box.height / 2
        for y, number_ in zip(_spread(len(circling), middle, box.height - 14, 12), circling, strict=True):
            loop_y[number_] = y

    paths = []
    for number_, (source, target) in enumerate(links):
        s, t = boxes[source], boxes[target]
        if way[number_] == "loop":
            y, r = loop_y[number_], s.x + s.width
            reach = r + LOOP_REACH
            d = (
                f"M{number(r)},{number(y - 5)} C{number(reach)},{number(y - 16)} "
                f"{number(reach)},{number(y + 16)} {number(r)},{number(y + 5)}"
            )
            paths.append(Path(d, (reach, y), "loop"))
        elif way[number_] == "up":
            sx, tx, lane = start_at[number_], end_at[number_], lanes[number_]
            drop, rise = gaps[number_]
            sy, ty = s.y + s.height + drop, t.y - rise
            bend = 6.0
            d = (
                f"M{number(sx)},{number(s.y + s.height)} L{number(sx)},{number(sy - bend)} "
                f"Q{number(sx)},{number(sy)} {number(sx + bend)},{number(sy)} L{number(lane - bend)},{number(sy)} "
                f"Q{number(lane)},{number(sy)} {number(lane)},{number(sy - bend)} L{number(lane)},{number(ty + bend)} "
                f"Q{number(lane)},{number(ty)} {number(lane - bend)},{number(ty)} L{number(tx + bend)},{number(ty)} "
                f"Q{number(tx)},{number(ty)} {number(tx)},{number(ty + bend)} L{number(tx)},{number(t.y)}"
            )
            paths.append(Path(d, (lane, (sy + ty) / 2), "up"))
        else:
            # Down through each placeholder's layer straight, curving between layers.
            x, y = start_at[number_], s.y + s.height
            d = f"M{number(x)},{number(y)}"
            label = None
            for step, item in enumerate([*chains[number_][1:-1], -1]):
                if item < 0:
                    bx, top, bottom = end_at[number_], t.y, t.y
                else:
                    bx = items[item].x + shift
                    top = MARGIN + (s.layer + 1 + step) * pitch
                    bottom = top + pitch - LAYER_GAP
                middle = (y + top) / 2
                d += f" C{number(x)},{number(middle)} {number(bx)},{number(middle)} {number(bx)},{number(top)}"
                if bottom > top:
                    d += f" L{number(bx)},{number(bottom)}"
                if label is None:
                    label = ((x + bx) / 2, middle)
                x, y = bx, bottom
            paths.append(Path(d, label or (x, y), "down"))
    return paths
