/*
 * qd500: the reader API for new code, a C interface for any language
 * (ctypes, P/Invoke, cgo, Rust's FFI). One qd500_reader per reader; any
 * number of readers in one process, on any threads. Calls on one reader from
 * several threads are serialized, never interleaved on the line.
 *
 * Results: 0 success; a positive number is the reader's two-digit status
 * code read as a decimal number (21 no card, 23 card not powered, 31 wrong
 * code); negative numbers are the QD500_E_* below. After every call on a
 * reader, qd500_message() gives its result as UTF-8 text and
 * qd500_status() the reader's own two-character status code ("" when the
 * reader gave none). They belong to the reader's last call: threads that
 * share a reader and want the text of their own call hold a lock of their
 * own around the call and the reading.
 *
 * Output capacities are checked before anything is sent, against the most
 * the call can return; QD500_E_BUFFER sends nothing and sets *len to the
 * size needed. Memory reads and writes take any length and any data, zero
 * bytes included.
 *
 * Windows: qd500.dll, __cdecl, plain names. Linux: libqd500.so.
 */
#ifndef QD500_H
#define QD500_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(QD500_BUILDING)
#define QD500_C_API
#else
#define QD500_C_API __declspec(dllimport)
#endif
#define QD500_CDECL __cdecl
#else
#if defined(QD500_BUILDING)
#define QD500_C_API __attribute__((visibility("default")))
#else
#define QD500_C_API
#endif
#define QD500_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Negative results; other languages copy these values. */
#define QD500_E_PARAM (-1)     /* an argument is missing, out of range or of the wrong size */
#define QD500_E_OPEN (-2)      /* the port is missing, busy or forbidden */
#define QD500_E_TIMEOUT (-3)   /* no reply within the time-out */
#define QD500_E_LINE (-4)      /* the line failed or vanished; -4 until qd500_reopen */
#define QD500_E_PROTOCOL (-5)  /* a malformed reply */
#define QD500_E_BUFFER (-6)    /* an output buffer too small: nothing was sent */
#define QD500_E_CANCELLED (-7) /* qd500_cancel ended the call */

/* Sizes. */
#define QD500_ATR_MAX 33       /* the longest answer to reset */
#define QD500_RESPONSE_MAX 258 /* an APDU's response data and SW1 SW2 when Le is 00 or absent */
#define QD500_TRACK_MAX 1024   /* a track's text */

typedef struct qd500_reader qd500_reader;

/* ---- the library ---- */

/* "0.2.0" */
QD500_C_API const char* QD500_CDECL qd500_version(void);
/* English text of a result; never null. */
QD500_C_API const char* QD500_CDECL qd500_strerror(int result);
/* The reader's own text (UTF-8) of its two-character status code ("21"),
 * or null for a code it does not have. */
QD500_C_API const char* QD500_CDECL qd500_status_message(const char* status);

/* ---- opening ---- */

/* port: "COM3", "3" or a device path ("/dev/ttyUSB0", "\\\\.\\COM12"). On
 * Linux COMn is the device named by QD500_COM<n>, else /dev/ttyS<n-1>.
 * 0, or a negative QD500_E_*; the reason is then in qd500_message(NULL).
 * QD500_TRACE_FILE, where set, traces the reader into that file. */
QD500_C_API int QD500_CDECL qd500_open(const char* port, qd500_reader** out);
/* Closes the port and frees the reader; null is allowed. */
QD500_C_API void QD500_CDECL qd500_close(qd500_reader* r);
/* Opens the same port again, after the line failed (a USB adapter pulled
 * out and put back). */
QD500_C_API int QD500_CDECL qd500_reopen(qd500_reader* r);
/* The port as it was given to qd500_open; "" for null. */
QD500_C_API const char* QD500_CDECL qd500_port(const qd500_reader* r);

/* UTF-8 text of the last call's result on r; never null. With null: the
 * calling thread's last failed qd500_open or qd500_card_info. Valid until
 * the next call on r. */
QD500_C_API const char* QD500_CDECL qd500_message(const qd500_reader* r);
/* The reader's two-character status code of the last call ("21"), or ""
 * when the reader gave none. */
QD500_C_API const char* QD500_CDECL qd500_status(const qd500_reader* r);

/* Response time-out of every call (default 10 s). An answer that comes
 * after its call gave up and waits when the next call starts is dropped
 * then; the line carries no sequence numbers, so one that comes while the
 * next call waits cannot be told from that call's answer: give the reader
 * a time-out above its slowest answer. */
