#!/usr/bin/python3
"""Measures the figures docs/protocol.md gives a host to size its time-outs and its expectations
by, on the running mtc-service.exe under Wine against the simulated MIDI port (tests/simport/),
and prints them with what each run showed.

    python3 scripts/protocol-figures.py [BUILD] [--play SECONDS] [--only NAME[,NAME...]]

BUILD is a built Windows tree (default build/windows): its bin/ holds mtc-service.exe and the
simulated winmm.dll, its wineprefix/ the Wine prefix (created and started here on first use).
--play is the length of each of the two steady playbacks that count late ticks (default 60 s);
the whole run takes about a minute and a half plus twice that. --only runs the sections named
(see SECTIONS at the end).

The figures belong to the machine they were taken on: run it on a machine that is otherwise
quiet for the service's own costs, or read them as a loaded machine's. Times are taken on
CLOCK_MONOTONIC_RAW, the clock of the simulated port's recording (the performance counter under
Wine), so moments of this host and moments on the wire compare directly.
"""

import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT = 'port name="Player port" path="sim#play"\n'
PORT_ID = "winmm:33340cd741d8d8a2baeff4c3dbf8b8ffba9d3502fa7f452018a48e6a24c5837d"
RATES = (24, 25, 29.97, 30)
NOT_ENABLED = "MTC 输出未启用。"


def now():
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


def quarter_interval(fps):
    return 1001 / 120000 if fps == 29.97 else 1 / (4 * fps)


def start_line(fps=25, offset=0, request_id=None):
    head = '{"id":%d,' % request_id if request_id is not None else "{"
    return head + '"command":"start","outputId":"%s","fps":%s,"offset":%r}' % (PORT_ID, fps,
                                                                                 offset)


def report_line(track, position, playing, locate=False, age=0.0, request_id=None):
    report = {"command": "transport", "trackId": track, "position": position, "playing": playing,
              "sentAtUnixMs": time.time() * 1000 - age * 1000}
    if locate:
        report["locate"] = True
    if request_id is not None:
        report = dict(id=request_id, **report)
    return json.dumps(report, separators=(",", ":"))


