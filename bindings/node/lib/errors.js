'use strict';
// What a failed call rejects with: ReaderError and its subclasses.

const native = require('./native');

const NO_CARD = 21;
const WRONG_CODE = 31;
const CODE_LOCKED = 33;
const CARD_REFUSED = 41;

/** A call the library or the reader refused. result: the reader's two-digit
 * status as a number (21 no card, 31 wrong code) or one of the library's
 * negative codes; status: the reader's two characters ("" when it gave
 * none); readerMessage: the library's text (UTF-8, as the reader words it);
 * sw: the card's status word when the card refused, else null. message is
 * English. */
class ReaderError extends Error {
  constructor(result, status = '', readerMessage = '', sw = null) {
    let text = `result ${result}: ${native.strerror(result)}`;
    if (sw !== null) text += `, card status ${sw.toString(16).toUpperCase().padStart(4, '0')}`;
    if (readerMessage) text += ` (${readerMessage})`;
    super(text);
    this.name = new.target.name;
    this.result = result;
    this.status = status;
    this.readerMessage = readerMessage;
    this.sw = sw;
  }
}

/** The library refused an argument; nothing was sent. */
class ArgumentError extends ReaderError {}
/** The port is missing, busy or forbidden; port names it as the library does. */
class PortError extends ReaderError {
  constructor(result, status, readerMessage, sw) {
    super(result, status, readerMessage, sw);
    // The library's text: ...[PORT]: REASON
    const found = /\[(.*)\](?:: (.*))?$/.exec(readerMessage || '');
    this.port = found ? found[1] : '';
    this.reason = found && found[2] ? found[2] : readerMessage;
  }
}
/** No reply within the reader's time-out. */
class TimeoutError extends ReaderError {}
/** The line failed or vanished; every call fails until reopen(). */
class LineError extends ReaderError {}
/** The reader's reply was malformed. */
class ProtocolError extends ReaderError {}
/** cancel() ended the call. */
class CancelledError extends ReaderError {}
/** No card in the reader. */
class NoCardError extends ReaderError {}
/** A wrong PIN or security code; triesLeft where the card tells (a CPU
 * card's 63Cx), null where it does not (SLE44xx through this reader). */
class WrongCodeError extends ReaderError {
  constructor(result, status, readerMessage, sw = null, triesLeft = null) {
    super(result, status, readerMessage, sw);
    this.triesLeft = triesLeft;
  }
}
/** The code's error counter is spent: no tries are left. */
class CodeLockedError extends WrongCodeError {
  constructor(result, status, readerMessage, sw = null) {
    super(result, status, readerMessage, sw, 0);
  }
}

const CLASSES = new Map([
  [native.E_PARAM, ArgumentError],
  [native.E_OPEN, PortError],
  [native.E_TIMEOUT, TimeoutError],
  [native.E_LINE, LineError],
  [native.E_PROTOCOL, ProtocolError],
  [native.E_CANCELLED, CancelledError],
  [NO_CARD, NoCardError],
  [WRONG_CODE, WrongCodeError],
  [CODE_LOCKED, CodeLockedError],
]);

/** The error of a failed call's result. */
function errorFor(result, status, readerMessage) {
  const Class = CLASSES.get(result) || ReaderError;
  return new Class(result, status, readerMessage);
}

module.exports = {
  ReaderError, ArgumentError, PortError, TimeoutError, LineError, ProtocolError, CancelledError,
  NoCardError, WrongCodeError, CodeLockedError, errorFor, NO_CARD, WRONG_CODE, CODE_LOCKED, CARD_REFUSED,
};
