#!/usr/bin/python3
"""Checks the JSON Schemas in docs/schema/ against what the running service really did.

The end-to-end and reliability tests leave one transcript per service child in a folder (the
host harness does so when MTC_TRANSCRIPT_DIR is set): <name>.args, <name>.in (every byte sent to
the child's standard input) and <name>.out (every byte it wrote to standard output). This check

  * validates every output line against the output schemas of the child's mode, and requires
    exactly one of them to match (the shapes are disjoint);
  * pairs each request that carries a valid id with its reply (the service answers such
    requests strictly in order), and the requests without id between two replies with the
    error events between them (see judge_window), and requires the command schema to accept
    every request the service accepted, and to refuse every request the service refused for
    its content;
  * requires the schemas to refuse every line the service refuses whatever its state (an
    invalid id, a nested value, too many members), and counts the refusals no schema can
    express (duplicate members, lone surrogate escapes, numbers beyond a double, number
    tokens longer than 64 characters, track ids over 2048 bytes but not characters);
  * runs mtc-service --version and --self-test and machine-id (well and wrongly called) when
    given the programs' folder, and validates their lines.

An empty transcript folder fails: a check that saw nothing has proved nothing.

Usage: schema_check.py <schema folder> <transcript folder> [<bin folder>]
Needs Debian's python3-jsonschema (draft 2020-12); run it with /usr/bin/python3.
"""

import json
import math
import os
import subprocess
import sys
import tempfile

import jsonschema

MAX_LINE_BYTES = 16384
MAX_ID = 9007199254740991
MAX_NUMBER_TOKEN = 64

# Refusals that depend on the content of the line alone: the command schema must say the same.
CONTENT_REFUSALS = {
    "MIDI 命令格式错误。",
    "未知 MIDI 命令。",
    "无效的时间码帧率或起始时间。",
    "播放器时间码位置无效，MTC 输出已关闭。",
    "时间码输出暂支持 1× 正向播放；速度改变后已关闭输出。",
}

MALFORMED = "MIDI 命令格式错误。"
# Messages only a command can cause, never a step of the running output.
COMMAND_ONLY = CONTENT_REFUSALS | {
    "MTC 输出未启用。",
    "播放器时钟消息已过期，MTC 输出已关闭。请重新启用。",
    "所选 MIDI 输出已断开，请刷新并重新选择 USB MIDI 接口。",
}

SERVICE_LINES = ["reply-ok.json", "reply-list.json", "reply-failed.json", "event-error.json"]
MODE_LINES = {
    (): SERVICE_LINES,
    ("--version",): ["version.json"],
    ("--self-test",): ["selftest-passed.json", "selftest-failed.json"],
}