class Service:
    """One mtc-service.exe under Wine with pipes on its standard streams, its own scenario,
    recording and control file. Every line it writes is kept with the moment it was read."""

    def __init__(self, build, scenario=PORT):
        self.folder = tempfile.mkdtemp(prefix="mtc-figures-")
        self.log = os.path.join(self.folder, "recording.txt")
        self.control_file = os.path.join(self.folder, "control.txt")
        with open(os.path.join(self.folder, "scenario.txt"), "w") as f:
            f.write(scenario)
        env = dict(os.environ, MTC_SIMPORT_SCENARIO=os.path.join(self.folder, "scenario.txt"),
                   MTC_SIMPORT_LOG=self.log, MTC_SIMPORT_CONTROL=self.control_file)
        self.lines = queue.Queue()
        self.lock = threading.Lock()  # one writer: the reporter thread and the main thread share it
        self.child = subprocess.Popen(["wine", os.path.join(build, "bin", "mtc-service.exe")],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in iter(self.child.stdout.readline, b""):
            self.lines.put((now(), raw.decode("utf-8", "replace").rstrip("\n")))
        self.lines.put((now(), None))

    def write(self, data):
        with self.lock:
            at = now()
            self.child.stdin.write(data)
            self.child.stdin.flush()
        return at

    def send(self, line):
        return self.write(line.encode("utf-8") + b"\n")

    def read(self, timeout=5.0):
        """(moment, line) of the next line; the line is None at the end of output or on time-out."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return now(), None

    def request(self, line, timeout=5.0):
        """Seconds from the write to the answer, and the answer."""
        sent = self.send(line)
        at, answer = self.read(timeout)
        return at - sent, answer

    def close_input(self):
        at = now()
        self.child.stdin.close()
        return at

    def wait(self, timeout=10.0):
        """The exit code and the moment the process was seen gone."""
        code = self.child.wait(timeout)
        return code, now()

    def control(self, line):
        """Applies a simulated-port line (a fault) and waits, at most 2 s, until it took effect."""
        applied = len(self.entries("apply"))
        with open(self.control_file, "a") as f:
            f.write(line + "\n")
        deadline = now() + 2.0
        while len(self.entries("apply")) == applied and now() < deadline:
            time.sleep(0.002)

    def recording(self):
        entries = []
        with open(self.log, encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines():
                words = line.split(" ")
                if len(words) >= 2 and words[0].isdigit():
                    fields = dict(w.split("=", 1) for w in words[2:] if "=" in w)
                    entries.append((int(words[0]) / 1e6, words[1], fields))
        return entries

    def entries(self, event):
        return [e for e in self.recording() if e[1] == event]

    def wire(self):
        """(start, end, bytes) of every message that left the port, in seconds."""
        return [(int(f["start"]) / 1e6, int(f["end"]) / 1e6, bytes.fromhex(f["bytes"]))
                for _, _, f in self.entries("wire")]

    def finish(self):
        try:
            if not self.child.stdin.closed:
                self.child.stdin.close()
            self.child.wait(10)
        except (subprocess.TimeoutExpired, BrokenPipeError):
            self.child.kill()
            self.child.wait(10)
        shutil.rmtree(self.folder, ignore_errors=True)


class Player:
    """A player clock that reports itself every `every` seconds from a thread of its own, and at
    once on every change; remembers the moment of each write."""

    def __init__(self, service, track="A", position=10.0):
        self.service, self.track = service, track
        self.anchor, self.anchor_at, self.playing = position, now(), False
        self.writes = []
        self.running = False

    def position(self):
        return self.anchor + (now() - self.anchor_at if self.playing else 0.0)

    def report(self, locate=False):
        line = report_line(self.track, self.position(), self.playing, locate)
        self.writes.append(self.service.send(line))

    def play(self, position=None):
        self.anchor, self.anchor_at = self.position() if position is None else position, now()
        self.playing = True
        self.report(locate=True)

    def start(self, every=0.02):
        self.running = True

        def tick():
            due = now()
            while self.running:
                due += every
                time.sleep(max(0.0, due - now()))
                try:
                    if self.running:
                        self.report()
                except (BrokenPipeError, ValueError):
                    return  # the service has gone

        self.thread = threading.Thread(target=tick, daemon=True)
        self.thread.start()

    def stop(self):
        self.running = False
        self.thread.join(1.0)


def ms(seconds):
    return "%.1f" % (seconds * 1000)


def spread(values):
    """p50, p90 and max (and min, n) of seconds, in milliseconds."""
    if not values:
        return "no samples"
    v = sorted(values)
    pick = lambda q: v[min(len(v) - 1, int(q * len(v)))]
    return "min %s, p50 %s, p90 %s, max %s ms (n %d)" % (ms(v[0]), ms(pick(0.5)), ms(pick(0.9)),
                                                          ms(v[-1]), len(v))


def full_frame_label(message):
    """The timecode a full frame names, hh:mm:ss:ff (';' before the frames at 29.97)."""
    rate = (message[5] >> 5) & 3
    return "%02d:%02d:%02d%s%02d" % (message[5] & 0x1F, message[6], message[7],
                                     ";" if rate == 2 else ":", message[8])


def is_full(message):
    return len(message) == 10 and message[:5] == b"\xf0\x7f\x7f\x01\x01"


def running(service, fps=25, offset=0):
    answer = service.request(start_line(fps, offset, 1))[1]
    if answer != '{"id":1,"ok":true}':
        raise RuntimeError("start was answered with %r" % answer)


def playing(service, position=None):
    """A player that plays (from `position`, if given) and reports every 20 ms from now on."""
    player = Player(service)
    player.play(position)
    player.start()
    return player


def play_for(service, seconds, position=None):
    """A player that plays for `seconds` and then stops reporting."""
    player = playing(service, position)
    time.sleep(seconds)
    player.stop()
    return player


# ---- the sections ---------------------------------------------------------------------------


def replies(build):
    """Write-to-answer times of each command on an idle machine's simulated port."""
    service = Service(build)
    times = {"list": [], "start": [], "transport with id": [], "stop": []}
    service.request('{"id":0,"command":"list"}')  # the first answer includes Wine's start-up
    for i in range(30):
        times["list"].append(service.request('{"id":1,"command":"list"}')[0])
        times["start"].append(service.request(start_line(25, 0, 2))[0])
        player = play_for(service, 0.1)
        times["transport with id"].append(
            service.request(report_line("A", player.position(), True, request_id=3))[0])
        times["stop"].append(service.request('{"id":4,"command":"stop"}')[0])
    service.finish()
    for name, values in times.items():
        print("  %-28s %s" % (name, spread(values)))


def stops(build):
    """stop when the driver is slow to let go: a full frame stuck on the wire (the reset frees
    it), and a close that blocks for 1.5 s."""
    stuck = []
    for _ in range(5):
        service = Service(build)
        running(service)
        player = play_for(service, 0.2)
        service.control("fault stuck port=0 times=1")
        service.send(report_line("A", player.position(), True, locate=True))
        time.sleep(0.02)
        stuck.append(service.request('{"id":2,"command":"stop"}')[0])
        service.finish()
    print("  stop, a full frame stuck      " + spread(stuck))
    blocked = []
    for _ in range(3):
        service = Service(build, PORT + "fault closeblock port=0 ms=1500\n")
        running(service)
        blocked.append(service.request('{"id":2,"command":"stop"}')[0])
        service.finish()
    print("  stop, close blocks 1500 ms    " + spread(blocked))


def exits(build):
    """From closing standard input to the process's end: idle, and with output running."""
    idle, busy = [], []
    for i in range(10):
        service = Service(build)
        service.request('{"id":1,"command":"list"}')
        if i % 2:
            running(service)
            player = play_for(service, 0.1)
        closed = service.close_input()
        code, gone = service.wait()
        (busy if i % 2 else idle).append(gone - closed)
        if code != 0:
            print("  (exit code %d)" % code)
        service.finish()
    print("  end of input, output off      " + spread(idle))
    print("  end of input, output running  " + spread(busy))


def watchdog(build):
    """From the last report to the watchdog's event."""
    silent = []
    for _ in range(5):
        service = Service(build)
        running(service)
        player = play_for(service, 0.2)
        at, line = service.read(2.0)
        silent.append(at - player.writes[-1])
        service.finish()
    print("  last report to the event      " + spread(silent) + "; " + str(line))


def locate_timeouts(build):
    """A full frame the driver does not complete: once (the stall clears at the reset), and for
    good (the end-of-exclusive byte after the reset sticks too)."""
    for what, fault in (("clears", "fault stuck port=0 times=1"), ("stays", "fault stuck port=0")):
        waited, lines, codes, strays = [], set(), set(), set()
        for _ in range(4):
            service = Service(build, PORT + fault + "\n")
            running(service)
            player = playing(service)
            at, line = service.read(2.0)
            player.stop()
            queued = service.entries("midiOutLongMsg")[0][0]
            waited.append(at - queued)
            lines.add(line)
            time.sleep(0.2)
            if what == "stays":
                codes.add(service.wait()[0])
            strays.update(m.hex().upper() for _, _, m in service.wire() if len(m) == 1)
            service.finish()
        print("  stall %s: full frame queued to the line  %s" % (what, spread(waited)))
        print("    line: %s; on the wire alone: %s%s" % (
            " | ".join(sorted(l or "(none)" for l in lines)), ", ".join(sorted(strays)) or "-",
            "; exit code %s" % ", ".join(map(str, sorted(codes))) if codes else ""))


def first_quarters(build):
    """From a full frame's last byte on the wire to the first byte of the quarter frame after it,
    at every rate, for seeks during playback."""
    for fps in RATES:
        service = Service(build)
        running(service, fps, 0)
        player = playing(service, 10.0)
        for k in range(30):
            time.sleep(0.25)
            player.play(100.0 + 10 * k)  # a seek: a new place, reported at once with locate
        time.sleep(0.25)
        player.stop()
        service.request('{"id":2,"command":"stop"}')
        wire = service.wire()
        gaps = [wire[i + 1][0] - end for i, (_, end, m) in enumerate(wire[:-1])
                if is_full(m) and wire[i + 1][2][0] == 0xF1]
        print("  %5s fps (quarter interval %s ms): %s" % (fps, ms(quarter_interval(fps)),
                                                        spread(gaps)))
        service.finish()


def late_ticks(build, seconds):
    """Steady playback at 25 fps with a report every 20 ms, on the machine as it is and with one
    core kept busy: full frames the service sent on its own, because it woke more than a quarter
    interval late."""
    for busy in (False, True):
        hog = subprocess.Popen(["sh", "-c", "while :; do :; done"]) if busy else None
        service = Service(build)
        running(service)
        player = play_for(service, seconds, 10.0)
        service.request('{"id":2,"command":"stop"}')
        if hog:
            hog.kill()
            hog.wait()
        writes = player.writes
        frames = [s for s, _, m in service.wire() if is_full(m)][1:]
        # A report more than 150 ms after the one before also relocates; those are the host's.
        gaps = [b for a, b in zip(writes, writes[1:]) if b - a > 0.15]
        own = [f for f in frames if not any(0 <= f - g < 0.01 for g in gaps)]
        print("  %s, %d s: %d late-tick full frames (%.1f a minute), %d after report gaps" % (
            "one core busy" if busy else "as it is", seconds, len(own), len(own) * 60 / seconds,
            len(frames) - len(own)))
        if len(own) > 1:
            print("    between them: " + spread([b - a for a, b in zip(own, own[1:])]))
        service.finish()


def bursts(build):
    """Many lines in one write, with 1, 8 and 32 ports to list: 64 are always taken; beyond that
    it depends on how fast the main thread works through them. Then reports that go on while a
    failure closes a slow port."""
    for count, ports in ((64, 32), (300, 1), (300, 8)):
        for _ in range(2):
            service = Service(build, 'port count=%d name="Port {n}" path="sim#{n}"\n' % ports)
            service.request('{"id":0,"command":"list"}')
            service.write(b"".join(b'{"id":%d,"command":"list"}\n' % (i + 1)
                                   for i in range(count)))
            answers, last = 0, None
            while answers < count:
                _, line = service.read(5.0)
                if line is None or line.startswith('{"event"'):
                    last = line
                    break
                answers += 1
            code = service.wait()[0] if last is not None else None
            print("  %d list lines in one write, %d ports: %d answered%s" % (
                count, ports, answers, ", then %s, exit code %s" % (last, code) if last else ""))
            service.finish()
    # Lines also wait while a failure closes the port: reports keep coming until the host is
    # told, and stop (as a host's should) at the first event.
    for block in (0, 1000, 1500):
        service = Service(build, PORT + "fault closeblock port=0 ms=%d\n" % block)
        running(service)
        player = playing(service)
        time.sleep(0.3)
        service.control("fault short port=0 times=1")  # the next quarter frame is refused
        lines = [service.read(block / 1000 + 2.0)[1]]
        player.stop()
        while lines[-1] is not None:
            lines.append(service.read(0.5)[1])
        lines.pop()
        code = service.child.poll()
        print("  reports every 20 ms through a failure whose close blocks %d ms: %s, then %d "
              "echoes %s%s" % (block, lines[0], lines.count(
                  '{"event":"error","error":"%s"}' % NOT_ENABLED), NOT_ENABLED,
                  ", exit code %d after %s" % (code, lines[-1]) if code is not None else ""))
        service.finish()


def stale_report(build):
    """One report whose position was read 200 ms before it reached the service."""
    service = Service(build)
    running(service)
    player = playing(service, 10.0)
    time.sleep(0.5)
    held = player.position() - 0.2
    late = service.send(report_line("A", held, True, age=0.2))
    time.sleep(0.5)
    player.stop()
    service.request('{"id":2,"command":"stop"}')
    frames = [(s, full_frame_label(m)) for s, _, m in service.wire() if is_full(m)]
    after = [f for f in frames if f[0] > late]
    print("  report of position %.3f, 200 ms old: %d full frames after it: %s" % (
        held, len(after), ", ".join("%s at +%s ms" % (label, ms(s - late)) for s, label in after)))
    service.finish()


def labels(build):
    """The full frame a paused report gives: offsets at 29.97 drop-frame and the 24-hour wrap."""
    service = Service(build)
    for fps, offset, position in ((29.97, 3900, 0), (29.97, 117000884 / 30000, 0),
                                  (25, 0, 604800), (25, 3600, 82800.5), (29.97, 0, 86399.9136)):
        running(service, fps, offset)
        service.send(report_line("A", position, False))
        time.sleep(0.05)
        service.request('{"id":2,"command":"stop"}')
        frames = [m for _, _, m in service.wire() if is_full(m)]
        print("  %s fps, offset %r, position %r: %s" % (fps, offset, position,
                                                       full_frame_label(frames[-1])))
    service.finish()


HOST_KILLED = r"""
import subprocess, sys, time, json
child = subprocess.Popen(["sh", "-c", 'wine "$0" >/dev/null 2>&1; echo $? >"$1"', sys.argv[1],
                          sys.argv[2]], stdin=subprocess.PIPE)
child.stdin.write(sys.argv[3].encode() + b"\n")
while True:
    report = {"command": "transport", "trackId": "A", "position": 10 + time.monotonic() % 1,
              "playing": False, "sentAtUnixMs": time.time() * 1000}
    child.stdin.write(json.dumps(report).encode() + b"\n")
    child.stdin.flush()
    time.sleep(0.02)
"""


def process(build):
    """The host killed while output runs; a copy of the pipe held by another child; a last line
    without a line feed."""
    for _ in range(3):
        folder = tempfile.mkdtemp(prefix="mtc-figures-")
        code_file, log = os.path.join(folder, "code"), os.path.join(folder, "recording.txt")
        with open(os.path.join(folder, "scenario.txt"), "w") as f:
            f.write(PORT)
        env = dict(os.environ, MTC_SIMPORT_SCENARIO=os.path.join(folder, "scenario.txt"),
                   MTC_SIMPORT_LOG=log)
        host = subprocess.Popen([sys.executable, "-c", HOST_KILLED,
                                 os.path.join(build, "bin", "mtc-service.exe"), code_file,
                                 start_line()], env=env)
        time.sleep(1.0)
        killed = now()
        host.send_signal(signal.SIGKILL)
        host.wait()
        deadline = now() + 10
        while not os.path.exists(code_file) and now() < deadline:
            time.sleep(0.01)
        time.sleep(0.05)
        with open(log) as f:
            closes = [int(l.split()[0]) / 1e6 for l in f if " midiOutClose " in l]
        with open(code_file) as f:
            code = f.read().strip()
        print("  host killed while output ran: port closed %s ms later, exit code %s" % (
            ms(closes[-1] - killed) if closes else "never", code))
        shutil.rmtree(folder, ignore_errors=True)

    service = Service(build)
    service.request('{"id":1,"command":"list"}')
    other = subprocess.Popen(["sleep", "1.5"], pass_fds=[service.child.stdin.fileno()])
    closed = service.close_input()
    code, gone = service.wait()
    other.wait()
    print("  input closed while another child holds a copy of it (for 1.5 s): exit %d after %s ms"
          % (code, ms(gone - closed)))
    service.finish()

    service = Service(build)
    service.request('{"id":1,"command":"list"}')
    service.write(b'{"id":2,"command":"list"}')
    time.sleep(0.2)
    service.close_input()
    code, _ = service.wait()
    _, line = service.read(1.0)
    print("  a last line without a line feed, then end of input: answered %s, exit %d"
          % (line or "nothing", code))
    service.finish()


SECTIONS = [("replies", replies), ("stops", stops), ("exits", exits), ("watchdog", watchdog),
            ("timeouts", locate_timeouts), ("quarters", first_quarters),
            ("ticks", late_ticks), ("bursts", bursts), ("stale", stale_report),
            ("labels", labels), ("process", process)]


def main(argv):
    args = argv[1:]
    build, seconds, only = os.path.join(ROOT, "build", "windows"), 60.0, None
    while args:
        arg = args.pop(0)
        if arg == "--play" and args:
            seconds = float(args.pop(0))
        elif arg == "--only" and args:
            only = args.pop(0).split(",")
        elif not arg.startswith("-"):
            build = os.path.abspath(arg)
        else:
            print(__doc__)
            return 2
    if not os.path.isfile(os.path.join(build, "bin", "mtc-service.exe")):
        print("no %s; build first (cmake --preset windows && cmake --build --preset windows)"
              % os.path.join(build, "bin", "mtc-service.exe"))
        return 2
    os.environ.update(WINEPREFIX=os.path.join(build, "wineprefix"), WINEDEBUG="-all",
                      WINEDLLOVERRIDES="winmm=n,b")
    subprocess.run(["sh", os.path.join(ROOT, "cmake", "wine-up.sh")], check=True)
    print("mtc-service.exe under Wine on the simulated port; %s; load average %s" % (
        time.strftime("%Y-%m-%d %H:%M"), " ".join("%.2f" % l for l in os.getloadavg())))
    for name, section in SECTIONS:
        if only and name not in only:
            continue
        print("== %s: %s" % (name, " ".join(section.__doc__.split())))
        if section is late_ticks:
            section(build, seconds)
        else:
            section(build)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
