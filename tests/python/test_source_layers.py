"""The native sources keep their layers: parser, heuristics, engine, python.

A file pair (x.hpp and x.cpp) is one unit; the units' quoted includes must
form a graph without cycles, no unit may include one of a later layer, and
only the python layer may include Python.h. A new include that closes a loop
(two engine files including each other, say) fails here before it becomes
a tangle. Needs the source tree; skipped for an installed package alone.
"""

from __future__ import annotations

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
LAYERS = ["parser", "heuristics", "engine", "python"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+/[a-z0-9_]+)\.hpp"', re.M)

pytestmark = pytest.mark.skipif(not (SRC / "engine").is_dir(), reason="no source tree")


def include_graph() -> dict[str, set[str]]:
    graph: dict[str, set[str]] = {}
    for layer in LAYERS:
        for path in sorted((SRC / layer).glob("*.[ch]pp")):
            unit = f"{layer}/{path.stem}"
            targets = graph.setdefault(unit, set())
            targets.update(t for t in INCLUDE.findall(path.read_text()) if t != unit)
    return graph


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}  # 1 on the current path, 2 done

    def visit(unit: str, path: list[str]) -> list[str] | None:
        state[unit] = 1
        path.append(unit)
        for target in sorted(graph.get(unit, ())):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target not in state and (found := visit(target, path)):
                return found
        path.pop()
        state[unit] = 2
        return None

    for unit in sorted(graph):
        if unit not in state and (found := visit(unit, [])):
            return found
    return None


def test_includes_form_no_cycle() -> None:
    assert find_cycle(include_graph()) is None


def test_no_layer_includes_a_later_one() -> None:
    upward = [
        (unit, target)
        for unit, targets in include_graph().items()
        for target in targets
        if LAYERS.index(target.split("/")[0]) > LAYERS.index(unit.split("/")[0])
    ]
    assert upward == []


def test_only_the_python_layer_includes_python_h() -> None:
    found = [
        str(path.relative_to(SRC))
        for layer in LAYERS[:-1]
        for path in sorted((SRC / layer).glob("*.[ch]pp"))
        if re.search(r'#\s*include\s+[<"]Python\.h[>"]', path.read_text())
    ]
    assert found == []


@pytest.mark.parametrize(
    ("graph", "cycle"),
    [
        ({"a/x": {"a/y"}, "a/y": {"a/x"}}, ["a/x", "a/y", "a/x"]),
        ({"a/x": {"a/y"}, "a/y": {"a/z"}, "a/z": set()}, None),
        ({"a/x": {"a/y"}, "a/y": {"a/z"}, "a/z": {"a/y"}}, ["a/y", "a/z", "a/y"]),
    ],
)
def test_cycle_finder(graph: dict[str, set[str]], cycle: list[str] | None) -> None:
    assert find_cycle(graph) == cycle
