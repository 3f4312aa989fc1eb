'use strict';
// The handle API's shared library through koffi: found once, every function declared.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');

const E_PARAM = -1;
const E_OPEN = -2;
const E_TIMEOUT = -3;
const E_LINE = -4;
const E_PROTOCOL = -5;
const E_BUFFER = -6;
const E_CANCELLED = -7;

const ATR_MAX = 33;
const RESPONSE_MAX = 258;
const TRACK_MAX = 1024;
const VERSION_MAX = 128;

// The installed library answers to its SONAME; a build tree has the bare name.
const LIBRARY_NAMES = process.platform === 'win32' ? ['qd500.dll'] : ['libqd500.so.0', 'libqd500.so'];

/** Where the library is looked for, in order: QD500_LIBRARY alone when set,
 * else beside the package, then in the library folder of the prefix it was
 * installed under (PREFIX/lib/node_modules/qd500), then the system's search. */
function candidates(env = process.env) {
  if (env.QD500_LIBRARY) return [env.QD500_LIBRARY];
  const here = path.resolve(__dirname, '..');
  const prefixLib = path.resolve(here, '..', '..');
  const places = [];
  for (const folder of [here, prefixLib]) {
    for (const name of LIBRARY_NAMES) places.push(path.join(folder, name));
  }
  return places.filter((p) => fs.existsSync(p)).concat(LIBRARY_NAMES);
}

function load() {
  const tried = [];
  for (const place of candidates()) {
    try {
      return koffi.load(place);
    } catch (error) {
      tried.push(`${place}: ${error.message}`);
    }
  }
  throw new Error('the qd500 library was not found (set QD500_LIBRARY to its path); tried ' + tried.join('; '));
}

const CardInfo = koffi.struct('qd500_card_info', {
  size: 'size_t',
  name: 'const char *',
  code: 'unsigned int',
  family: 'int',
  memory_size: 'unsigned int',
  code_length: 'unsigned int',
  code_tries: 'unsigned int',
  protected_bytes: 'unsigned int',
  features: 'unsigned int',
  alias: 'const char *',
});
const Handle = koffi.pointer('qd500_reader', koffi.opaque());
const Observer = koffi.proto('void qd500_observer(void *ctx, int direction, const uint8_t *bytes, size_t len)');