QD500_C_API int QD500_CDECL qd500_set_timeout(qd500_reader* r, unsigned seconds);
QD500_C_API int QD500_CDECL qd500_set_timeout_ms(qd500_reader* r, unsigned ms);

/* Traces every frame and reply into the file at path, each line tagged with
 * the port; null or "" stops. A reader traces only when asked. */
QD500_C_API int QD500_CDECL qd500_set_trace(qd500_reader* r, const char* path);

#define QD500_SENT 0
#define QD500_RECEIVED 1
/* Called on the calling thread with every frame sent and every reply
 * received; null clears. */
typedef void(QD500_CDECL* qd500_observer)(void* ctx, int direction, const unsigned char* bytes, size_t len);
QD500_C_API int QD500_CDECL qd500_set_observer(qd500_reader* r, qd500_observer fn, void* ctx);

/* Called once per cycle while a call waits for the reader; null clears. */
typedef void(QD500_CDECL* qd500_idle)(void* ctx);
QD500_C_API int QD500_CDECL qd500_set_idle(qd500_reader* r, qd500_idle fn, void* ctx);

/* From another thread: ends the call waiting on r (a swipe, a slow reply)
 * with QD500_E_CANCELLED. No effect when no call waits. */
QD500_C_API int QD500_CDECL qd500_cancel(qd500_reader* r);

/* ---- card type, power, device ---- */

/* The card-type names ("CPU", "S4442", "AT24C16", ...), in any case. */
QD500_C_API int QD500_CDECL qd500_select_card(qd500_reader* r, const char* type);
/* The reader's type byte of a name (0x42 for "S4442"), or -1; and the name
 * of a type byte, or null. The card's memory size in bytes (0 for a CPU
 * card), or -1. */
QD500_C_API int QD500_CDECL qd500_card_type_code(const char* type);
QD500_C_API const char* QD500_CDECL qd500_card_type_name(int code);
QD500_C_API int QD500_CDECL qd500_card_size(const char* type);

/* What the library knows of a card type. A caller sets size to
 * sizeof(struct qd500_card_info) as it was compiled; the library fills only the
 * fields that lie wholly within size and writes nothing past it, so a
 * caller built against an older, shorter struct keeps working. The struct
 * is named as the function that fills it, like struct stat and stat():
 * declare it as struct qd500_card_info. */
#define QD500_FAMILY_CPU 0
#define QD500_FAMILY_SLE4442 1 /* S4442, S4432 */
#define QD500_FAMILY_SLE4428 2 /* S4428, S4418 */
#define QD500_FAMILY_AT24 3
#define QD500_FAMILY_AT88SC 4

#define QD500_FEATURE_MEMORY 0x001          /* qd500_read_memory, qd500_write_memory */
#define QD500_FEATURE_PRESENT_CODE 0x002    /* a code of code_length bytes to present */
#define QD500_FEATURE_CHANGE_CODE 0x004     /* qd500_change_code */
#define QD500_FEATURE_READ_PROTECTION 0x008 /* qd500_read_protection */
#define QD500_FEATURE_PROTECT 0x010         /* qd500_protect */
#define QD500_FEATURE_AT88_VERIFY 0x020
#define QD500_FEATURE_AT88_ERASE 0x040
#define QD500_FEATURE_AT88_PERSONALISE 0x080
#define QD500_FEATURE_AT24_SEQUENCE 0x100 /* qd500_at24_read, qd500_at24_write */
#define QD500_FEATURE_APDU 0x200          /* qd500_transmit and the CPU-card calls */

struct qd500_card_info {
    size_t size;              /* set by the caller: sizeof(struct qd500_card_info) */
    const char* name;         /* "S4442", as qd500_select_card takes it; static */
    unsigned code;            /* the reader's type byte */
    int family;               /* QD500_FAMILY_* */
    unsigned memory_size;     /* bytes of card memory; 0 for a CPU card */
    unsigned code_length;     /* bytes of its security code; 0: none */
    unsigned code_tries;      /* wrong codes in a row before it locks; 0: none or unknown */
    unsigned protected_bytes; /* bytes from address 0 that protection covers; 0: none */
    unsigned features;        /* QD500_FEATURE_* bits */
    const char* alias;        /* the name people use beside it ("SLE4442"), also taken; null: none */
};

/* The type of a name, in any case, or of the name people use for it
 * ("SLE4442" for "S4442"): 0, or QD500_E_PARAM (an unknown name, a
 * null info, or a size too small for even its own field; the reason is
 * then in qd500_message(NULL)). */
QD500_C_API int QD500_CDECL qd500_card_info(const char* type, struct qd500_card_info* info);
/* The types in the library's order: their count, and the one at index
 * (0, or QD500_E_PARAM past the end). */
