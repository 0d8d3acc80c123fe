#!/usr/bin/python3
"""pelvoran-server --help against its manual page, so that neither drifts.

Every command and option that --help prints must be in the page's SYNOPSIS
with the same options, and every command and option the SYNOPSIS names must
be in --help; each command and option of --help must also have a paragraph
of its own in the page's body (a .TP item whose tag names it).

    server_usage_test.py PELVORAN_SERVER MANUAL_PAGE
"""

import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])--[a-z][a-z-]*")
WORD = re.compile(r"[a-z][a-z-]*")
# Macros whose arguments are printed, joined without blanks (alternating
# fonts) or with them.
ALTERNATING = {"BR", "RB", "BI", "IB", "IR", "RI"}
PLAIN = {"B", "I", "SB", "SM"}
ESCAPES = [("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\&", ""), ("\\e", "\\"),
           ("\\ ", " "), ("\\~", " ")]
FONT = re.compile(r"\\f(?:[BIRP]|\[[A-Z]*\])")
ARGUMENT = re.compile(r'"((?:[^"]|"")*)"|(\S+)')


def plain(text):
    text = FONT.sub("", text)
    for escape, meaning in ESCAPES:
        text = text.replace(escape, meaning)
    return text


def printed(line):
    """What a line of the page prints, as plain text; None for a request."""
    if not line.startswith((".", "'")):
        return plain(line)
    name, _, rest = line[1:].partition(" ")
    args = [q.replace('""', '"') if q or not u else u for q, u in ARGUMENT.findall(rest)]
    if name in ALTERNATING:
        return plain("".join(args))
    if name in PLAIN:
        return plain(" ".join(args))
    return None


def sections(page):
    """The page's sections by name, each a list of its lines."""
    found, name = {}, None
    for line in page.splitlines():
        if line.startswith(".SH"):
            name = plain(line[3:].strip().strip('"'))
            found[name] = []
        elif name is not None:
            found[name].append(line)
    return found


def synopsis_entries(lines):
    """The SYNOPSIS's forms, each as one line of plain text."""
    entries, words = [], []
    for line in lines + [".br"]:
        if line.strip() == ".br":
            if words:
                entries.append(" ".join(" ".join(words).split()))
            words = []
        elif (text := printed(line)) is not None:
            words.append(text)
    return entries


def help_entries(text):
    """The forms --help prints: a line "  pelvoran-server ...", then its
    continuation lines."""
    lines = text.splitlines()
    if not lines or not lines[0].startswith("用法"):
        raise ValueError("--help does not begin with 用法: " + repr(text[:80]))
    entries = []
    for line in lines[1:]:
        if line.startswith("  pelvoran-server "):
            entries.append(line.strip())
        elif line.startswith("    ") and entries:
            entries[-1] += " " + line.strip()
        elif line.strip():
            raise ValueError("a line of --help that is no form: " + repr(line))
    return [" ".join(e.split()) for e in entries]


def commands_of(entry):
    """The commands a form names ("notify list|remove N|test N" names three)
    and the options it gives them."""
    rest = entry.removeprefix("pelvoran-server").strip()
    if rest.startswith("--"):
        return [rest.split()[0]], set()
    head = re.split(r" (?=\[|--)", rest, maxsplit=1)[0]
    pieces = [[w for w in p.split() if WORD.fullmatch(w)] for p in head.split("|")]
    names = [pieces[0]] + [pieces[0][:-1] + p for p in pieces[1:]]
    return [" ".join(n) for n in names if n], set(OPTION.findall(rest))


def options_by_command(entries, source):
    found = {}
    for entry in entries:
        names, options = commands_of(entry)
        if not names:
            raise ValueError(f"a form of {source} that names no command: {entry!r}")
        for name in names:
            found.setdefault(name, set()).update(options)
    return found


def tags(found):
    """The tags of the page's .TP and .TQ items, outside the SYNOPSIS."""
    out = []
    for name, lines in found.items():
        if name == "SYNOPSIS":
            continue
        for i, line in enumerate(lines[:-1]):
            if line.split(" ")[0] in (".TP", ".TQ") and (text := printed(lines[i + 1])):
                out.append(" ".join(text.split()))
    return out


def main(server, manual):
    shown = subprocess.run([server, "--help"], capture_output=True, timeout=60)
    if shown.returncode != 0:
        print(f"FAIL: {server} --help exited {shown.returncode}")
        return 1
    helped = options_by_command(help_entries(shown.stdout.decode("utf-8")), "--help")
    with open(manual, encoding="utf-8") as f:
        found = sections(f.read())
    if "SYNOPSIS" not in found:
        print(f"FAIL: {manual} has no SYNOPSIS")
        return 1
    synopsis = options_by_command(synopsis_entries(found["SYNOPSIS"]), "the SYNOPSIS")
    described = tags(found)

    problems = []
    for name in sorted(helped.keys() - synopsis.keys()):
        problems.append(f"--help has the command `{name}`, the SYNOPSIS does not")
    for name in sorted(synopsis.keys() - helped.keys()):
        problems.append(f"the SYNOPSIS has the command `{name}`, --help does not")
    for name in sorted(helped.keys() & synopsis.keys()):
        for option in sorted(helped[name] - synopsis[name]):
            problems.append(f"--help gives `{name}` the option {option}, the SYNOPSIS does not")
        for option in sorted(synopsis[name] - helped[name]):
            problems.append(f"the SYNOPSIS gives `{name}` the option {option}, --help does not")
    for name in sorted(helped):
        if not any(re.match(re.escape(name) + r"(?![\w-])", tag) for tag in described):
            problems.append(f"the command `{name}` has no paragraph (.TP) of its own")
    options = set().union(*helped.values())
    for option in sorted(options):
        if not any(re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", tag)
                   for tag in described):
            problems.append(f"the option {option} has no paragraph (.TP) of its own")

    for problem in problems:
        print("FAIL:", problem)
    print(f"{len(helped)} commands and {len(options)} options of --help against {manual}: "
          f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
