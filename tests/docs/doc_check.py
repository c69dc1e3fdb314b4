#!/usr/bin/python3
"""Keeps docs/protocol.md complete: every user-facing text the programs can write must appear in
it, verbatim. The texts are taken from the sources, not from a list, so a new message without
documentation fails this check:

  * every string literal holding Chinese text in the product folders (adjacent literals joined,
    C escapes decoded), and every literal that is a whole JSON line (the self test's literals
    are its test data, so there only its messages count);
  * the command-line switches ("--...") of both programs;
  * machine-id's error words (the bare lower-case words in machineid/) and the fixed start of
    each of its line templates (up to the first printf conversion);
  * the self test's check messages (the text of each require(...), failedLine(...) and
    runtime_error(...) in selftest/) and its scope constant;
  * a link to every schema file in docs/schema/.

Every path of the tree that the document names in a code span (`scripts/x.py`, `tests/docs/`)
must exist, so that each command it gives for a figure can be run, and every link to a section
(`](#name)`) must lead to one of its headings.

Every Chinese text must also be a message the schemas allow (docs/schema/common.json) or be
listed in the document as a text the host never sees.

Product folders are every top-level folder with C++ sources except the test and tool side.

Usage: doc_check.py <repository root> [<document>]
"""

import json
import os
import re
import sys

NOT_PRODUCT = {"tests", "tools", "fuzz", "bench", "build", "check", "docs", "examples",
               "scripts", "cmake", ".git", ".ci"}
SOURCE_SUFFIXES = (".cpp", ".h", ".hpp", ".cc")

# A C++ string literal with its optional encoding prefix, or a comment; raw strings too.
TOKEN = re.compile(r'''
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>(?:u8|u|U|L)?R"(?P<delim>[^(\s]{0,16})\((?P<rawbody>.*?)\)(?P=delim)")
  | (?P<string>(?:u8|u|U|L)?"(?P<body>(?:[^"\\\n]|\\.)*)")
  | (?P<char>'(?:[^'\\\n]|\\.)*')
''', re.S | re.X)

CJK = re.compile("[\u3000-\u303f\u3400-\u9fff\uff00-\uffef]")


def unescape(body):
    """The bytes a C++ literal body stands for, as text (the sources are UTF-8)."""
    out = bytearray()
    i = 0
    raw = body.encode("utf-8")
    simple = {ord("n"): 10, ord("t"): 9, ord("r"): 13, ord("0"): 0, ord("\\"): 92,
              ord('"'): 34, ord("'"): 39, ord("?"): 63}
    while i < len(raw):
        if raw[i] != 0x5C:
            out.append(raw[i])
            i += 1
            continue
        code = raw[i + 1]
        if code == ord("x"):
            j = i + 2
            while j < len(raw) and chr(raw[j]) in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(raw[i + 2:j], 16) & 0xFF)
            i = j
        else:
            out.append(simple.get(code, code))
            i += 2
    return out.decode("utf-8", "replace")


def literals(text):
    """The string literals of a C++ source, adjacent ones joined, comments skipped."""
    found = []
    last_end = None
    for match in TOKEN.finditer(text):
        if match.group("comment") or match.group("char"):
            last_end = None if match.group("char") else last_end
            continue
        value = match.group("rawbody") if match.group("raw") else unescape(match.group("body"))
        between = text[last_end:match.start()] if last_end is not None else None
        if between is not None and between.strip() == "" and found:
            found[-1] = (found[-1][0] + value, found[-1][1])
        else:
            found.append((value, match.start()))
        last_end = match.end()
    return found


def strip_comments(text):
    return TOKEN.sub(lambda m: " " if m.group("comment") else m.group(0), text)


def product_sources(root):
    for folder in sorted(os.listdir(root)):
        path = os.path.join(root, folder)
        if folder in NOT_PRODUCT or folder.startswith(".") or not os.path.isdir(path):
            continue
        for base, _, files in sorted(os.walk(path)):
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield folder, os.path.join(base, name)


