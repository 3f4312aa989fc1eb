'use strict';
// Reader: one card reader on a serial line, Buffers in and out, a promise
// for every call that waits on the line.

const native = require('./native');
const errors = require('./errors');

const { koffi } = native;
const UINT_MAX = 0xffffffff;
// A follow-up chain (61xx, 6Cxx) gathers many responses: room for far more
// than the library follows, so the answer of a chain is never lost.
const CHAIN_MAX = 0x10000;
const TRACK2 = 1;
const TRACK3 = 2;
const SIZE_T = koffi.sizeof('size_t');

const Personalisation = Object.freeze({
  DELETE_MF: 0, CREATE_MF: 1, END_MF: 2, CREATE_DF: 3, END_DF: 4,
  CREATE_FILE: 5, SELECT_FILE: 6, WRITE_KEY: 7, WRITE_BINARY: 8, APPEND_RECORD: 9,
});
const Direction = Object.freeze({ SENT: 0, RECEIVED: 1 });

function typeName(value) {
  if (value === null) return 'null';
  return typeof value === 'object' ? value.constructor?.name || 'object' : typeof value;
}

/** A Buffer over the bytes of a Buffer or Uint8Array (no copy). */
function asBytes(value, what) {
  if (value instanceof Uint8Array) return Buffer.from(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError(`${what} must be a Buffer or Uint8Array, not ${typeName(value)}`);
}

/** A text argument as the C string it is sent as; a NUL would cut it short. */
function asText(value, what, asciiOnly = false) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string, not ${typeName(value)}`);
  if (value.includes('\0')) throw new RangeError(`${what} must not contain a NUL character`);
  if (asciiOnly && /[^\x00-\x7f]/.test(value)) throw new RangeError(`${what} must be ASCII text`);
  return value;
}

/** An integer in 0..maximum; koffi would wrap a larger one silently. */
function asUint(value, what, maximum = UINT_MAX) {
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new TypeError(`${what} must be an integer, not ${typeName(value)} ${String(value)}`);
  }
  if (value < 0 || value > maximum) throw new RangeError(`${what} must be in 0..${maximum}, not ${value}`);
  return value;
}

function timeoutMs(seconds) {
  if (typeof seconds !== 'number' || Number.isNaN(seconds)) {
    throw new TypeError(`timeout must be a number of seconds, not ${typeName(seconds)}`);
  }
  if (!Number.isFinite(seconds)) throw new RangeError(`timeout must be finite, not ${seconds}`);
  return asUint(Math.round(seconds * 1000), 'timeout in ms');
}

function portName(port) {
  if (typeof port === 'number') {
    if (!Number.isInteger(port) || port < 1 || port > 999) throw new RangeError(`a COM number is 1 to 999, not ${port}`);
    return `COM${port}`;
  }
  return asText(port, 'port');
}

function sizeOut() {
  return Buffer.alloc(SIZE_T);
}

function readSize(buffer) {
  return Number(koffi.decode(buffer, 'size_t'));
}

/** The C observer's body: each frame to every observer. Made outside the
 * reader, so the registered callback does not keep the reader alive. */
function relayTo(observers) {
  return (_ctx, direction, bytes, length) => {
    const frame = Buffer.from(koffi.decode(bytes, 'uint8_t', Number(length)));
    for (const each of [...observers]) {
      try {
        each(direction, frame);
      } catch (error) {
        // Thrown into the library's call it would end the process: reported instead.
        process.emitWarning(error instanceof Error ? error : new Error(String(error)), 'Qd500ObserverWarning');
      }
    }
  };
}

/** An APDU's response: its data and its status word. */
class Response {
  constructor(data, sw) {
    this.data = data;
    this.sw = sw;
  }
  get sw1() {
    return this.sw >> 8;
  }
  get sw2() {
    return this.sw & 0xff;
  }
}

function response(buffer, length) {
  const answer = Buffer.from(buffer.subarray(0, length));
  return new Response(answer.subarray(0, length - 2), answer.readUInt16BE(length - 2));
}

// A reader dropped without close() would keep its port locked against every
// other opener: its handle is closed when the reader is collected. A reader
// with a call under way is never collected, since the call holds it.
const dropped = new FinalizationRegistry((handle) => native.lib().qd500_close(handle));

/** One reader on a serial port: "COM3", 3 or a device path. Open it with
 * Reader.open(). Every call that talks to the reader returns a promise and
 * runs on a worker thread; a reader's calls take turns in the order they
 * were made. cancel() alone runs beside them. */
class Reader {
  constructor(handle, port) {
    this._lib = native.lib();
    this._handle = handle;
    this._port = port;
    this._tail = Promise.resolve();
    this._timeout = 10;
    this._observers = [];
    this._observerFn = null;
    dropped.register(this, handle, this);
  }

  /** Opens the port (opening does not wait on the reader) and sets the
   * time-out of every call, in seconds. Rejects with PortError when the
   * port is missing, busy or forbidden. */
  static async open(port, { timeout = 10 } = {}) {
    const name = portName(port);
    const ms = timeoutMs(timeout);
    const lib = native.lib();
    // Synchronous: the reason of a failed open is kept per thread.
    const out = [null];
    const result = lib.qd500_open(name, out);
    if (result !== 0) throw errors.errorFor(result, '', lib.qd500_message(null) || '');
    const reader = new Reader(out[0], name);
    try {
      await reader.setTimeout(timeout, ms);
    } catch (error) {
      await reader.close();
      throw error;
    }
    return reader;
  }

  get closed() {
    return this._handle === null;
  }

  /** The port as it was opened. */
  get port() {
    return this._port;
  }

  /** The response time-out of every call, in seconds. */
  get timeout() {
    return this._timeout;
  }

  async setTimeout(seconds, ms = timeoutMs(seconds)) {
    await this._run('qd500_set_timeout_ms', [ms]);
    this._timeout = seconds;
  }

  /** Closes the port after the calls made before; later calls reject. Cancel
   * a waiting call first where it may wait long. */
  close() {
    if (this._closing) return this._closing;
    this._closing = this._turn(async () => {
      if (this._handle !== null) {
        const handle = this._handle;
        this._handle = null;
        dropped.unregister(this);
        await native.callAsync(this._lib.qd500_close, [handle]);
        if (this._observerFn) koffi.unregister(this._observerFn);
        this._observerFn = null;
        this._observers = [];
      }
    });
    return this._closing;
  }

  /** From any moment: ends the call that waits (a swipe, a slow reply),
   * which then rejects with CancelledError. */
  cancel() {
    if (this._handle !== null) this._lib.qd500_cancel(this._handle);
  }

  async reopen() {
    return this._run('qd500_reopen', []);
  }

  /** Traces every frame into the file at path; null stops. */
  async setTrace(path) {
    return this._run('qd500_set_trace', [path === null ? null : asText(path, 'trace path')]);
  }

  /** Calls observer(direction, frame) with every frame sent and every reply
   * received (Direction.SENT, Direction.RECEIVED; frame a Buffer). */
  async addObserver(observer) {
    if (typeof observer !== 'function') throw new TypeError(`observer must be a function, not ${typeName(observer)}`);
    return this._turn(async () => {
      const handle = this._live();
      if (this._observerFn === null) {
        const relay = relayTo(this._observers);
        const fn = koffi.register(relay, koffi.pointer(native.Observer));
        this._check(this._lib.qd500_set_observer(handle, fn, null));
        this._observerFn = fn;
      }
      this._observers.push(observer);
    });
  }

  async removeObserver(observer) {
    return this._turn(async () => {
      const at = this._observers.indexOf(observer);
      if (at < 0) throw new RangeError('no such observer');
      this._observers.splice(at, 1);
      if (this._observers.length === 0 && this._handle !== null) {
        this._check(this._lib.qd500_set_observer(this._handle, null, null));
        koffi.unregister(this._observerFn);
        this._observerFn = null;
      }
    });
  }

  // ---- card type, power, device ----

  /** The card type by name: "CPU", "S4442" (or "SLE4442"), "AT24C16", ... in any case. */
  async selectCard(type) {
    return this._run('qd500_select_card', [asText(type, 'card type')]);
  }

  /** Powers the card on (a reset when powered); its answer to reset. */
  async powerOn() {
    const atr = Buffer.alloc(native.ATR_MAX);
    const length = sizeOut();
    await this._run('qd500_power_on', [atr, atr.length, length]);
    return Buffer.from(atr.subarray(0, readSize(length)));
  }

  async powerOff() {
    return this._run('qd500_power_off', []);
  }

  /** The device status: its three state fields, a byte each. */
  async deviceStatus() {
    const state = Buffer.alloc(3);
    await this._run('qd500_device_status', [state]);
    return state;
  }

  /** The firmware's version text. */
  async version() {
    const text = Buffer.alloc(native.VERSION_MAX);
    const length = sizeOut();
    await this._run('qd500_version_text', [text, text.length, length]);
    return text.toString('latin1', 0, readSize(length));
  }

  async eject() {
    return this._run('qd500_eject', []);
  }

  /** The reader's device number, 0 to 99. */
  async setDeviceNo(number) {
    return this._run('qd500_set_device_no', [asUint(number, 'device number', 99)]);
  }

  // ---- CPU cards ----

  /** One APDU (case 1 to 4, short form). With getResponse, 61xx is followed
   * by GET RESPONSE and 6Cxx by the APDU again under the Le the card asked
   * for. A status word is a value, never a rejection. */
  async transmit(apdu, { getResponse = false } = {}) {
    const command = asBytes(apdu, 'apdu');
    const fn = getResponse ? 'qd500_transmit_get_response' : 'qd500_transmit';
    return this._respond(fn, [command, command.length], getResponse ? CHAIN_MAX : native.RESPONSE_MAX);
  }

  /** GET RESPONSE for le bytes (0 or 256: 256). */
  async getResponse(le) {
    return this._respond('qd500_get_response', [asUint(le, 'le', 256)], native.RESPONSE_MAX);
  }

  /** VERIFY of a CPU card's key ref. A wrong PIN rejects with
   * WrongCodeError and the tries the card says are left; a blocked key
   * with CodeLockedError. */
  async verifyPin(pin, ref = 0) {
    const code = asBytes(pin, 'pin');
    if (code.length < 1 || code.length > 255) throw new RangeError('pin must be 1 to 255 bytes');
    const header = Buffer.from([0x00, 0x20, 0x00, asUint(ref, 'ref', 255), code.length]);
    const answer = await this.transmit(Buffer.concat([header, code]));
    if (answer.sw === 0x9000) return;
    const text = (result) => this._lib.qd500_status_message(String(result)) || '';
    if (answer.sw1 === 0x63 && (answer.sw2 & 0xf0) === 0xc0) {
      throw new errors.WrongCodeError(errors.WRONG_CODE, '', text(errors.WRONG_CODE), answer.sw, answer.sw2 & 0x0f);
    }
    if (answer.sw === 0x6983) throw new errors.CodeLockedError(errors.CODE_LOCKED, '', text(errors.CODE_LOCKED), answer.sw);
    throw new errors.ReaderError(errors.CARD_REFUSED, '', text(errors.CARD_REFUSED), answer.sw);
  }

  /** The reader's own PIN command on a CPU card's key ref; a wrong PIN
   * rejects with WrongCodeError without a count of tries. */
  async checkPin(pin, ref = 0) {
    const code = asBytes(pin, 'pin');
    return this._run('qd500_check_pin', [asUint(ref, 'ref', 255), code, code.length]);
  }

  /** One step of a payment card's file-system set-up (a Personalisation value). */
  async personalise(step, data = Buffer.alloc(0)) {
    asUint(step, 'step', Personalisation.APPEND_RECORD);
    const payload = asBytes(data, 'data');
    return this._respond('qd500_personalise', [step, payload, payload.length], native.RESPONSE_MAX);
  }

  // ---- memory cards ----

  /** length bytes of card memory from addr. */
  async readMemory(addr, length) {
    return this._read('qd500_read_memory', [asUint(addr, 'addr')], length);
  }

  async writeMemory(addr, data) {
    const bytes = asBytes(data, 'data');
    return this._run('qd500_write_memory', [asUint(addr, 'addr'), bytes, bytes.length]);
  }

  /** Presents an SLE44xx card's security code; WrongCodeError when wrong,
   * CodeLockedError once its tries are spent. */
  async presentCode(code) {
    const bytes = asBytes(code, 'code');
    return this._run('qd500_present_code', [bytes, bytes.length]);
  }

  /** Changes an SLE44xx card's security code (the old one presented first). */
  async changeCode(code) {
    const bytes = asBytes(code, 'code');
    return this._run('qd500_change_code', [bytes, bytes.length]);
  }

  /** true for each byte from addr that is write-protected. */
  async readProtection(addr, length) {
    const flags = await this._read('qd500_read_protection', [asUint(addr, 'addr')], length);
    return Array.from(flags, (flag) => flag !== 0);
  }

  /** Write-protects bytes from addr: an SLE4442/4432 protects those its data
   * matches, an SLE4428/4418 writes the data and protects it. */
  async protect(addr, data) {
    const bytes = asBytes(data, 'data');
    return this._run('qd500_protect', [asUint(addr, 'addr'), bytes, bytes.length]);
  }

  /** Presents an AT88SC card's security code at addr. */
  async at88Verify(addr, code) {
    const bytes = asBytes(code, 'code');
    return this._run('qd500_at88_verify', [asUint(addr, 'addr', 0xffff), bytes, bytes.length]);
  }

  async at88Erase(addr, length) {
    return this._run('qd500_at88_erase', [asUint(addr, 'addr', 0xffff), asUint(length, 'length', 255)]);
  }

  async at88Personalise(addr) {
    return this._run('qd500_at88_personalise', [asUint(addr, 'addr', 0xffff)]);
  }

  /** An AT24Cxx read in one sequence: power on, read, power off. */
  async at24Read(addr, length, device = 0) {
    return this._read('qd500_at24_read', [asUint(device, 'device', 255), asUint(addr, 'addr')], length);
  }

  /** An AT24Cxx write in one sequence: power on, write, power off. */
  async at24Write(addr, data, device = 0) {
    const bytes = asBytes(data, 'data');
    return this._run('qd500_at24_write', [asUint(device, 'device', 255), asUint(addr, 'addr'), bytes, bytes.length]);
  }

  // ---- magnetic stripe ----

  /** Waits (up to the time-out) for a swipe and reads the tracks asked for:
   * { track2, track3, unreadable2, unreadable3 } ("" when not read or unreadable). */
  async readTracks({ track2 = true, track3 = true } = {}) {
    const which = (track2 ? TRACK2 : 0) | (track3 ? TRACK3 : 0);
    const size = native.TRACK_MAX + 1;
    const two = Buffer.alloc(size);
    const three = Buffer.alloc(size);
    const unreadable = Buffer.alloc(4);
    await this._run('qd500_read_tracks', [which, two, size, three, size, unreadable]);
    const text = (buffer) => buffer.toString('latin1', 0, Math.max(buffer.indexOf(0), 0));
    const bits = koffi.decode(unreadable, 'unsigned int');
    return { track2: text(two), track3: text(three), unreadable2: !!(bits & TRACK2), unreadable3: !!(bits & TRACK3) };
  }

  /** Writes track 2 and/or track 3 (null: left as it is); prefix sends the
   * head's write-mode prefix first. */
  async writeTracks({ track2 = null, track3 = null, prefix = false } = {}) {
    const two = track2 === null ? null : asText(track2, 'track2', true);
    const three = track3 === null ? null : asText(track3, 'track3', true);
    return this._run('qd500_write_tracks', [two, three, prefix ? 1 : 0]);
  }

  /** The head's setting letter: one of magSettingLetters(), in any case. */
  async magSetting(letter) {
    asText(letter, 'setting', true);
    if (letter.length !== 1) throw new RangeError('the setting is one letter');
    return this._run('qd500_mag_setting', [letter.charCodeAt(0)]);
  }

  // ---- the calls ----

  _live() {
    if (this._handle === null || this._closing) throw new Error('the reader is closed');
    return this._handle;
  }

  /** Runs task after every call made before it settled. */
  _turn(task) {
    const run = this._tail.then(task);
    this._tail = run.catch(() => {});
    return run;
  }

  /** Raises a failed call's error; its turn is not over, so the message
   * and status are still this call's. */
  _check(result) {
    if (result !== 0) {
      const status = this._lib.qd500_status(this._handle) || '';
      throw errors.errorFor(result, status, this._lib.qd500_message(this._handle) || '');
    }
  }

  /** One call of the library on a worker thread, in this reader's turn. */
  async _run(name, args) {
    const handle = this._live();
    return this._turn(async () => {
      if (this._handle === null) throw new Error('the reader is closed');
      this._check(await native.callAsync(this._lib[name], [handle, ...args]));
    });
  }

  /** A read of length bytes into a Buffer of that size. */
  async _read(name, args, length) {
    const data = Buffer.alloc(asUint(length, 'length', 0x7fffffff));
    await this._run(name, [...args, data, data.length]);
    return data;
  }

  /** A call answering data and SW1 SW2. */
  async _respond(name, args, capacity) {
    const buffer = Buffer.alloc(capacity);
    const length = sizeOut();
    await this._run(name, [...args, buffer, capacity, length]);
    return response(buffer, readSize(length));
  }
}

module.exports = { Reader, Response, Personalisation, Direction, asBytes, asText, asUint };
