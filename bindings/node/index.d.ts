// Types of the qd500 package: the card reader over the handle API.

/// <reference types="node" />

export type Port = string | number;
export type Bytes = Buffer | Uint8Array;

/** An APDU's response: its data and its status word. */
export class Response {
  readonly data: Buffer;
  readonly sw: number;
  readonly sw1: number;
  readonly sw2: number;
}

export interface Tracks {
  track2: string;
  track3: string;
  unreadable2: boolean;
  unreadable3: boolean;
}

export declare const Personalisation: {
  readonly DELETE_MF: 0; readonly CREATE_MF: 1; readonly END_MF: 2; readonly CREATE_DF: 3; readonly END_DF: 4;
  readonly CREATE_FILE: 5; readonly SELECT_FILE: 6; readonly WRITE_KEY: 7; readonly WRITE_BINARY: 8;
  readonly APPEND_RECORD: 9;
};
export type Personalisation = (typeof Personalisation)[keyof typeof Personalisation];

export declare const Direction: { readonly SENT: 0; readonly RECEIVED: 1 };
export type Direction = (typeof Direction)[keyof typeof Direction];
export type Observer = (direction: Direction, frame: Buffer) => void;

/** One reader on a serial port. Every call that talks to the reader runs on
 * a worker thread and returns a promise; a reader's calls take turns. */
export class Reader {
  private constructor();
  /** Opens "COM3", 3 or a device path; timeout in seconds (default 10). */
  static open(port: Port, options?: { timeout?: number }): Promise<Reader>;
  readonly closed: boolean;
  readonly port: string;
  readonly timeout: number;
  setTimeout(seconds: number): Promise<void>;
  close(): Promise<void>;
  /** Ends the call that waits (a swipe) with CancelledError. */
  cancel(): void;
  reopen(): Promise<void>;
  setTrace(path: string | null): Promise<void>;
  addObserver(observer: Observer): Promise<void>;
  removeObserver(observer: Observer): Promise<void>;

  selectCard(type: string): Promise<void>;
  powerOn(): Promise<Buffer>;
  powerOff(): Promise<void>;
  deviceStatus(): Promise<Buffer>;
  version(): Promise<string>;
  eject(): Promise<void>;
  setDeviceNo(number: number): Promise<void>;

  transmit(apdu: Bytes, options?: { getResponse?: boolean }): Promise<Response>;
  getResponse(le: number): Promise<Response>;
  verifyPin(pin: Bytes, ref?: number): Promise<void>;
  checkPin(pin: Bytes, ref?: number): Promise<void>;
  personalise(step: Personalisation, data?: Bytes): Promise<Response>;

  readMemory(addr: number, length: number): Promise<Buffer>;
  writeMemory(addr: number, data: Bytes): Promise<void>;
  presentCode(code: Bytes): Promise<void>;
  changeCode(code: Bytes): Promise<void>;
  readProtection(addr: number, length: number): Promise<boolean[]>;
  protect(addr: number, data: Bytes): Promise<void>;
  at88Verify(addr: number, code: Bytes): Promise<void>;
  at88Erase(addr: number, length: number): Promise<void>;
  at88Personalise(addr: number): Promise<void>;
  at24Read(addr: number, length: number, device?: number): Promise<Buffer>;
  at24Write(addr: number, data: Bytes, device?: number): Promise<void>;

  readTracks(options?: { track2?: boolean; track3?: boolean }): Promise<Tracks>;
  writeTracks(options: { track2?: string | null; track3?: string | null; prefix?: boolean }): Promise<void>;
  magSetting(letter: string): Promise<void>;
}

/** A call the library or the reader refused. */
export class ReaderError extends Error {
  /** The reader's two-digit status as a number (21, 31) or a negative library code. */
  readonly result: number;
  /** The reader's two characters ("21"), "" when it gave none. */
  readonly status: string;
  /** The library's text of the failure, as the reader words it. */
  readonly readerMessage: string;
  /** The card's status word when the card refused, else null. */
  readonly sw: number | null;
}
export class ArgumentError extends ReaderError {}
export class PortError extends ReaderError {
  readonly port: string;
  readonly reason: string;
}
export class TimeoutError extends ReaderError {}
export class LineError extends ReaderError {}
export class ProtocolError extends ReaderError {}
export class CancelledError extends ReaderError {}
export class NoCardError extends ReaderError {}
export class WrongCodeError extends ReaderError {
  /** Tries left where the card tells, else null. */
  readonly triesLeft: number | null;
}
export class CodeLockedError extends WrongCodeError {}

export declare const CardFamily: { readonly CPU: 0; readonly SLE4442: 1; readonly SLE4428: 2; readonly AT24: 3; readonly AT88SC: 4 };
export declare const CardFeature: {
  readonly MEMORY: 0x001; readonly PRESENT_CODE: 0x002; readonly CHANGE_CODE: 0x004; readonly READ_PROTECTION: 0x008;
  readonly PROTECT: 0x010; readonly AT88_VERIFY: 0x020; readonly AT88_ERASE: 0x040; readonly AT88_PERSONALISE: 0x080;
  readonly AT24_SEQUENCE: 0x100; readonly APDU: 0x200;
};

export interface CardInfo {
  readonly name: string;
  readonly code: number;
  readonly family: number;
  readonly memorySize: number;
  readonly codeLength: number;
  readonly codeTries: number;
  readonly protectedBytes: number;
  readonly features: number;
  readonly alias: string;
}

export function cardInfo(type: string): CardInfo;
export function cardTypes(): CardInfo[];
export function cardSize(type: string): number;
export function libraryVersion(): string;
export function magSettingLetters(): string;
export function strerror(result: number): string;
export function libraryCandidates(env?: NodeJS.ProcessEnv): string[];

export function desEncrypt(key: Bytes, data: Bytes): Buffer;
export function desDecrypt(key: Bytes, data: Bytes): Buffer;
export function tripleDesEncrypt(key: Bytes, data: Bytes): Buffer;
export function tripleDesDecrypt(key: Bytes, data: Bytes): Buffer;
export function diversify(key: Bytes, data: Bytes): Buffer;
export function pinBlock(pin: string, pan: string, key: Bytes): Buffer;
export function pinFromBlock(block: Bytes, pan: string, key: Bytes): string;