QD500_C_API int QD500_CDECL qd500_card_type_count(void);
QD500_C_API int QD500_CDECL qd500_card_info_at(unsigned index, struct qd500_card_info* info);

QD500_C_API int QD500_CDECL qd500_power_on(qd500_reader* r, unsigned char* atr, size_t cap, size_t* len);
QD500_C_API int QD500_CDECL qd500_power_off(qd500_reader* r);
/* The three state fields of the device status, each as the byte its two
 * hex characters give. */
QD500_C_API int QD500_CDECL qd500_device_status(qd500_reader* r, unsigned char state[3]);
QD500_C_API int QD500_CDECL qd500_eject(qd500_reader* r);
/* 0..99 */
QD500_C_API int QD500_CDECL qd500_set_device_no(qd500_reader* r, unsigned number);
/* The firmware's version text (bytes as the reader sends them, not
 * terminated); cap 128 always suffices. */
QD500_C_API int QD500_CDECL qd500_version_text(qd500_reader* r, char* text, size_t cap, size_t* len);
/* One frame of the reader's own command protocol, for tools that speak it:
 * body is the frame's body as hex text (2 to 250 hex digits, an even count;
 * the frame's checksum is added here). On a reply, status receives its two
 * status characters and data_hex its data field as the reader sent it,
 * NUL-terminated and cut to cap - 1; the result is the status as a number,
 * QD500_E_PROTOCOL for a status that is not two digits. */
QD500_C_API int QD500_CDECL qd500_send_frame(qd500_reader* r, const char* body, char status[3], char* data_hex,
                                             size_t cap);

/* ---- CPU cards ---- */

/* One APDU (case 1 to 4, short form). resp receives the response data and
 * SW1 SW2; no automatic GET RESPONSE: 61xx and 6Cxx come back as they are.
 * cap must hold Le + 2 (258 when Le is 00 or absent). An answer with more
 * data than its Le asked for is QD500_E_PROTOCOL. */
QD500_C_API int QD500_CDECL qd500_transmit(qd500_reader* r, const unsigned char* apdu, size_t len, unsigned char* resp,
                                           size_t cap, size_t* resp_len);
/* The same, following 61xx with GET RESPONSE and 6Cxx with the APDU again
 * under the Le the card asked for, until another status word comes. The
 * capacity is checked first against the APDU's own Le; should the chain
 * bring more than cap holds, the result is QD500_E_BUFFER after the
 * exchanges, with *resp_len the size the whole response needed. */
QD500_C_API int QD500_CDECL qd500_transmit_get_response(qd500_reader* r, const unsigned char* apdu, size_t len,
                                                        unsigned char* resp, size_t cap, size_t* resp_len);
QD500_C_API int QD500_CDECL qd500_get_response(qd500_reader* r, unsigned le, unsigned char* resp, size_t cap,
                                               size_t* resp_len);
/* The reader's own PIN command (5600): reference, PIN bytes. */
QD500_C_API int QD500_CDECL qd500_check_pin(qd500_reader* r, unsigned ref, const unsigned char* pin, size_t len);

/* The steps of a payment card's file-system set-up; data is each step's
 * input (none for the first three). resp as for qd500_transmit. */
enum qd500_personalisation {
    QD500_DELETE_MF = 0,
    QD500_CREATE_MF,
    QD500_END_MF,
    QD500_CREATE_DF,
    QD500_END_DF,
    QD500_CREATE_FILE,
    QD500_SELECT_FILE,
    QD500_WRITE_KEY,
    QD500_WRITE_BINARY,
    QD500_APPEND_RECORD
};
QD500_C_API int QD500_CDECL qd500_personalise(qd500_reader* r, int step, const unsigned char* data, size_t len,
                                              unsigned char* resp, size_t cap, size_t* resp_len);

/* ---- memory cards ---- */

/* Card memory by address, of any length (split into the reader's reads of
 * 128 bytes and writes of 121). The reader's addresses have 16 bits: a
 * range past 0xFFFF (addr + len > 0x10000) is QD500_E_PARAM, here and in
 * the protection and AT24 calls. */
