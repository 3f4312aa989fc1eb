'use strict';
// qd500: the card reader from Node, over the handle API (libqd500.so.0).

const native = require('./lib/native');
const errors = require('./lib/errors');
const { Reader, Response, Personalisation, Direction, asBytes, asText } = require('./lib/reader');

const CardFamily = Object.freeze({ CPU: 0, SLE4442: 1, SLE4428: 2, AT24: 3, AT88SC: 4 });
const CardFeature = Object.freeze({
  MEMORY: 0x001, PRESENT_CODE: 0x002, CHANGE_CODE: 0x004, READ_PROTECTION: 0x008, PROTECT: 0x010,
  AT88_VERIFY: 0x020, AT88_ERASE: 0x040, AT88_PERSONALISE: 0x080, AT24_SEQUENCE: 0x100, APDU: 0x200,
});

function cardInfoOf(raw) {
  return Object.freeze({
    name: raw.name || '',
    code: raw.code,
    family: raw.family,
    memorySize: raw.memory_size,
    codeLength: raw.code_length,
    codeTries: raw.code_tries,
    protectedBytes: raw.protected_bytes,
    features: raw.features,
    alias: raw.alias || '',
  });
}

function emptyInfo() {
  // The library fills what lies within size: the struct as declared here.
  return { size: native.koffi.sizeof(native.CardInfo) };
}

/** The card type of a name, in any case, or of the name people use for it
 * ("s4442" and "SLE4442" give "S4442"); RangeError for an unknown name. */
function cardInfo(type) {
  const lib = native.lib();
  const raw = emptyInfo();
  if (lib.qd500_card_info(asText(type, 'card type'), raw) !== 0) throw new RangeError(lib.qd500_message(null) || `no card type ${type}`);
  return cardInfoOf(raw);
}

/** Every card type, in the library's order. */
function cardTypes() {
  const lib = native.lib();
  const found = [];
  for (let index = 0, count = lib.qd500_card_type_count(); index < count; index++) {
    const raw = emptyInfo();
    if (lib.qd500_card_info_at(index, raw) === 0) found.push(cardInfoOf(raw));
  }
  return found;
}

/** The memory size in bytes of a card type (0 for a CPU card). */
function cardSize(type) {
  const size = native.lib().qd500_card_size(asText(type, 'card type'));
  if (size < 0) throw new RangeError(`no card type ${type}`);
  return size;
}

function libraryVersion() {
  return native.lib().qd500_version();
}

/** The setting letters the magnetic head knows ("ABCDKRZ"). */
function magSettingLetters() {
  return native.lib().qd500_mag_setting_letters();
}

/** English text of a result. */
function strerror(result) {
  return native.strerror(result);
}

// ---- DES, triple-DES, key diversity, PIN blocks (no reader) ----

function sized(value, what, ...sizes) {
  const bytes = asBytes(value, what);
  if (!sizes.includes(bytes.length)) throw new RangeError(`${what} must be ${sizes.join(' or ')} bytes, not ${bytes.length}`);
  return bytes;
}

function check(result) {
  if (result !== 0) throw errors.errorFor(result, '', '');
}

function block(name, key, keySize, data, outSize = 8) {
  const out = Buffer.alloc(outSize);
  check(native.lib()[name](sized(key, 'key', keySize), sized(data, 'data', 8), out));
  return out;
}

const crypto = {
  /** One 8-byte block under an 8-byte DES key. */
  desEncrypt: (key, data) => block('qd500_des_encrypt', key, 8, data),
  desDecrypt: (key, data) => block('qd500_des_decrypt', key, 8, data),
  /** One 8-byte block under a 16-byte two-key triple-DES key (K1 K2 K1). */
  tripleDesEncrypt: (key, data) => block('qd500_3des_encrypt', key, 16, data),
  tripleDesDecrypt: (key, data) => block('qd500_3des_decrypt', key, 16, data),
  /** The 16-byte key diversified from a 16-byte master key by 8 bytes of data. */
  diversify: (key, data) => block('qd500_diversify', key, 16, data, 16),
  /** The ISO 9564-1 format-0 PIN block of pin (4 to 12 digits) and the
   * account number pan, under an 8-byte DES or 16-byte triple-DES key. */
  pinBlock(pin, pan, key) {
    const secret = sized(key, 'key', 8, 16);
    const out = Buffer.alloc(8);
    check(native.lib().qd500_pin_block(asText(pin, 'pin', true), asText(pan, 'pan', true), secret, secret.length, out));
    return out;
  },
  /** The PIN digits of a format-0 block of the account number pan. */
  pinFromBlock(pinBlock, pan, key) {
    const secret = sized(key, 'key', 8, 16);
    const pin = Buffer.alloc(13);
    const fn = native.lib().qd500_pin_from_block;
    check(fn(sized(pinBlock, 'block', 8), asText(pan, 'pan', true), secret, secret.length, pin, pin.length));
    return pin.toString('ascii', 0, pin.indexOf(0));
  },
};

module.exports = {
  Reader, Response, Personalisation, Direction, CardFamily, CardFeature,
  cardInfo, cardTypes, cardSize, libraryVersion, magSettingLetters, strerror,
  ...crypto, crypto,
  ...errors,
  libraryCandidates: native.candidates,
};
