#!/usr/bin/env python3
"""The server's rooms and the order of their includes.

  check_includes.py SOURCE_DIR

Each folder of server/ is a room; a room includes only itself and the rooms
before it in ORDER (docs/architecture.md draws the map). A unit is a .h/.cpp
pair; no two units may include each other, however far round. Prints each
include against the order and each cycle, and exits 1 when there is any.
"""

import os
import re
import sys

# Each room may include the rooms before it, never those after.
ORDER = ["support", "release", "engine", "store", "upkeep", "comments", "notify", "http", "pages", "admin",
         "daemon", "cli"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"server/([^"]+)"', re.M)


def units(server):
    """Every source file of the server by its path under server/."""
    found = {}
    for root, _, files in os.walk(server):
        for name in files:
            if name.endswith((".h", ".cpp")):
                path = os.path.join(root, name)
                found[os.path.relpath(path, server)] = path
    return found


def room(relative):
    return relative.split("/")[0] if "/" in relative else ""


def main():
    server = os.path.join(sys.argv[1] if len(sys.argv) > 1 else ".", "server")
    files = units(server)
    problems = []
    graph = {}
    for relative, path in sorted(files.items()):
        with open(path, encoding="utf-8") as f:
            included = INCLUDE.findall(f.read())
        here = room(relative)
        if relative != "main.cpp" and here not in ORDER:
            problems.append(f"server/{relative}: in no room of the order ({', '.join(ORDER)})")
            continue
        unit = os.path.splitext(relative)[0]
        for target in included:
            if target not in files:
                problems.append(f"server/{relative}: includes server/{target}, which is not there")
                continue
            there = room(target)
            if relative != "main.cpp" and ORDER.index(there) > ORDER.index(here):
                problems.append(f"server/{relative}: {here}/ includes {there}/ (server/{target}), "
                                f"a room after it")
            other = os.path.splitext(target)[0]
            if other != unit:
                graph.setdefault(unit, set()).add(other)
    # Units that reach each other, however far round: the strongly connected
    # components of more than one unit (Tarjan's algorithm, iterative).
    index, low, on, stack, order = {}, {}, set(), [], [0]
    def strongconnect(root):
        work = [(root, iter(sorted(graph.get(root, ()))))]
        index[root] = low[root] = order[0]
        order[0] += 1
        stack.append(root)
        on.add(root)
        while work:
            node, edges = work[-1]
            nxt = next(edges, None)
            if nxt is None:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    component = []
                    while True:
                        member = stack.pop()
                        on.discard(member)
                        component.append(member)
                        if member == node:
                            break
                    if len(component) > 1:
                        problems.append("include cycle between: " + ", ".join(sorted(component)))
            elif nxt not in index:
                index[nxt] = low[nxt] = order[0]
                order[0] += 1
                stack.append(nxt)
                on.add(nxt)
                work.append((nxt, iter(sorted(graph.get(nxt, ())))))
            elif nxt in on:
                low[node] = min(low[node], index[nxt])
    for unit in sorted(graph):
        if unit not in index:
            strongconnect(unit)
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} problem(s): see ORDER in {os.path.basename(__file__)} and "
              "docs/architecture.md")
        return 1
    print(f"{len(files)} files in {len(ORDER)} rooms: every include points to its own room or "
          "one before it, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