// Byte buffers in and out are Buffers passed in place ('uint8_t *'); koffi
// keeps them alive for an asynchronous call.
const SIGNATURES = [
  'const char *qd500_version(void)',
  'const char *qd500_strerror(int result)',
  'const char *qd500_status_message(const char *status)',
  'int qd500_open(const char *port, _Out_ qd500_reader **out)',
  'void qd500_close(qd500_reader *r)',
  'int qd500_reopen(qd500_reader *r)',
  'const char *qd500_port(qd500_reader *r)',
  'const char *qd500_message(qd500_reader *r)',
  'const char *qd500_status(qd500_reader *r)',
  'int qd500_set_timeout_ms(qd500_reader *r, unsigned int ms)',
  'int qd500_set_trace(qd500_reader *r, const char *path)',
  'int qd500_set_observer(qd500_reader *r, qd500_observer *fn, void *ctx)',
  'int qd500_cancel(qd500_reader *r)',
  'int qd500_select_card(qd500_reader *r, const char *type)',
  'int qd500_card_size(const char *type)',
  'int qd500_card_info(const char *type, _Inout_ qd500_card_info *info)',
  'int qd500_card_type_count(void)',
  'int qd500_card_info_at(unsigned int index, _Inout_ qd500_card_info *info)',
  'int qd500_power_on(qd500_reader *r, uint8_t *atr, size_t cap, size_t *len)',
  'int qd500_power_off(qd500_reader *r)',
  'int qd500_device_status(qd500_reader *r, uint8_t *state)',
  'int qd500_eject(qd500_reader *r)',
  'int qd500_set_device_no(qd500_reader *r, unsigned int number)',
  'int qd500_version_text(qd500_reader *r, uint8_t *text, size_t cap, size_t *len)',
  'int qd500_transmit(qd500_reader *r, const uint8_t *apdu, size_t len, uint8_t *resp, size_t cap, size_t *resp_len)',
  'int qd500_transmit_get_response(qd500_reader *r, const uint8_t *apdu, size_t len, uint8_t *resp, size_t cap, size_t *resp_len)',
  'int qd500_get_response(qd500_reader *r, unsigned int le, uint8_t *resp, size_t cap, size_t *resp_len)',
  'int qd500_check_pin(qd500_reader *r, unsigned int ref, const uint8_t *pin, size_t len)',
  'int qd500_personalise(qd500_reader *r, int step, const uint8_t *data, size_t len, uint8_t *resp, size_t cap, size_t *resp_len)',
  'int qd500_read_memory(qd500_reader *r, unsigned int addr, uint8_t *data, size_t len)',
  'int qd500_write_memory(qd500_reader *r, unsigned int addr, const uint8_t *data, size_t len)',
  'int qd500_present_code(qd500_reader *r, const uint8_t *code, size_t len)',
  'int qd500_change_code(qd500_reader *r, const uint8_t *code, size_t len)',
  'int qd500_read_protection(qd500_reader *r, unsigned int addr, uint8_t *flags, size_t len)',
  'int qd500_protect(qd500_reader *r, unsigned int addr, const uint8_t *data, size_t len)',
  'int qd500_at88_verify(qd500_reader *r, unsigned int addr, const uint8_t *code, size_t len)',
  'int qd500_at88_erase(qd500_reader *r, unsigned int addr, unsigned int len)',
  'int qd500_at88_personalise(qd500_reader *r, unsigned int addr)',
  'int qd500_at24_read(qd500_reader *r, unsigned int device, unsigned int addr, uint8_t *data, size_t len)',
  'int qd500_at24_write(qd500_reader *r, unsigned int device, unsigned int addr, const uint8_t *data, size_t len)',
  'int qd500_read_tracks(qd500_reader *r, unsigned int tracks, uint8_t *track2, size_t cap2, uint8_t *track3, size_t cap3, unsigned int *unreadable)',
  'int qd500_write_tracks(qd500_reader *r, const char *track2, const char *track3, int prefix)',
  'int qd500_mag_setting(qd500_reader *r, char letter)',
  'const char *qd500_mag_setting_letters(void)',
  'int qd500_des_encrypt(const uint8_t *key, const uint8_t *in, uint8_t *out)',
  'int qd500_des_decrypt(const uint8_t *key, const uint8_t *in, uint8_t *out)',
  'int qd500_3des_encrypt(const uint8_t *key, const uint8_t *in, uint8_t *out)',
  'int qd500_3des_decrypt(const uint8_t *key, const uint8_t *in, uint8_t *out)',
  'int qd500_diversify(const uint8_t *key, const uint8_t *data, uint8_t *out)',
  'int qd500_pin_block(const char *pin, const char *pan, const uint8_t *key, size_t key_len, uint8_t *out)',
  'int qd500_pin_from_block(const uint8_t *block, const char *pan, const uint8_t *key, size_t key_len, uint8_t *pin, size_t cap)',
];

let loaded = null;

/** The library's functions by name, loaded on first use. */
function lib() {
  if (loaded === null) {
    const library = load();
    const fns = {};
    for (const signature of SIGNATURES) {
      const fn = library.func(signature);
      fns[signature.match(/(qd500_\w+)\(/)[1]] = fn;
    }
    loaded = fns;
  }
  return loaded;
}

/** A call through koffi's worker threads, as a promise of its result. */
function callAsync(fn, args) {
  return new Promise((resolve, reject) => {
    fn.async(...args, (error, result) => (error ? reject(error) : resolve(result)));
  });
}

function strerror(result) {
  return lib().qd500_strerror(result) || '';
}

module.exports = {
  E_PARAM, E_OPEN, E_TIMEOUT, E_LINE, E_PROTOCOL, E_BUFFER, E_CANCELLED,
  ATR_MAX, RESPONSE_MAX, TRACK_MAX, VERSION_MAX, LIBRARY_NAMES,
  CardInfo, Observer, koffi, candidates, lib, callAsync, strerror,
};
