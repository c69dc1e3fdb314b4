#!/usr/bin/env node
// The example host against the real service under Wine on the simulated port (one output):
// every request whose line the service refuses unread, or that an overflow cuts off, is settled
// by the event that answers it, never left to the time-out; an event a report caused leaves the
// waiting request to its own reply; and offsetOf's drop-frame offsets give full frames that
// name its labels on the wire.
//
// Usage: node example_host_check.js <examples/host.js> <folder of mtc-service.exe and winmm.dll>
// The Wine prefix comes from the environment (WINEPREFIX, WINEDLLOVERRIDES=winmm=n,b).
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');

const MALFORMED = 'MIDI 命令格式错误。';
const NOT_ENABLED = 'MTC 输出未启用。';
const OVERFLOW = 'MTC 输出更新阻塞，输出已关闭。请重新启用。';
const PORT_ID = 'winmm:33340cd741d8d8a2baeff4c3dbf8b8ffba9d3502fa7f452018a48e6a24c5837d';
const SETTLED_WITHIN_MS = 2000;  // the example's time-out is 5000 ms

const [hostJs, bin] = process.argv.slice(2);
const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'mtc-example-host-'));
const recording = path.join(folder, 'recording.txt');
fs.writeFileSync(path.join(folder, 'scenario.txt'), 'port name="Player port" path="sim#play"\n');
// Read by the example when it is loaded, and passed on to the service it starts.
Object.assign(process.env, {
  MTC_SERVICE: path.join(bin, 'mtc-service.exe'), MTC_SERVICE_LAUNCHER: 'wine',
  MTC_SIMPORT_SCENARIO: path.join(folder, 'scenario.txt'), MTC_SIMPORT_LOG: recording,
});
const { Service, offsetOf } = require(path.resolve(hostJs));

const faults = [];
const expect = (what, ok) => { if (!ok) faults.push(what); };

// Lines with a valid-looking id that the strict reader refuses before it reads the id.
const members = Array.from({ length: 31 }, (_, i) => `"m${i}":0`).join(',');
const UNREAD = [
  ['not JSON', (id) => `{"id":${id},"command":"stop"`],
  ['a nested value', (id) => `{"id":${id},"command":"stop","x":[1]}`],
  ['a duplicate key', (id) => `{"id":${id},"command":"stop","command":"stop"}`],
  ['33 members', (id) => `{"id":${id},"command":"stop",${members}}`],
  ['a number of 65 characters', (id) => `{"id":${id},"command":"stop","x":1.${'0'.repeat(63)}}`],
  ['a number too large for a double', (id) => `{"id":${id},"command":"stop","x":1e309}`],
  ['a leading zero', (id) => `{"id":0${id},"command":"stop"}`],
  ['a raw tab in a string', (id) => `{"id":${id},"command":"stop","x":"a\tb"}`],
  ['a lone surrogate', (id) => `{"id":${id},"command":"stop","x":"\\ud800"}`],
  ['text after the object', (id) => `{"id":${id},"command":"stop"} x`],
  ['an id of 2.5', () => '{"id":2.5,"command":"stop"}'],
];

// How a request ended: 'ok', or the error's message; and how long that took.
async function outcome(promise) {
  const began = Date.now();
  try {
    await promise;
    return { text: 'ok', ms: Date.now() - began };
  } catch (error) {
    return { text: error.message, ms: Date.now() - began };
  }
}

async function main() {
  const events = [];
  let service = new Service((message) => events.push(message));
  for (const [index, [what, line]] of UNREAD.entries()) {
    const id = 100 + index;
    const got = await outcome(service.exchange(id, line(id), what));
    expect(`${what}: settled by "${got.text}" after ${got.ms} ms`,
           got.text === MALFORMED && got.ms < SETTLED_WITHIN_MS);
  }
  // The example's own encoder can write such a line too: a string cut inside a surrogate pair.
  const cut = await outcome(service.request({ command: 'transport', trackId: '\ud83c',
    position: 1, playing: false, sentAtUnixMs: Date.now() }));
  expect(`a track id cut inside a surrogate pair: "${cut.text}"`, cut.text === MALFORMED);
  expect(`events that answered requests were also passed on: ${events}`, events.length === 0);

  // Reports written while output is off each come back as an event, which the waiting list
  // request must not take for its own answer.
  const report = { command: 'transport', trackId: 'A', position: 1, playing: true };
  service.send({ ...report, sentAtUnixMs: Date.now() });
  service.send({ ...report, sentAtUnixMs: Date.now() });
  const listed = await outcome(service.request({ command: 'list' }));
  expect(`list after two reports: "${listed.text}"`, listed.text === 'ok');
  expect(`events passed on: ${events}`, events.join() === [NOT_ENABLED, NOT_ENABLED].join());

  // An overflow ends the service: the request whose line caused it is settled by the event.
  const long = `{"id":900,"command":"stop","pad":"${'x'.repeat(16400)}"}`;
  const cutOff = await outcome(service.exchange(900, long, 'stop'));
  expect(`an over-long request: "${cutOff.text}" after ${cutOff.ms} ms`,
         cutOff.text === OVERFLOW && cutOff.ms < SETTLED_WITHIN_MS);
  expect('exit code after the overflow', (await service.exited) === 2);

  // Offsets, against literal values and against the labels of the full frames they give.
  const close = (a, b) => Math.abs(a - b) < 1e-9;
  expect('offsetOf 01:05:00;02', close(offsetOf(1, 5, 0, 2, 29.97), 3900.029466666667));
  expect('offsetOf 00:10:00;00', close(offsetOf(0, 10, 0, 0, 29.97), 599.9994));
  expect('offsetOf 00:01:00;02', close(offsetOf(0, 1, 0, 2, 29.97), 60.06));
  expect('offsetOf 00:00:01:12 at 25', close(offsetOf(0, 0, 1, 12, 25), 1.48));
  expect('offsetOf refuses 00:01:00;00', (() => {
    try { offsetOf(0, 1, 0, 0, 29.97); } catch (error) { return error instanceof RangeError; }
    return false;
  })());
  service = new Service((message) => events.push(message));
  for (const label of [[1, 5, 0, 2], [0, 1, 0, 2]]) {
    await service.request({ command: 'start', outputId: PORT_ID, fps: 29.97,
      offset: offsetOf(...label, 29.97) });
    service.send({ ...report, position: 0, playing: false, sentAtUnixMs: Date.now() });
    await service.request({ command: 'stop' });
  }
  expect('exit code after the labels', (await service.close()) === 0);
  const frames = fs.readFileSync(recording, 'utf8').split('\n')
    .map((line) => / wire .*bytes=(F07F7F0101\w{10})$/.exec(line)).filter(Boolean).map((m) => m[1]);
  // Rate bits 10 (drop-frame) over the hour: 01:05:00;02, then 00:01:00;02.
  expect(`full frames ${frames}`, frames.join() === 'F07F7F010141050002F7,F07F7F010140010002F7');

  fs.rmSync(folder, { recursive: true, force: true });
  for (const fault of faults) console.log(`FAULT ${fault}`);
  console.log(`${faults.length} faults`);
  return faults.length === 0 ? 0 : 1;
}

main().then((code) => { process.exitCode = code; });