def required_texts(root):
    """(text, where) pairs that the document must contain."""
    required = []
    for folder, path in product_sources(root):
        with open(path, encoding="utf-8") as f:
            source = f.read()
        where = os.path.relpath(path, root)
        code = strip_comments(source)
        for value, _ in literals(source):
            line = value.rstrip("\n")
            if folder == "selftest":
                continue  # its literals are mostly test data; its messages are taken below
            if CJK.search(value) or (line.startswith("{") and line.endswith("}")
                                      and "%" not in line):
                required.append((line, where))
            elif value.startswith("--") and len(value) > 2:
                required.append((value, where))
            elif folder == "machineid" and re.fullmatch(r"[a-z]+(_[a-z]+)*", value):
                required.append((value, where))
            elif folder == "machineid" and value.startswith("{") and "%" in value:
                required.append((value[:value.index("%")], where))
        if folder == "selftest":
            # The message is the last argument of require(condition, message); the failed
            # line and thrown errors take it as their only one.
            literal = r'("(?:[^"\\]|\\.)*")'
            calls = list(re.finditer(r'\brequire\s*\((?:[^;"]|"(?:[^"\\]|\\.)*")*,\s*'
                                     + literal + r'\s*\)\s*;', code, re.S))
            calls += re.finditer(r'\b(?:failedLine|runtime_error)\s*\(\s*' + literal + r'\s*\)',
                                 code)
            for call in calls:
                required.append((unescape(call.group(1)[1:-1]), where))
            for constant in re.finditer(r'const\s+char\s+kScope\[\]\s*=\s*("(?:[^"\\]|\\.)*")',
                                        code):
                required.append((unescape(constant.group(1)[1:-1]), where))
    return required


def schema_messages(root):
    """The texts docs/schema/common.json lets the service write as a message: its fixed texts and
    the beginnings of its WinMM-wrapped ones."""
    with open(os.path.join(root, "docs", "schema", "common.json"), encoding="utf-8") as f:
        message = json.load(f)["$defs"]["message"]
    texts = set()
    for branch in message["anyOf"]:
        texts.update(branch.get("enum", []))
        if "pattern" in branch:
            alternatives = re.match(r"\^\((.*)\) ", branch["pattern"]).group(1)
            texts.update(alternatives.split("|"))
    return texts


def never_shown(document):
    """The texts the document lists as never reaching the host."""
    section = document.split("### Texts the host never sees", 1)
    if len(section) < 2:
        return set()
    table = section[1].split("\n## ", 1)[0]
    return set(re.findall(r"^\| `([^`]+)`", table, re.M))


def unlisted_messages(root, document):
    """Chinese texts of the sources that the message schema does not allow and the document
    does not list as never shown: a message the schema check would refuse once it is seen."""
    allowed = schema_messages(root) | never_shown(document)
    missing = []
    for text, where in required_texts(root):
        if not CJK.search(text):
            continue
        if text.startswith("{"):
            text = json.loads(text).get("error", text)
        if text not in allowed:
            missing.append((text, where))
    return missing


def missing_paths(root, document):
    """Paths under the tree's top-level folders (the build folder aside) that the document's code
    spans name and that do not exist."""
    tops = {name for name in os.listdir(root) if os.path.isdir(os.path.join(root, name))
            and name != "build" and not name.startswith(".")}
    missing = []
    for span in re.findall(r"`([^`\n]+)`", document):
        for word in span.split():
            word = word.rstrip(".,;:)")
            if ("/" in word and word.split("/", 1)[0] in tops
                    and not os.path.exists(os.path.join(root, word))):
                missing.append(word)
    return missing


def broken_links(document):
    """Section links of the document that match none of its headings, by the anchors GitHub
    makes of them (lower case, punctuation dropped, spaces as hyphens)."""
    anchors = {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
               for heading in re.findall(r"^#+ (.*)$", document, re.M)}
    return [link for link in re.findall(r"\]\(#([^)]+)\)", document) if link not in anchors]


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__)
        return 2
    root = argv[1]
    document = argv[2] if len(argv) == 3 else os.path.join(root, "docs", "protocol.md")
    with open(document, encoding="utf-8") as f:
        text = f.read()
    required = required_texts(root)
    # Every schema is linked from the document, so each message shape leads to its schema.
    schema_folder = os.path.join(root, "docs", "schema")
    if os.path.isdir(schema_folder):
        required += [("(schema/%s)" % name, "docs/schema")
                     for name in sorted(os.listdir(schema_folder)) if name.endswith(".json")]
    missing = [(t, w) for t, w in required if t not in text]
    print("%d texts from the sources, %d distinct, %d missing from %s"
          % (len(required), len(set(t for t, _ in required)), len(missing), document))
    for t, w in missing:
        print("MISSING %s: %r" % (w, t))
    if not required:
        print("FAULT no texts found in the sources: the extraction is broken")
        return 1
    unlisted = unlisted_messages(root, text) if os.path.isfile(
        os.path.join(root, "docs", "schema", "common.json")) else []
    for t, w in unlisted:
        print("NOT IN THE MESSAGE SCHEMA %s: %r (docs/schema/common.json, or the document's "
              "texts the host never sees)" % (w, t))
    paths = missing_paths(root, text)
    for path in paths:
        print("NO SUCH PATH %s, named by %s" % (path, document))
    links = broken_links(text)
    for link in links:
        print("NO SUCH SECTION #%s, linked from %s" % (link, document))
    return 1 if missing or unlisted or paths or links else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
