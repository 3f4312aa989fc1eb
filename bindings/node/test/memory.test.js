'use strict';
// Memory cards: an SLE4442 with its code and lock, an AT24 card written whole.

const test = require('node:test');
const assert = require('node:assert/strict');
const qd500 = require('..');
const { withReader } = require('./helpers');

const PSC = Buffer.from('A1B2C3', 'hex');
const WRONG = Buffer.from('000000', 'hex');

test('SLE4442: read, write refused before the code, the code, wrong codes, locked', async () => {
  await withReader({ card: { type: 'S4442', psc: 'A1B2C3' } }, async (reader) => {
    await reader.selectCard('SLE4442');
    const atr = await reader.powerOn();
    assert.deepEqual(await reader.readMemory(0, 4), atr);
    await assert.rejects(reader.writeMemory(0x40, Buffer.from([1])), (error) => {
      assert.ok(error instanceof qd500.WrongCodeError);
      assert.deepEqual([error.result, error.status, error.triesLeft], [31, '31', null]);
      assert.ok(error.readerMessage.length > 0);
      return true;
    });
    await reader.presentCode(PSC);
    const data = Buffer.from([0, 1, 0, 0xff, 0]);
    await reader.writeMemory(0x40, data);
    assert.deepEqual(await reader.readMemory(0x40, data.length), data);
    assert.deepEqual(await reader.readProtection(0, 6), [true, true, true, true, false, false]);

    for (let i = 0; i < 3; i++) {
      await assert.rejects(reader.presentCode(WRONG), (error) => error.constructor === qd500.WrongCodeError);
    }
    await assert.rejects(reader.presentCode(PSC), (error) => {
      assert.ok(error instanceof qd500.CodeLockedError);
      assert.deepEqual([error.result, error.triesLeft], [33, 0]);
      return true;
    });
  });
});

test('AT24C16: 2 KiB written and read back, zero bytes included', async () => {
  await withReader({ card: { type: 'AT24C16' } }, async (reader) => {
    const size = qd500.cardSize('AT24C16');
    assert.equal(size, 2048);
    const image = Buffer.from(Array.from({ length: size }, (_, i) => (i % 7 ? i % 256 : 0)));
    await reader.at24Write(0, image);
    assert.deepEqual(await reader.at24Read(0, size), image);
  });
});
