#!/usr/bin/env node
// A minimal media-player host for mtc-service, in plain Node.js (no packages): the shape to
// copy into a player. It starts the service as a child process, lists the MIDI outputs, starts
// MTC on one, reports a simulated player clock every 20 ms (with a seek and a pause), stops,
// and waits for the service to exit. See docs/protocol.md for every line it reads and writes.
//
//   node examples/host.js                  runs mtc-service.exe from the current folder
//   MTC_SERVICE=path\to\mtc-service.exe    another location
//   MTC_SERVICE_LAUNCHER=wine              start it through a launcher (Linux with Wine)
//   MTC_OUTPUT_ID=winmm:...                the output the user chose last time, if still there
//   MTC_PHASE_LOCK=1                       start with "phaseLock": every cycle on the player's
//                                          frame grid (docs/protocol.md, the timing contract)
'use strict';
const { spawn } = require('child_process');

const SERVICE = process.env.MTC_SERVICE || 'mtc-service.exe';
const LAUNCHER = process.env.MTC_SERVICE_LAUNCHER || '';
const REPLY_TIMEOUT_MS = 5000;  // a start opens a port, which a slow driver may take a while to do
const REPORT_EVERY_MS = 20;     // the service gives up after 350 ms without a report
const MAX_LINE_BYTES = 65536;   // no line of the service comes near this; more is a broken pipe
const PHASE_LOCK = process.env.MTC_PHASE_LOCK === '1';

// The service as a child process: requests with ids, replies matched to them, events reported.
class Service {
  constructor(onEvent) {
    const [program, args] = LAUNCHER ? [LAUNCHER, [SERVICE]] : [SERVICE, []];
    this.child = spawn(program, args, { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
    this.pending = new Map();  // id -> { resolve, reject, timer }
    this.nextId = 1;
    this.onEvent = onEvent;
    this.buffered = [];
    this.bufferedBytes = 0;
    this.exited = new Promise((resolve) => this.child.on('exit', (code) => resolve(code)));
    this.child.on('error', (error) => this.fail(`cannot start ${SERVICE}: ${error.message}`));
    this.child.stdin.on('error', () => {});  // a service that has gone shows up in `exited`
    this.child.stdout.on('data', (chunk) => this.read(chunk));
    this.child.stdout.on('end', () => this.fail('the service has ended'));
  }

  // Bounded line reader: keeps at most MAX_LINE_BYTES of an unfinished line.
  read(chunk) {
    let start = 0;
    for (let end = chunk.indexOf(10); end !== -1; end = chunk.indexOf(10, start)) {
      this.buffered.push(chunk.subarray(start, end));
      const line = Buffer.concat(this.buffered).toString('utf8');
      this.buffered = [];
      this.bufferedBytes = 0;
      start = end + 1;
      this.dispatch(line);
    }
    this.buffered.push(chunk.subarray(start));
    this.bufferedBytes += chunk.length - start;
    if (this.bufferedBytes > MAX_LINE_BYTES) {
      this.fail('the service wrote an over-long line');
      this.child.kill();
    }
  }

  dispatch(line) {
    let message;
    try {
      message = JSON.parse(line);
    } catch (error) {
      return this.fail(`unreadable line from the service: ${line.slice(0, 80)}`);
    }
    const waiting = 'id' in message ? this.pending.get(message.id) : undefined;
    if (waiting) {
      this.pending.delete(message.id);
      clearTimeout(waiting.timer);
      if (message.ok) waiting.resolve(message);
      else waiting.reject(new Error(message.error));  // output has been stopped
    } else if (message.event === 'error') {
      this.onEvent(message.error);  // output has been stopped
    }
  }

  // Fails every request still waiting (the service has gone or misbehaved).
  fail(reason) {
    for (const [id, waiting] of this.pending) {
      clearTimeout(waiting.timer);
      waiting.reject(new Error(reason));
      this.pending.delete(id);
    }
  }

  // Fire and forget: a failure comes back as an error event.
  send(command) {
    if (this.child.stdin.writable) this.child.stdin.write(JSON.stringify(command) + '\n');
  }

  request(command) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`no reply to "${command.command}" within ${REPLY_TIMEOUT_MS} ms`));
      }, REPLY_TIMEOUT_MS);
      this.pending.set(id, { resolve, reject, timer });
      this.send({ id, ...command });
    });
  }

  // Closing standard input ends the service; it exits with 0 after a clean stop.
  async close(timeoutMs = 5000) {
    this.child.stdin.end();
    const timer = setTimeout(() => this.child.kill(), timeoutMs);
    const code = await this.exited;
    clearTimeout(timer);
    return code;
  }
}

// A player's clock: position in seconds, advancing on a monotonic clock while playing.
class PlayerClock {
  constructor(track, position) { Object.assign(this, { track, playing: false }); this.set(position); }
  set(position) { this.anchor = position; this.anchorAt = performance.now(); }
  position() { return this.anchor + (this.playing ? (performance.now() - this.anchorAt) / 1000 : 0); }
  play() { this.set(this.position()); this.playing = true; }
  pause() { this.set(this.position()); this.playing = false; }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function main() {
  let reporter = null;
  let failed = false;
  const stopReporting = () => { clearInterval(reporter); reporter = null; };
  const service = new Service((message) => {
    stopReporting();  // output is off: show the message, offer to start again
    failed = true;
    console.log(`MTC stopped: ${message}`);
  });
  service.exited.then(stopReporting);  // a service that ended takes no more reports
  const player = new PlayerClock('track-1', 10);
  // sentAtUnixMs is the system's wall clock (UTC milliseconds), as the service's own clock.
  const report = (locate = false) => {
    const position = player.position();
    service.send({ command: 'transport', trackId: player.track, position, playing: player.playing,
      sentAtUnixMs: Date.now(), ...(locate ? { locate: true } : {}) });
    return position;
  };
  const change = (what, act) => {
    act();
    // At once, not at the next tick, so the receiver locates now.
    console.log(`${what} at ${report(true).toFixed(6)}`);
  };
  try {
    const { outputs } = await service.request({ command: 'list' });
    console.log(`outputs: ${outputs.map((o) => `${o.name} (${o.id})`).join(', ') || 'none'}`);
    if (outputs.length === 0) throw new Error('no MIDI output to send MTC to');
    // Remember the user's choice by id; an id that is no longer listed means "choose again".
    const output = outputs.find((o) => o.id === process.env.MTC_OUTPUT_ID) || outputs[0];
    await service.request({ command: 'start', outputId: output.id, fps: 25, offset: 3600,
      ...(PHASE_LOCK ? { phaseLock: true } : {}) });
    console.log(`started on ${output.name} at 25 fps, offset 3600 s${PHASE_LOCK ? ', phase lock' : ''}`);
    change('play', () => player.play());
    reporter = setInterval(() => report(), REPORT_EVERY_MS);
    await sleep(1000);
    if (reporter) change('seek', () => player.set(90));
    await sleep(1000);
    if (reporter) change('pause', () => player.pause());
    await sleep(500);
    if (reporter) change('resume', () => player.play());
    await sleep(500);
    stopReporting();
    await service.request({ command: 'stop' });
    console.log('stopped');
  } catch (error) {
    stopReporting();
    failed = true;
    console.log(`failed: ${error.message}`);
  }
  const code = await service.close();
  console.log(`service exited with code ${code}`);
  return code === 0 && !failed ? 0 : 1;
}

main().then((code) => { process.exitCode = code; });
