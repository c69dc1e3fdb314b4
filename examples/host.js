#!/usr/bin/env node
// A minimal media-player host for mtc-service, in plain Node.js (no packages): the shape to
// copy into a player. It starts the service as a child process, lists the MIDI outputs, starts
// MTC on one, reports a simulated player clock every 20 ms (with a seek and a pause), stops,
// and waits for the service to exit. See docs/protocol.md for every line it reads and writes
// ("What a host must do" is the list this file keeps to). Run as a program it plays that
// session; required as a module it offers Service and offsetOf (tests/docs/ uses them).
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

// The one event that can stand for a request's reply: its line was refused before its id was
// read (docs/protocol.md, "Lines with an id that get no reply").
const MALFORMED = 'MIDI 命令格式错误。';
// The service exits after these: nothing written before them will be answered.
const FINAL_EVENTS = new Set([
  'MTC 输出更新阻塞，输出已关闭。请重新启用。',
  'MTC 驱动未能停止，输出服务已关闭。请重新连接 USB MIDI 接口。',
  'MTC 输出服务连接已中断。',
  'MTC 输出等待失败。',
  '无法启动 MTC 原生定时器。',
]);
// The answer to each report that was already on its way when output went off.
const NOT_ENABLED = 'MTC 输出未启用。';

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
    if ('id' in message) {
      // A reply to a request already settled by an event (below) finds nothing and is dropped.
      this.settle(message.id, message);
    } else if (message.event === 'error' && !this.settleByEvent(message.error)) {
      this.onEvent(message.error);  // output has been stopped
    }
  }

  settle(id, message) {
    const waiting = this.pending.get(id);
    if (!waiting) return;
    this.pending.delete(id);
    clearTimeout(waiting.timer);
    if (message.ok) waiting.resolve(message);
    else waiting.reject(new Error(message.error));  // output has been stopped
  }

  // An error event carries no id. It is the answer of the oldest waiting request when that
  // request's line was refused before its id was read, which only the malformed-command text
  // can mean, and of every waiting request when the service ends after it. Any other event came
  // from a report or from the running output: the waiting request's own reply still follows.
  // Returns whether the event answered a request (its message then reaches the caller there).
  settleByEvent(text) {
    if (this.pending.size === 0) return false;
    if (FINAL_EVENTS.has(text)) {
      this.fail(text);
    } else if (text === MALFORMED) {
      this.settle(this.pending.keys().next().value, { ok: false, error: text });
    } else {
      return false;
    }
    return true;
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
    return this.exchange(id, JSON.stringify({ id, ...command }), command.command);
  }

  // Writes one request line and waits for what answers it: its reply, an event that stands for
  // it, the end of the service, or the time-out (after which the service is not to be trusted).
  exchange(id, line, what = 'request') {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`no reply to "${what}" within ${REPLY_TIMEOUT_MS} ms`));
      }, REPLY_TIMEOUT_MS);
      this.pending.set(id, { resolve, reject, timer });
      if (this.child.stdin.writable) this.child.stdin.write(line + '\n');
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

// The offset (seconds) that makes player position 0 read the label hours:minutes:seconds:frames.
// At 24, 25 and 30 fps a label is plain time. At 29.97 the service counts real frames of
// 1001/30000 s and names them with drop-frame labels, which skip frames ;00 and ;01 of every
// minute but each tenth: the offset is the label's number among the real frames times the
// frame's length, so 01:05:00;02 is 3900.0295 s, and an offset of 3900 reads 01:04:59;29.
function offsetOf(hours, minutes, seconds, frames, fps) {
  if (fps !== 29.97) return hours * 3600 + minutes * 60 + seconds + frames / fps;
  const totalMinutes = 60 * hours + minutes;
  if (seconds === 0 && frames < 2 && totalMinutes % 10 !== 0) {
    throw new RangeError('drop-frame timecode has no frames ;00 and ;01 in this minute');
  }
  const dropped = 2 * (totalMinutes - Math.floor(totalMinutes / 10));
  return (108000 * hours + 1800 * minutes + 30 * seconds + frames - dropped) * 1001 / 30000;
}

// Ends output: the report timer first, so that no report follows the stop into a service whose
// output is off (each would come back as an error event).
async function stopOutput(service, stopReporting) {
  stopReporting();
  await service.request({ command: 'stop' });
}

async function main() {
  let reporter = null;
  let failed = false;
  let outputOn = false;  // from the start's success to the stop or the first failure
  const stopReporting = () => { clearInterval(reporter); reporter = null; };
  const service = new Service((message) => {
    // Reports written before output went off are each answered so: not news to show.
    if (message === NOT_ENABLED && !outputOn) return;
    outputOn = false;
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
    const offset = offsetOf(1, 0, 0, 0, 25);  // player position 0 reads 01:00:00:00
    await service.request({ command: 'start', outputId: output.id, fps: 25, offset,
      ...(PHASE_LOCK ? { phaseLock: true } : {}) });
    outputOn = true;
    console.log(`started on ${output.name} at 25 fps, offset ${offset} s${PHASE_LOCK ? ', phase lock' : ''}`);
    change('play', () => player.play());
    reporter = setInterval(() => report(), REPORT_EVERY_MS);
    await sleep(1000);
    if (reporter) change('seek', () => player.set(90));
    await sleep(1000);
    if (reporter) change('pause', () => player.pause());
    await sleep(500);
    if (reporter) change('resume', () => player.play());
    await sleep(500);
    outputOn = false;
    await stopOutput(service, stopReporting);
    console.log('stopped');
  } catch (error) {
    outputOn = false;
    stopReporting();
    failed = true;
    console.log(`failed: ${error.message}`);
  }
  const code = await service.close();
  console.log(`service exited with code ${code}`);
  return code === 0 && !failed ? 0 : 1;
}

if (require.main === module) {
  main().then((code) => { process.exitCode = code; });
} else {
  module.exports = { Service, offsetOf };
}
