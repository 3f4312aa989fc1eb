'use strict';
// What needs no reader: the card-type table and the DES helpers.

const test = require('node:test');
const assert = require('node:assert/strict');
const qd500 = require('..');

const KEY = Buffer.from('0123456789ABCDEF', 'hex');
const KEY2 = Buffer.from('FEDCBA9876543210', 'hex');
const PAN = '4000001234567899';

test("the card-type table is the library's", () => {
  const s4442 = qd500.cardInfo('sle4442');
  const F = qd500.CardFeature;
  assert.deepEqual(s4442, {
    name: 'S4442', code: 0x42, family: qd500.CardFamily.SLE4442, memorySize: 256, codeLength: 3,
    codeTries: 3, protectedBytes: 32,
    features: F.MEMORY | F.PRESENT_CODE | F.CHANGE_CODE | F.READ_PROTECTION | F.PROTECT, alias: 'SLE4442',
  });
  assert.throws(() => qd500.cardInfo('S4443'), (error) => error instanceof RangeError && /S4442 \(SLE4442\)/.test(error.message));
  const types = qd500.cardTypes();
  assert.equal(types[0].name, 'CPU');
  assert.ok(types.some((t) => t.name === 'AT88SC1604A'));
  for (const t of types) assert.equal(qd500.cardSize(t.name), t.memorySize);
});

test('DES, triple-DES and key diversity', () => {
  const cipher = qd500.desEncrypt(KEY, Buffer.from('Now is t'));
  assert.deepEqual(cipher, Buffer.from('3FA40E8A984D4815', 'hex'));
  assert.equal(qd500.desDecrypt(KEY, new Uint8Array(cipher)).toString(), 'Now is t');
  const block = Buffer.from([0, 1, 2, 3, 4, 5, 6, 7]);
  const ede = qd500.desEncrypt(KEY, qd500.desDecrypt(KEY2, qd500.desEncrypt(KEY, block)));
  const key16 = Buffer.concat([KEY, KEY2]);
  assert.deepEqual(qd500.tripleDesEncrypt(key16, block), ede);
  assert.deepEqual(qd500.tripleDesDecrypt(key16, ede), block);
  const data = Buffer.from('1122334455667788', 'hex');
  const complement = data.map((b) => b ^ 0xff);
  assert.deepEqual(qd500.diversify(key16, data),
    Buffer.concat([qd500.tripleDesEncrypt(key16, data), qd500.tripleDesEncrypt(key16, complement)]));
  assert.throws(() => qd500.desEncrypt(key16, block), RangeError);
});

test('PIN blocks of format 0', () => {
  const clear = Buffer.from('041234FFFFFFFFFF', 'hex');
  const account = Buffer.from('0000' + PAN.slice(-13, -1), 'hex');
  const expected = qd500.desEncrypt(KEY, clear.map((b, i) => b ^ account[i]));
  assert.deepEqual(qd500.pinBlock('1234', PAN, KEY), expected);
  assert.equal(qd500.pinFromBlock(expected, PAN, KEY), '1234');
  assert.throws(() => qd500.pinFromBlock(expected, '4000009999999999', KEY), qd500.ProtocolError);
  assert.throws(() => qd500.pinBlock('12a4', PAN, KEY), qd500.ArgumentError);
});
