#!/usr/bin/python3
"""Runs examples/host.js against the real mtc-service.exe under Wine on the simulated MIDI port
(one output) and checks what it printed and what reached the wire: a full frame for its first
report, its seek, its pause and its resume, each carrying offset + the position it reported;
quarter frames while it played and none while it paused; a clean stop and exit code 0. It runs
twice: in the default timing and with MTC_PHASE_LOCK=1.
Also that the recording's times are CLOCK_MONOTONIC_RAW microseconds, as tests/simport/README.md
tells integrators who compare their own moments with the wire's.

Usage: example_check.py <examples/host.js> <folder of mtc-service.exe and winmm.dll>
The Wine prefix comes from the environment (WINEPREFIX, WINEDLLOVERRIDES=winmm=n,b).
"""

import os
import re
import subprocess
import sys
import tempfile
import time

FPS = 25
OFFSET = 3600
QUARTER_SECONDS = 1.0 / (FPS * 4)
PORT_ID = "winmm:33340cd741d8d8a2baeff4c3dbf8b8ffba9d3502fa7f452018a48e6a24c5837d"


def wire_messages(recording):
    """(start in seconds, bytes) of every message that left the simulated port, in order."""
    out = []
    for line in recording.splitlines():
        words = line.split(" ")
        if len(words) < 2 or words[1] != "wire":
            continue
        fields = dict(w.split("=", 1) for w in words[2:] if "=" in w)
        out.append((int(fields["start"]) / 1e6, bytes.fromhex(fields["bytes"])))
    return out


def full_frame_count(message):
    """Frames since midnight that a 25 fps full frame names, or None for any other message."""
    b = message
    if len(b) != 10 or b[:5] != b"\xf0\x7f\x7f\x01\x01" or b[9] != 0xF7:
        return None
    if (b[5] >> 5) & 3 != 1:
        raise AssertionError("full frame not at 25 fps: " + b.hex())
    return (((b[5] & 0x1F) * 60 + b[6]) * 60 + b[7]) * FPS + b[8]


def judge(printed, recording):
    """Returns the list of faults (empty when the run is right)."""
    faults = []
    changes = re.findall(r"^(play|seek|pause|resume) at ([0-9.]+)$", printed, re.M)
    if [c[0] for c in changes] != ["play", "seek", "pause", "resume"]:
        faults.append("changes printed: %s" % changes)
    for expected in ("outputs: Player port (%s)" % PORT_ID, "started on Player port",
                     "\nstopped\n", "service exited with code 0"):
        if expected not in printed:
            faults.append("missing from the output: %r" % expected)
    if "MTC stopped" in printed or "failed:" in printed:
        faults.append("the example reported a failure")
    wanted = [int((OFFSET + float(p)) * FPS + 1e-7) for _, p in changes]
    messages = wire_messages(recording)
    found = []
    previous_quarter_at = None
    for at, message in messages:
        count = full_frame_count(message)
        if count is None:
            if len(message) == 2 and message[0] == 0xF1:
                previous_quarter_at = at
            else:
                faults.append("stray bytes on the wire: " + message.hex())
            continue
        next_wanted = wanted[len(found)] if len(found) < len(wanted) else None
        if next_wanted is not None and abs(count - next_wanted) <= 1:
            found.append(at)
        elif previous_quarter_at is None or at - previous_quarter_at <= QUARTER_SECONDS:
            # Only a service that fell behind may relocate on its own (a late quarter frame).
            faults.append("unexpected full frame at frame %d" % count)
        previous_quarter_at = None
    if len(found) != len(wanted):
        faults.append("full frames for %d of the %d changes" % (len(found), len(wanted)))
    else:
        quarters = [at for at, m in messages if len(m) == 2]
        play, seek, pause, resume = found
        if not any(play < at < pause for at in quarters):
            faults.append("no quarter frames while playing")
        if any(pause + 0.05 < at < resume for at in quarters):
            faults.append("quarter frames while paused")
        if not any(at > resume for at in quarters):
            faults.append("no quarter frames after the resume")
    return faults


def recording_clock_fault(env, recording):
    """Runs the service once more and brackets one list's enumeration, which the recording
    stamps, between the write of the line and the sight of its reply, both read on
    CLOCK_MONOTONIC_RAW. None when the stamp falls inside."""
    raw = lambda: time.clock_gettime(time.CLOCK_MONOTONIC_RAW)

    def ask(child, out, request_id):
        child.stdin.write(b'{"id":%d,"command":"list"}\n' % request_id)
        child.stdin.flush()
        deadline = raw() + 10
        while raw() < deadline:
            out.seek(0)
            if b'{"id":%d,' % request_id in out.read():
                return
            time.sleep(0.0005)

    with open(os.path.join(os.path.dirname(recording), "clock.txt"), "w+b") as out:
        child = subprocess.Popen(["wine", env["MTC_SERVICE"]], env=env, stdin=subprocess.PIPE,
                                 stdout=out, stderr=subprocess.DEVNULL)
        ask(child, out, 1)  # waits out the service's start-up
        before = raw()
        ask(child, out, 2)
        after = raw()
        child.stdin.close()
        child.wait(timeout=10)
    with open(recording) as f:
        stamps = [int(l.split()[0]) / 1e6 for l in f if " midiOutGetNumDevs " in l]
    if len(stamps) != 2 or not before <= stamps[1] <= after:
        return ("the recording's list at %s is not between %.6f and %.6f on CLOCK_MONOTONIC_RAW"
                % (stamps[1:], before, after))
    return None


def run_example(argv, folder, extra_env):
    """Runs the example once on a fresh recording; returns (exit code or None, printed, wire,
    the environment it ran in, the recording's path)."""
    scenario = os.path.join(folder, "scenario.txt")
    recording = os.path.join(folder, "recording.txt")
    with open(scenario, "w") as f:
        f.write('port name="Player port" path="sim#play"\n')
    env = dict(os.environ, MTC_SIMPORT_SCENARIO=scenario, MTC_SIMPORT_LOG=recording,
               MTC_SERVICE=os.path.join(argv[2], "mtc-service.exe"),
               MTC_SERVICE_LAUNCHER="wine", **extra_env)
    # Output to a file, not a pipe, which a wineserver started on the way would inherit.
    with open(os.path.join(folder, "printed.txt"), "w+b") as out:
        child = subprocess.Popen(["node", argv[1]], env=env, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT)
        try:
            code = child.wait(timeout=90)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait(timeout=10)
            code = None
        out.seek(0)
        printed = out.read().decode("utf-8", "replace")
    with open(recording, encoding="utf-8", errors="replace") as f:
        wire = f.read()
    return code, printed, wire, env, recording


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    faults = []
    # Once in the default timing, once with its phase-lock option: the same lines and wire.
    for extra_env, mark in (({}, None), ({"MTC_PHASE_LOCK": "1"}, ", phase lock")):
        with tempfile.TemporaryDirectory() as folder:
            code, printed, wire, env, recording = run_example(argv, folder, extra_env)
            print(printed, end="")
            if code is None:
                print("FAULT the example did not finish within 90 s")
                return 1
            faults += judge(printed, wire)
            if mark is None:
                clock = recording_clock_fault(env, recording)
                faults += [clock] if clock else []
            elif mark not in printed:
                faults.append("the example did not start with phase lock")
        if code != 0:
            faults.append("the example exited with %d" % code)
    for fault in faults:
        print("FAULT " + fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
