#!/usr/bin/env python3
"""Checks the README and docs/ against the repository and the programs.

  check_docs.py links SOURCE_DIR
      every relative link in README.md and docs/*.md leads to a file that
      exists, and its #anchor to a heading of that file (GitHub's slugs);
      the README stays a front page (at most 200 lines)
  check_docs.py help SOURCE_DIR PROGRAM...
      every option and command that PROGRAM --help and each command's
      --help print is named in docs/
  check_docs.py example SOURCE_DIR
      docs/trust.md shows the example installer as its file holds it

Prints each fault and exits with 1 when there is one.
"""
import pathlib
import re
import subprocess
import sys

README_LINE_LIMIT = 200

FENCE = re.compile(r"^(```|~~~).*?^\1[ \t]*$", re.M | re.S)
INLINE_CODE = re.compile(r"`[^`\n]*`")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}[ \t]+(.+?)[ \t#]*$", re.M)


def pages(source):
    return [source / "README.md"] + sorted((source / "docs").glob("*.md"))


def prose(text):
    """The text without its code: fenced blocks and inline code spans."""
    return INLINE_CODE.sub("code", FENCE.sub("", text))


def anchors(path):
    """The anchors GitHub gives the file's headings, duplicates numbered."""
    seen = {}
    result = set()
    for heading in HEADING.findall(FENCE.sub("", path.read_text(encoding="utf-8"))):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f"{slug}-{count}")
    return result


def check_links(source):
    faults = []
    for page in pages(source):
        name = page.relative_to(source)
        for target in LINK.findall(prose(page.read_text(encoding="utf-8"))):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue  # a URL, not a file of the repository
            path_part, _, anchor = target.partition("#")
            linked = (page.parent / path_part).resolve() if path_part else page
            if not linked.exists():
                faults.append(f"{name}: '{target}' leads to no file")
            elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
                faults.append(f"{name}: '{target}' names no heading of {linked.name}")
    lines = (source / "README.md").read_text(encoding="utf-8").count("\n")
    if lines > README_LINE_LIMIT:
        faults.append(f"README.md has {lines} lines, more than a front page's {README_LINE_LIMIT}")
    return faults


def help_entries(program, command=None):
    """The options and commands that a --help prints: ([option], [command])."""
    arguments = [program] + ([command] if command else []) + ["--help"]
    text = subprocess.run(arguments, capture_output=True, text=True, check=True).stdout
    options, commands, section = [], [], None
    for line in text.splitlines():
        if re.match(r"^\S.*:$", line):
            section = line[:-1]
        elif line.startswith("  ") and not line.startswith("   "):
            first = line.split()[0]
            if section == "Options":
                options += first.split(",")
            elif section == "Subcommands":
                commands.append(first)
    return options, commands


def named(text, word):
    return re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", text) is not None


def check_help(source, programs):
    text = "\n".join(page.read_text(encoding="utf-8") for page in (source / "docs").glob("*.md"))
    faults = []
    for program in programs:
        name = pathlib.Path(program).name
        options, commands = help_entries(program)
        for command in commands:
            if not named(text, f"{name} {command}"):
                faults.append(f"docs/ never names '{name} {command}'")
            command_options, _ = help_entries(program, command)
            options += command_options
        for option in sorted(set(options)):
            if not named(text, option):
                faults.append(f"docs/ never names {name}'s option {option}")
    return faults


def check_example(source):
    example = (source / "verify/example/verify_installer.c").read_text(encoding="utf-8")
    trust = (source / "docs/trust.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```c\n(.*?)^```$", trust, re.M | re.S)
    if example not in blocks:
        return ["docs/trust.md does not show verify/example/verify_installer.c as it is"]
    return []


def main(argv):
    mode, source = argv[1], pathlib.Path(argv[2]).resolve()
    if mode == "links":
        faults = check_links(source)
    elif mode == "help":
        faults = check_help(source, argv[3:])
    elif mode == "example":
        faults = check_example(source)
    else:
        sys.exit(f"check_docs.py: unknown check '{mode}'")
    for fault in faults:
        print(f"FAIL: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
