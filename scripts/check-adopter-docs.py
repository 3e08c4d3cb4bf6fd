#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Reads an unpacked release zip as an adopter does, who has the zip and nothing else:
#  - every relative link of every .md file resolves inside the zip, anchors included;
#  - README.md is the zip's own: every zip path it names in backticks exists, and it names
#    nothing of the source tree (scripts/, build/, docs/);
#  - every CMake target named anywhere in the zip (Tarnvel::...) is one the package defines;
#  - with --extract DIR, README's C and C++ hosts are written to DIR/readme_host.c and .cpp
#    for the caller to build.
# Prints one line per fault and exits with 1 when there was any.
# Usage: scripts/check-adopter-docs.py UNPACKED-ZIP [--extract DIR]
import os
import re
import sys

root = os.path.realpath(sys.argv[1])
extract = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--extract" else None
faults = []


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def outside_fences(text):
    """The lines of a Markdown text that are not inside ``` blocks."""
    inside = False
    for line in text.splitlines():
        if line.lstrip().startswith("```"):
            inside = not inside
            continue
        if not inside:
            yield line


def slug(heading):
    # The anchor a Markdown renderer gives a heading: lower case, punctuation dropped,
    # blanks as hyphens.
    text = re.sub(r"[`*]", "", heading.strip().lower())
    return re.sub(r"\s", "-", re.sub(r"[^\w\s-]", "", text))


def anchors(path):
    return {slug(line.lstrip("#")) for line in outside_fences(read(path)) if line.startswith("#")}


docs = []
for top, _, files in os.walk(root):
    docs += [os.path.join(top, f) for f in files if f.endswith(".md")]

link = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
for doc in sorted(docs):
    where = os.path.relpath(doc, root)
    for line in outside_fences(read(doc)):
        for target in link.findall(line):
            if re.match(r"^[a-z]+:", target):
                continue  # http:, https:, mailto: are not the zip's to keep
            path, _, anchor = target.partition("#")
            resolved = os.path.realpath(os.path.join(os.path.dirname(doc), path)) if path else doc
            if not (resolved == root or resolved.startswith(root + os.sep)) or not os.path.exists(resolved):
                faults.append(f"{where}: dead link {target}")
            elif anchor and (not resolved.endswith(".md") or anchor not in anchors(resolved)):
                faults.append(f"{where}: no heading for {target}")

readme = os.path.join(root, "README.md")
if not os.path.isfile(readme):
    faults.append("README.md missing")
else:
    text = read(readme)
    for line in outside_fences(text):
        for named in re.findall(r"`((?:bin|lib|include|doc|examples)/[^`<>\s]*)`", line):
            if not os.path.exists(os.path.join(root, named)):
                faults.append(f"README.md: names {named}, which the zip lacks")
        for source in re.findall(r"(?<![\w.-])(scripts|build|docs)/", line):
            faults.append(f"README.md: names {source}/ of the source tree")
    blocks = re.findall(r"^```(c|cpp)\n(.*?)^```", text, re.S | re.M)
    kinds = sorted(kind for kind, _ in blocks)
    if kinds != ["c", "cpp"]:
        faults.append(f"README.md: one C and one C++ host expected, found {kinds}")
    elif extract:
        os.makedirs(extract, exist_ok=True)
        for kind, body in blocks:
            with open(os.path.join(extract, "readme_host." + kind), "w", encoding="utf-8") as f:
                f.write(body)

config = os.path.join(root, "lib/cmake/TarnvelBroker/TarnvelBrokerConfig.cmake")
defined = set(re.findall(r"add_(?:library|executable)\((Tarnvel::\w+)", read(config))) if os.path.isfile(config) else set()
for top, _, files in os.walk(root):
    for f in files:
        if not re.search(r"\.(md|txt|cmake|h|c|cpp)$", f):
            continue
        path = os.path.join(top, f)
        for name in sorted(set(re.findall(r"Tarnvel::\w+", read(path))) - defined):
            faults.append(f"{os.path.relpath(path, root)}: CMake target {name}, which the package does not define")

for fault in faults:
    print("check-adopter-docs: " + fault)
if not faults:
    print(f"check-adopter-docs: {len(docs)} documents, every link resolves; README and target names agree with the zip")
sys.exit(1 if faults else 0)
