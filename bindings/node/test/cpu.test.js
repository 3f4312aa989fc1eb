'use strict';
// A CPU card: its ATR, APDUs with and without their follow-ups, PINs.

const test = require('node:test');
const assert = require('node:assert/strict');
const qd500 = require('..');
const { withReader } = require('./helpers');

const SELECT_MF = Buffer.from('00A40000023F00', 'hex');
const SELECT_EF_0015 = Buffer.from('00A40000020015', 'hex');
const READ_64 = Buffer.from('00B0000040', 'hex');

async function cpu(reader) {
  await reader.selectCard('CPU');
  assert.deepEqual(await reader.powerOn(), Buffer.from('3B680000514435303053494D', 'hex'));
}

test('CPU card: ATR, an APDU with GET RESPONSE, status words as values', async () => {
  await withReader(null, async (reader) => {
    await cpu(reader);
    const plain = await reader.transmit(SELECT_MF);
    assert.equal(plain.data.length, 0);
    assert.equal(plain.sw1, 0x61);
    const fci = await reader.getResponse(plain.sw2);
    assert.equal(fci.sw, 0x9000);
    assert.ok(fci.data.includes('1PAY.SYS.DDF01'));
    const chained = await reader.transmit(new Uint8Array(SELECT_MF), { getResponse: true });
    assert.deepEqual([chained.data, chained.sw], [fci.data, fci.sw]);

    await reader.transmit(SELECT_EF_0015, { getResponse: true });
    assert.equal((await reader.transmit(READ_64)).sw, 0x6c20);
    const exact = await reader.transmit(READ_64, { getResponse: true });
    assert.equal(exact.sw, 0x9000);
    assert.deepEqual(exact.data, Buffer.concat([Buffer.from('QD500 SIM CARD 0001'), Buffer.alloc(13)]));

    // The observer is called from the worker thread the call runs on.
    const seen = [];
    const observe = (direction, frame) => seen.push([direction, frame.toString('latin1')]);
    await reader.addObserver(observe);
    await reader.transmit(SELECT_MF);
    await reader.removeObserver(observe);
    await reader.transmit(SELECT_MF);
    assert.deepEqual(seen.map(([direction]) => direction), [qd500.Direction.SENT, qd500.Direction.RECEIVED]);
    assert.ok(seen[0][1].includes('00A40000023F00'));

    await reader.powerOff();
    await assert.rejects(reader.transmit(SELECT_MF), (error) => error.result === 23 && error.status === '23');
  });
});

test('CPU card: a wrong PIN tells the tries left, then the key is locked', async () => {
  await withReader(null, async (reader) => {
    await cpu(reader);
    await reader.transmit(SELECT_MF, { getResponse: true });
    const wrong = Buffer.alloc(3);
    await assert.rejects(reader.verifyPin(wrong, 1), (error) => {
      assert.ok(error instanceof qd500.WrongCodeError);
      assert.deepEqual([error.triesLeft, error.sw, error.result], [2, 0x63c2, 31]);
      assert.match(error.message, /63C2/);
      return true;
    });
    await reader.checkPin(Buffer.from('123456', 'hex'), 1);
    for (const left of [2, 1, 0]) {
      await assert.rejects(reader.verifyPin(wrong, 1), (error) => error.triesLeft === left);
    }
    await assert.rejects(reader.verifyPin(Buffer.from('123456', 'hex'), 1), qd500.CodeLockedError);
  });
});
