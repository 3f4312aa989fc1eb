'use strict';
// The magnetic head: a read that waits for the swipe, unreadable tracks, writes.

const test = require('node:test');
const assert = require('node:assert/strict');
const qd500 = require('..');
const { withReader } = require('./helpers');

test('a read waits for the swipe and marks the unreadable track', async () => {
  await withReader({ magnetic: { swipe: 'never' } }, async (reader, sim) => {
    const read = reader.readTracks();
    await new Promise((resolve) => setTimeout(resolve, 100));
    await sim.swipe('4000123412341234=2512', null);
    assert.deepEqual(await read, { track2: '4000123412341234=2512', track3: '', unreadable2: false, unreadable3: true });
  });
});

test('written tracks are read back', async () => {
  await withReader(null, async (reader) => {
    await reader.magSetting('b');
    assert.equal(qd500.magSettingLetters(), 'ABCDKRZ');
    await reader.writeTracks({ track2: '1234567890=99' });
    await reader.writeTracks({ track3: '000111222', prefix: true });
    const tracks = await reader.readTracks();
    assert.deepEqual([tracks.track2, tracks.track3], ['1234567890=99', '000111222']);
  });
});