class Schemas:
    def __init__(self, folder):
        self.by_file = {}
        store = {}
        for name in sorted(os.listdir(folder)):
            if name.endswith(".json"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    schema = json.load(f)
                jsonschema.Draft202012Validator.check_schema(schema)
                self.by_file[name] = schema
                store[schema["$id"]] = schema
        self.validators = {}
        for name, schema in self.by_file.items():
            resolver = jsonschema.RefResolver(schema["$id"], schema, store=store)
            self.validators[name] = jsonschema.Draft202012Validator(schema, resolver=resolver)

    def valid(self, name, instance):
        return self.validators[name].is_valid(instance)


def strict_parse(text):
    """Reads `text` as the service's reader does. Returns (object, None) or (None, reason).

    The reasons "not JSON" and "not an object" are refusals before any schema applies; the
    others name refusals a schema cannot express, because they concern the spelling of the
    line, not the value it stands for.
    """
    tokens = []

    def number(token):
        tokens.append(token)
        return float(token)

    def pairs(items):
        keys = [k for k, _ in items]
        if len(set(keys)) != len(keys):
            raise DuplicateMember()
        return dict(items)

    try:
        value = json.loads(text, object_pairs_hook=pairs, parse_float=number, parse_int=number,
                           parse_constant=lambda c: (_ for _ in ()).throw(ValueError(c)))
    except DuplicateMember:
        return None, "duplicate member"
    except ValueError:
        return None, "not JSON"
    if not isinstance(value, dict):
        return None, "not an object"
    if any(len(t) > MAX_NUMBER_TOKEN for t in tokens):
        return None, "number token over 64 characters"
    for v in value.values():
        if isinstance(v, float) and not math.isfinite(v):
            return None, "number beyond a double"
    for piece in list(value.keys()) + [v for v in value.values() if isinstance(v, str)]:
        if any(0xD800 <= ord(c) <= 0xDFFF for c in piece):
            return None, "lone surrogate escape"
    return value, None


class DuplicateMember(Exception):
    pass


def as_schema_instance(text):
    """The same line read with exact integers, as a schema validator sees it."""
    return json.loads(text)


def service_request_id(members):
    """The id the service answers with, None without an "id", False for an invalid one.
    `members` holds every number as a double, as the service reads it."""
    if "id" not in members:
        return None
    v = members["id"]
    if isinstance(v, bool) or not isinstance(v, float):
        return False
    if not (0.0 <= v <= float(MAX_ID)) or math.floor(v) != v:
        return False
    return int(v)


def input_lines(data):
    """Complete lines the service's reader queues, up to an over-long one (which ends it)."""
    lines = data.split(b"\n")[:-1]  # the unfinished tail is dropped
    out = []
    for line in lines:
        if len(line) > MAX_LINE_BYTES:
            break
        out.append(line)
    return out


class Findings:
    def __init__(self):
        self.faults = []
        self.counts = {}
        self.distinct = set()
        self.inexpressible = {}

    def count(self, what, n=1):
        self.counts[what] = self.counts.get(what, 0) + n

    def fault(self, where, what):
        self.faults.append("%s: %s" % (where, what))


def check_output(schemas, name, args, data, findings):
    """Validates every output line; returns them parsed, in order (None for an unreadable one)."""
    allowed = MODE_LINES.get(tuple(args))
    if allowed is None:
        if data:
            findings.fault(name, "a bad command line must write nothing, got %r" % data[:80])
        return []
    if data and not data.endswith(b"\n"):
        findings.fault(name, "output ends inside a line: %r" % data[-80:])
    lines = []
    for raw in data.split(b"\n")[:-1]:
        findings.count("output lines")
        findings.distinct.add(raw)
        try:
            text = raw.decode("utf-8")
            line = as_schema_instance(text)
        except ValueError:
            findings.fault(name, "output line is not UTF-8 JSON: %r" % raw[:120])
            lines.append(None)
            continue
        matched = [s for s in allowed if schemas.valid(s, line)]
        if len(matched) == 1:
            findings.count("output lines matching " + matched[0])
        else:
            findings.fault(name, "output line matches %s of %s: %s" % (matched or "none", allowed,
                                                                        text[:200]))
        lines.append(line)
    return lines


class Request:
    """One non-empty input line as the service's reader sees it."""

    def __init__(self, raw):
        self.raw = raw
        # The service reads bytes: Latin-1 maps each byte to one character, so the reader's
        # model sees exactly the bytes (escapes alone can make surrogates).
        self.members, self.reason = strict_parse(raw.decode("latin-1"))
        self.request_id = None
        # Nested values and more than 32 members fail while the line is read, before its id.
        self.refused = self.members is None
        if self.members is not None:
            self.request_id = service_request_id(self.members)
            self.refused = self.request_id is False or len(self.members) > 32 or any(
                isinstance(v, (list, dict)) for v in self.members.values())
        self.answered = not self.refused and self.request_id is not None
        try:
            self.text = raw.decode("utf-8")
        except UnicodeDecodeError:
            self.text = None  # carried through by the service; a validator needs text


def judge(schemas, name, request, error, findings, how):
    """Holds the schemas to the service's verdict on one request: `error` None for accepted,
    else the refusal's message. `how` names how the verdict was learnt, for the counts."""
    if request.text is None:
        findings.count("requests not UTF-8 (not judged)")
        return
    instance = as_schema_instance(request.text)
    accepted_by_schema = schemas.valid("command.json", instance)
    if error is None:
        findings.count("accepted requests checked (%s)" % how)
        command = request.members.get("command")
        if command not in ("list", "start", "transport", "stop"):
            findings.fault(name, "accepted an unknown command: " + request.text[:200])
        elif not schemas.valid("command-%s.json" % command, instance) or not accepted_by_schema:
            findings.fault(name, "schema refuses a request the service accepted: "
                           + request.text[:200])
        return
    if error not in CONTENT_REFUSALS:
        findings.count("refused for the service's state or clock (not a schema matter)")
        return
    track = request.members.get("trackId")
    if isinstance(track, str) and len(track.encode("utf-8")) > 2048 >= len(track):
        findings.inexpressible["track id over 2048 bytes"] = \
            findings.inexpressible.get("track id over 2048 bytes", 0) + 1
        return
    findings.count("content refusals checked (%s)" % how)
    if accepted_by_schema:
        findings.fault(name, "schema accepts a request the service refused with %s: %s"
                       % (error, request.text[:200]))


def judge_window(schemas, name, requests, events, findings):
    """The requests between two answered ones, and the error events between their replies.

    Each such request was handled (a later one was answered) and wrote one error event if it
    failed, nothing if it succeeded. When every event carries a message only a command can
    cause (no step of the running output wrote one), the events belong to these requests in
    order, and the count tells which of the requests without id failed: none, or all."""
    unknown = [r for r in requests if not r.refused]
    if not unknown:
        return
    if any(e is None or e.get("error") not in COMMAND_ONLY for e in events):
        findings.count("requests without id (outcome not paired)", len(unknown))
        return
    failed = len(events) - (len(requests) - len(unknown))
    if failed == 0:
        for request in unknown:
            judge(schemas, name, request, None, findings, "without id, by silence")
        return
    if failed != len(unknown):
        findings.count("requests without id (outcome not paired)", len(unknown))
        return
    for request, event in zip(requests, events):
        if request.refused and event.get("error") != MALFORMED:
            findings.count("requests without id (outcome not paired)", len(unknown))
            return
    for request, event in zip(requests, events):
        if not request.refused:
            judge(schemas, name, request, event["error"], findings, "without id, by event")


def check_requests(schemas, name, data, outputs, findings):
    requests = [Request(raw) for raw in input_lines(data) if raw]
    findings.count("requests", len(requests))
    for request in requests:
        if request.members is None:
            if request.reason in ("not JSON", "not an object"):
                findings.count("refused before any schema (not a JSON object)")
            else:
                findings.inexpressible[request.reason] = \
                    findings.inexpressible.get(request.reason, 0) + 1
        elif request.refused:
            findings.count("refused as not flat, too many members or an invalid id")
            if request.text is not None and \
                    schemas.valid("command.json", as_schema_instance(request.text)):
                findings.fault(name, "schema accepts a line the service always refuses: "
                               + request.text[:200])
    # Replies come in the order of the answered requests; what lies between two replies was
    # written for the requests between them (or by the running output).
    reply_at = [i for i, line in enumerate(outputs) if isinstance(line, dict) and "id" in line]
    window, previous_output = [], -1
    for request in requests:
        if not request.answered:
            window.append(request)
            continue
        if not reply_at:
            findings.count("requests with id left unanswered (input ended or overflowed)")
            window = []
            continue
        at = reply_at.pop(0)
        reply = outputs[at]
        if reply.get("id") != request.request_id:
            findings.fault(name, "reply %s where the reply to id %d was due: pairing lost at "
                           "%r" % (json.dumps(reply, ensure_ascii=False)[:120], request.request_id,
                                   request.raw[:200]))
            return
        judge_window(schemas, name, window, outputs[previous_output + 1:at], findings)
        judge(schemas, name, request, None if reply.get("ok") is True else reply.get("error"),
              findings, "by reply")
        window, previous_output = [], at
    # After the last reply, lines may have been dropped unanswered at the end of input.
    findings.count("requests without id (outcome not paired)",
                   len([r for r in window if not r.refused]))


def check_folder(schemas, folder, findings):
    names = sorted(n[:-4] for n in os.listdir(folder) if n.endswith(".out")) \
        if os.path.isdir(folder) else []
    for name in names:
        base = os.path.join(folder, name)

        def read(suffix):
            try:
                with open(base + suffix, "rb") as f:
                    return f.read()
            except FileNotFoundError:
                return b""
        args = [a for a in read(".args").decode("utf-8").split("\n") if a]
        findings.count("transcripts")
        outputs = check_output(schemas, name, args, read(".out"), findings)
        if not args:
            check_requests(schemas, name, read(".in"), outputs, findings)
    return len(names)


def run_programs(schemas, bin_folder, findings):
    """The lines of the modes no harness test starts, from the real programs."""
    runs = [
        (["mtc-service.exe", "--version"], ["version.json"], {0}),
        (["mtc-service.exe", "--self-test"], ["selftest-passed.json"], {0}),
        (["machine-id.exe"], ["machine-id-guid.json", "machine-id-error.json"], {0, 1}),
        (["machine-id.exe", "--no-such-switch"], ["machine-id-error.json"], {1}),
    ]
    for command, allowed, codes in runs:
        where = " ".join(command)
        # Output to a file, not a pipe: a wineserver started by this wine would inherit a pipe
        # and hold it open long after the program has ended.
        with tempfile.TemporaryFile() as out:
            child = subprocess.Popen(["wine", os.path.join(bin_folder, command[0])] + command[1:],
                                     stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.DEVNULL)
            try:
                code = child.wait(timeout=120)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait(timeout=10)
                findings.fault(where, "did not finish within 120 s")
                continue
            out.seek(0)
            written = out.read()
        if code not in codes:
            findings.fault(where, "exit code %d" % code)
        lines = written.split(b"\n")
        if len(lines) != 2 or lines[1] != b"":
            findings.fault(where, "expected one line, got %r" % written[:200])
            continue
        findings.count("program lines")
        findings.count("output lines")
        findings.distinct.add(lines[0])
        line = json.loads(lines[0].decode("utf-8"))
        matched = [s for s in allowed if schemas.valid(s, line)]
        if len(matched) == 1:
            findings.count("output lines matching " + matched[0])
        else:
            findings.fault(where, "line matches none of %s: %r" % (allowed, lines[0]))


def report(findings):
    for what in sorted(findings.counts):
        print("  %-70s %d" % (what, findings.counts[what]))
    print("  distinct output lines %d" % len(findings.distinct))
    for what in sorted(findings.inexpressible):
        print("  refused by the service, not expressible in a schema: %-24s %d"
              % (what, findings.inexpressible[what]))
    for fault in findings.faults:
        print("FAULT " + fault)


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__)
        return 2
    schemas = Schemas(argv[1])
    findings = Findings()
    if check_folder(schemas, argv[2], findings) == 0:
        findings.fault(argv[2], "no transcripts: run the end-to-end tests first (ctest adds them)")
    if len(argv) == 4:
        run_programs(schemas, argv[3], findings)
    report(findings)
    return 1 if findings.faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
