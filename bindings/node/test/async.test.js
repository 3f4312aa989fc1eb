'use strict';
// Promises off the event loop: cancel, two readers at once, timers that keep
// running while a call waits, one reader's calls taking turns.

const test = require('node:test');
const assert = require('node:assert/strict');
const qd500 = require('..');
const { Simulator } = require('../lib/testing');
const { withReader } = require('./helpers');

const CHALLENGE = Buffer.from('0084000008', 'hex');
const ROUNDS = 8;

test('cancel ends a waiting read, and the reader serves on', async () => {
  await withReader({ magnetic: { swipe: 'never' } }, async (reader) => {
    const started = Date.now();
    setTimeout(() => reader.cancel(), 200);
    await assert.rejects(reader.readTracks(), (error) => error instanceof qd500.CancelledError && error.result === -7);
    assert.ok(Date.now() - started < 2000);
    assert.equal(await reader.version(), 'QD500-SIM V1.0');
  });
});

test('timers keep firing while a call waits on a silent reader', async () => {
  await withReader({ magnetic: { swipe: 'never' } }, async (reader) => {
    await reader.setTimeout(1);
    let ticks = 0;
    const timer = setInterval(() => ticks++, 20);
    try {
      await assert.rejects(reader.readTracks(), qd500.TimeoutError);
    } finally {
      clearInterval(timer);
    }
    assert.ok(ticks >= 30, `only ${ticks} ticks in a second`);
  });
});

test("a reader's calls take turns and each gets its own result", async () => {
  await withReader({ card: { type: 'S4442' } }, async (reader) => {
    await reader.selectCard('S4442');
    const atr = await reader.powerOn();
    const calls = [];
    for (let i = 0; i < 10; i++) {
      calls.push(reader.readMemory(0, 4));
      // Past the protection memory: refused, with this call's own message.
      calls.push(reader.readProtection(0, 64).then(
        () => assert.fail('read past the protection memory succeeded'),
        (error) => error));
    }
    const results = await Promise.all(calls);
    for (let i = 0; i < results.length; i += 2) {
      assert.deepEqual(results[i], atr);
      assert.equal(results[i + 1].result, -1);
      assert.match(results[i + 1].readerMessage, /32 protected bytes/);
    }
  });
});

async function cpuWork(reader) {
  await reader.selectCard('CPU');
  await reader.powerOn();
  for (let i = 0; i < ROUNDS; i++) {
    const answer = await reader.transmit(CHALLENGE);
    assert.deepEqual([answer.data.length, answer.sw], [8, 0x9000]);
  }
}

async function memoryWork(reader) {
  await reader.selectCard('S4442');
  const atr = await reader.powerOn();
  for (let i = 0; i < ROUNDS; i++) assert.deepEqual(await reader.readMemory(0, 4), atr);
}

async function timed(...jobs) {
  const started = process.hrtime.bigint();
  await Promise.all(jobs.map((job) => job()));
  return Number(process.hrtime.bigint() - started) / 1e6;
}

test('two readers at once on two lines', async () => {
  const sims = [];
  const readers = [];
  try {
    sims.push(await Simulator.start(null, { baud: 9600 }));
    sims.push(await Simulator.start({ card: { type: 'S4442' } }, { baud: 9600 }));
    for (const sim of sims) readers.push(await qd500.Reader.open(sim.port));
    const [cpu, sle] = readers;
    const alone = (await timed(() => cpuWork(cpu))) + (await timed(() => memoryWork(sle)));
    const together = await timed(() => cpuWork(cpu), () => memoryWork(sle));
    assert.ok(together < 0.75 * alone, `together ${together} ms, one after the other ${alone} ms`);
  } finally {
    for (const reader of readers) await reader.close();
    for (const sim of sims) await sim.stop();
  }
});
