#!/usr/bin/env python3
"""The server's rooms and what each may include.

  check_includes.py SOURCE_DIR

Each folder of server/ is a room and a CMake library (server/CMakeLists.txt).
LINKS below is the map of the house: the rooms each room's library links.
A room includes only itself and the rooms it may reach through those links
(every link between rooms is PUBLIC, so a room reaches what the rooms it
links reach). The map must say what server/CMakeLists.txt says, link for
link. A unit is a .h/.cpp pair; no two units may include each other, however
far round. Prints each include the map does not allow, each difference
between the map and the CMake links, and each cycle; exits 1 when there is
any.
"""

import os
import re
import sys

# The rooms, each with the rooms its library links (PUBLIC), lowest first;
# docs/architecture.md draws the same map.
LINKS = {
    "support": [],
    "release": ["support"],
    "engine": ["support"],
    "store": ["release", "engine"],
    "upkeep": ["store"],
    "comments": ["upkeep"],
    "notify": ["comments"],
    "http": ["release"],
    "pages": ["http"],
    "admin": ["pages", "notify"],
    "daemon": ["admin"],
    "cli": ["daemon"],
}
# main.cpp, beside the rooms, is the program: it links cli.
MAIN = ("main.cpp", "cli")

INCLUDE = re.compile(r'^\s*#\s*include\s+"server/([^"]+)"', re.M)
LIBRARY = re.compile(r"\badd_library\(\s*pelvoran_server_(\w+)\b")
LINK = re.compile(r"\btarget_link_libraries\(\s*pelvoran_server_(\w+)\b([^)]*)\)")


def reach(links, start):
    """The rooms `start` may include: itself and those it links, however far
    down."""
    seen, todo = set(), [start]
    while todo:
        r = todo.pop()
        if r not in seen:
            seen.add(r)
            todo.extend(links.get(r, ()))
    return seen


def map_cycles(links):
    """The rooms that link themselves, however far round."""
    return sorted(r for r in links if any(r in reach(links, b) for b in links[r]))


def cmake_links(cmake):
    """The rooms' libraries in server/CMakeLists.txt, and the rooms each links,
    with how (PUBLIC, PRIVATE or INTERFACE)."""
    text = re.sub(r"#[^\n]*", "", cmake)
    libraries = set(LIBRARY.findall(text))
    links = {}
    for name, args in LINK.findall(text):
        how = "PUBLIC"
        for word in args.split():
            if word in ("PUBLIC", "PRIVATE", "INTERFACE"):
                how = word
            elif word.startswith("pelvoran_server_"):
                links.setdefault(name, {})[word[len("pelvoran_server_"):]] = how
    return libraries, links


def compare(cmake_path):
    """Where the map and server/CMakeLists.txt differ."""
    problems = []
    try:
        with open(cmake_path, encoding="utf-8") as f:
            libraries, links = cmake_links(f.read())
    except OSError as e:
        return [f"server/CMakeLists.txt: cannot be read ({e.strerror})"]
    for r in sorted(set(LINKS) - libraries):
        problems.append(f"server/CMakeLists.txt: no library pelvoran_server_{r} for the room {r}/ "
                        "of the map")
    for r in sorted(libraries - set(LINKS)):
        problems.append(f"server/CMakeLists.txt: pelvoran_server_{r} is a room the map lacks")
    for r in sorted(set(LINKS) & libraries):
        there = links.get(r, {})
        for below in sorted(set(there) - set(LINKS[r])):
            problems.append(f"server/CMakeLists.txt: pelvoran_server_{r} links "
                            f"pelvoran_server_{below}, which the map does not give {r}/")
        for below in sorted(set(LINKS[r]) - set(there)):
            problems.append(f"server/CMakeLists.txt: pelvoran_server_{r} does not link "
                            f"pelvoran_server_{below}, which the map gives {r}/")
        for below in sorted(b for b in set(there) & set(LINKS[r]) if there[b] != "PUBLIC"):
            problems.append(f"server/CMakeLists.txt: pelvoran_server_{r} links "
                            f"pelvoran_server_{below} {there[below]}; the map's links are PUBLIC")
    for r in map_cycles(LINKS):
        problems.append(f"the map: {r}/ links itself, however far round")
    return problems


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


def cycles(graph):
    """Units that reach each other, however far round: the strongly connected
    components of more than one unit (Tarjan's algorithm, iterative)."""
    found = []
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
                        found.append("include cycle between: " + ", ".join(sorted(component)))
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
    return found


def main():
    server = os.path.join(sys.argv[1] if len(sys.argv) > 1 else ".", "server")
    problems = compare(os.path.join(server, "CMakeLists.txt"))
    allowed = {r: reach(LINKS, r) for r in LINKS}
    files = units(server)
    graph = {}
    for relative, path in sorted(files.items()):
        with open(path, encoding="utf-8", errors="replace") as f:
            included = INCLUDE.findall(f.read())
        here = MAIN[1] if relative == MAIN[0] else room(relative)
        if here not in LINKS:
            problems.append(f"server/{relative}: in no room of the map ({', '.join(LINKS)})")
            continue
        unit = os.path.splitext(relative)[0]
        for target in included:
            if target not in files:
                problems.append(f"server/{relative}: includes server/{target}, which is not there")
                continue
            there = room(target)
            if there not in allowed[here]:
                problems.append(f"server/{relative}: includes server/{target}, but "
                                f"pelvoran_server_{here} does not link {there}/ (it may include "
                                f"{', '.join(sorted(allowed[here]))})")
            other = os.path.splitext(target)[0]
            if other != unit:
                graph.setdefault(unit, set()).add(other)
    problems += cycles(graph)
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} problem(s): see LINKS in {os.path.basename(__file__)}, "
              "server/CMakeLists.txt and docs/architecture.md")
        return 1
    print(f"{len(files)} files in {len(LINKS)} rooms: every include is one its room's library "
          "links, the map is server/CMakeLists.txt's, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
