// The handle API's reader and the way its calls report: every function of
// qd500.h takes its reader's lock, runs the reader core, and turns where the
// command ended into a result and a UTF-8 message.
#pragma once

#include <string>

#include "cards/MemoryCard.h"
#include "qd500.h"
#include "reader/CardReader.h"

struct qd500_reader {
    qd500::CardReader reader;
    std::string port;     // as given to qd500_open
    std::string message;  // UTF-8, of the last call
    char status[3] = {};  // the reader's status code of the last call
};

namespace qd500::api {

// A result with its message (the UTF-8 text given, or the result's own).
int Fail(qd500_reader* r, int result, const char* message = nullptr);
// The result and message of where a command ended.
int Finish(qd500_reader* r, const Outcome& out);
// The same for a typed operation of many exchanges.
int Finish(qd500_reader* r, const Progress& progress);
// Success with the reader's text for it.
int Succeed(qd500_reader* r);
// Arguments refused before anything is sent: QD500_E_PARAM, its message
// written under the reader's lock (another thread may be in a call on it).
int Refuse(qd500_reader* r);
// The same, saying which argument and why.
int Refuse(qd500_reader* r, const std::string& detail);
// What a refused card-type name is told: the name and every name taken.
std::string UnknownCardType(const char* name);
// QD500_E_PARAM of a call on no reader; detail goes after the text of
// QD500_E_PARAM in qd500_message(NULL).
int RefuseUnbound(const char* detail);

// Runs a call on r under its lock: null r is QD500_E_PARAM, a reader whose
// line failed answers QD500_E_LINE until it is opened again.
template <typename Body>
int Call(qd500_reader* r, Body body) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->reader.ClearCancel();
    r->status[0] = '\0';
    if (!r->reader.IsOpen() || r->reader.LineFailed()) return Fail(r, QD500_E_LINE);
    return body();
}

// Bytes as upper-case hex text.
std::string Hex(const unsigned char* bytes, size_t count);

}  // namespace qd500::api
