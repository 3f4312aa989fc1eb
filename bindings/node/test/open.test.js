'use strict';
// Opening: a missing port, the library not found, wrong arguments refused
// before anything is sent.

const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const qd500 = require('..');
const { withReader, hostFrames } = require('./helpers');

test('a missing port rejects with PortError naming it', async () => {
  await assert.rejects(qd500.Reader.open('/dev/qd500-missing'), (error) => {
    assert.ok(error instanceof qd500.PortError && error instanceof qd500.ReaderError);
    assert.equal(error.result, -2);
    assert.equal(error.port, '/dev/qd500-missing');
    assert.match(error.message, /cannot be opened/);
    assert.ok(error.readerMessage.includes('/dev/qd500-missing'));
    return true;
  });
  await assert.rejects(qd500.Reader.open(0), RangeError);
  await assert.rejects(qd500.Reader.open('COM1', { timeout: '5' }), TypeError);
});

test('a busy port is refused to a second opener', async () => {
  await withReader(null, async (reader, sim) => {
    await assert.rejects(qd500.Reader.open(sim.port), qd500.PortError);
  });
});

test('a library that is nowhere is named with the places tried', () => {
  const script = "try { require('.').libraryVersion() } catch (e) { console.log(e.message) }";
  const out = execFileSync(process.execPath, ['-e', script], {
    cwd: `${__dirname}/..`,
    env: { ...process.env, QD500_LIBRARY: '/nowhere/libqd500.so.0' },
    encoding: 'utf8',
  });
  assert.match(out, /qd500 library was not found .*tried \/nowhere\/libqd500\.so\.0: /);
});

test('wrong arguments are refused before anything is sent', async () => {
  await withReader({ card: { type: 'S4442' } }, async (reader, sim) => {
    const calls = [
      // The package's own checks: koffi would wrap the number or cut the text.
      [() => reader.readMemory(2 ** 32, 4), RangeError],
      [() => reader.readProtection(1.5, 4), TypeError],
      [() => reader.transmit('00A40000023F00'), TypeError],
      [() => reader.selectCard('S4442\0CPU'), RangeError],
      [() => reader.writeTracks({ track2: '１２３' }), RangeError],
      [() => reader.magSetting('AB'), RangeError],
      [() => reader.setTimeout(-1), RangeError],
      // The library's: an ArgumentError.
      [() => reader.transmit(Buffer.from('00A400', 'hex')), qd500.ArgumentError],
      [() => reader.selectCard('S9999'), qd500.ArgumentError],
      [() => reader.readTracks({ track2: false, track3: false }), qd500.ArgumentError],
    ];
    for (const [call, kind] of calls) await assert.rejects(call(), kind);
    assert.deepEqual(hostFrames(sim), []);
    // A range past the selected card's end.
    await reader.selectCard('S4442');
    const before = hostFrames(sim).length;
    await assert.rejects(reader.readMemory(250, 10), (error) => error.result === -1 && error.status === '');
    await reader.close();
    await assert.rejects(reader.powerOn(), /closed/);
    assert.equal(hostFrames(sim).length, before);
  });
});