QD500_C_API int QD500_CDECL qd500_read_memory(qd500_reader* r, unsigned addr, unsigned char* data, size_t len);
QD500_C_API int QD500_CDECL qd500_write_memory(qd500_reader* r, unsigned addr, const unsigned char* data, size_t len);
/* SLE44xx programmable security code: present it, change it. */
QD500_C_API int QD500_CDECL qd500_present_code(qd500_reader* r, const unsigned char* code, size_t len);
QD500_C_API int QD500_CDECL qd500_change_code(qd500_reader* r, const unsigned char* code, size_t len);
/* SLE44xx protection: flags[i] is 1 when byte addr+i is write-protected.
 * qd500_protect writes and protects (an SLE4442/4432 protects the bytes its
 * data matches; an SLE4428/4418 writes the data and protects it). */
QD500_C_API int QD500_CDECL qd500_read_protection(qd500_reader* r, unsigned addr, unsigned char* flags, size_t len);
QD500_C_API int QD500_CDECL qd500_protect(qd500_reader* r, unsigned addr, const unsigned char* data, size_t len);
/* AT88SC: the security code at addr, erase, personalisation. */
QD500_C_API int QD500_CDECL qd500_at88_verify(qd500_reader* r, unsigned addr, const unsigned char* code, size_t len);
QD500_C_API int QD500_CDECL qd500_at88_erase(qd500_reader* r, unsigned addr, unsigned len);
QD500_C_API int QD500_CDECL qd500_at88_personalise(qd500_reader* r, unsigned addr);
/* AT24Cxx in one sequence: device number, card type (the AT24 type
 * selected last, else AT24C16), power on, the data, power off. */
QD500_C_API int QD500_CDECL qd500_at24_read(qd500_reader* r, unsigned device, unsigned addr, unsigned char* data,
                                            size_t len);
QD500_C_API int QD500_CDECL qd500_at24_write(qd500_reader* r, unsigned device, unsigned addr, const unsigned char* data,
                                             size_t len);

/* ---- magnetic stripe ---- */

#define QD500_TRACK2 1
#define QD500_TRACK3 2
/* Waits (up to the time-out) for a swipe and reads the tracks asked for.
 * Each text is NUL-terminated; cap QD500_TRACK_MAX + 1 always suffices. A
 * track the head could not read comes back empty with its bit set in
 * *unreadable (which may be null). */
QD500_C_API int QD500_CDECL qd500_read_tracks(qd500_reader* r, unsigned tracks, char* track2, size_t cap2, char* track3,
                                              size_t cap3, unsigned* unreadable);
/* Writes track 2 and/or track 3 (null: not written); prefix 1 sends the
 * head's write-mode prefix first. */
QD500_C_API int QD500_CDECL qd500_write_tracks(qd500_reader* r, const char* track2, const char* track3, int prefix);
/* The head's setting letter: one of qd500_mag_setting_letters() (in any case). */
QD500_C_API int QD500_CDECL qd500_mag_setting(qd500_reader* r, char letter);
/* The setting letters the head knows, in upper case: "ABCDKRZ". */
QD500_C_API const char* QD500_CDECL qd500_mag_setting_letters(void);

/* ---- DES, triple-DES, key diversity, PIN blocks (no reader) ---- */

QD500_C_API int QD500_CDECL qd500_des_encrypt(const unsigned char key[8], const unsigned char in[8],
                                              unsigned char out[8]);
QD500_C_API int QD500_CDECL qd500_des_decrypt(const unsigned char key[8], const unsigned char in[8],
                                              unsigned char out[8]);
/* Two-key triple-DES (K1 K2 K1). */
QD500_C_API int QD500_CDECL qd500_3des_encrypt(const unsigned char key[16], const unsigned char in[8],
                                               unsigned char out[8]);
QD500_C_API int QD500_CDECL qd500_3des_decrypt(const unsigned char key[16], const unsigned char in[8],
                                               unsigned char out[8]);
/* The 16-byte key diversified from a master key by 8 bytes of data. */
QD500_C_API int QD500_CDECL qd500_diversify(const unsigned char key[16], const unsigned char data[8],
                                            unsigned char out[16]);
/* ISO 9564-1 format 0 PIN block: pin 4 to 12 digits (as text), pan the
 * account number's digits (13 to 19; the 12 before its check digit are
 * used), encrypted under a single-DES key (key_len 8) or a two-key
 * triple-DES key (16). */
QD500_C_API int QD500_CDECL qd500_pin_block(const char* pin, const char* pan, const unsigned char* key, size_t key_len,
                                            unsigned char out[8]);
/* The PIN digits of a block, as NUL-terminated text (cap 13 always
 * suffices); QD500_E_PROTOCOL when the block is no format-0 block of that
 * account number. */
QD500_C_API int QD500_CDECL qd500_pin_from_block(const unsigned char block[8], const char* pan,
                                                 const unsigned char* key, size_t key_len, char* pin, size_t cap);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QD500_H */
