// The reader's life and its results: opening by name, closing, time-outs,
// traces, observers, cancelling, and the messages of qd500.h.
#include "api/Handle.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cards/CardTypes.h"
#include "platform/Platform.h"
#include "reader/Texts.h"

using namespace qd500;

namespace qd500::api {

namespace {

// The last failed qd500_open of the calling thread.
thread_local std::string t_openMessage;

// The handle API's own texts, beside the reader's (reader/Texts.h).
constexpr char kCancelled[] = "已取消";
constexpr char kBufferTooSmall[] = "缓冲区太小";
constexpr char kMalformedReply[] = "应答格式错误";

const char* OwnText(int result) {
    switch (result) {
        case 0:
            return text::Utf8Of(text::kStatus00);
        case QD500_E_PARAM:
            return text::Utf8Of(text::kParamError);
        case QD500_E_TIMEOUT:
            return text::Utf8Of(text::kCommTimeout);
        case QD500_E_LINE:
            return text::Utf8Of(text::kSerialCommError);
        case QD500_E_BUFFER:
            return kBufferTooSmall;
        case QD500_E_CANCELLED:
            return kCancelled;
        default:
            return kMalformedReply;
    }
}

bool TwoDigits(const char* status) {
    return status[0] >= '0' && status[0] <= '9' && status[1] >= '0' && status[1] <= '9';
}

}  // namespace

int Fail(qd500_reader* r, int result, const char* message) {
    r->message = message ? message : OwnText(result);
    return result;
}

int Succeed(qd500_reader* r) { return Fail(r, 0); }

int Refuse(qd500_reader* r) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->status[0] = '\0';
    return Fail(r, QD500_E_PARAM);
}

int Refuse(qd500_reader* r, const std::string& detail) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->status[0] = '\0';
    r->message = std::string(OwnText(QD500_E_PARAM)) + ": " + detail;
    return QD500_E_PARAM;
}

std::string UnknownCardType(const char* name) {
    // The name as given, but the message stays UTF-8 text: any byte outside
    // printable ASCII is shown as \xNN, and a long name is cut.
    std::string shown;
    constexpr size_t kShown = 40;
    size_t n = name ? strnlen(name, kShown + 1) : 0;
    for (size_t i = 0; i < n && i < kShown; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    if (n > kShown) shown += "...";
    return std::string("unknown card type ") + (name ? "\"" + shown + "\"" : "(null)") + "; the card types are " +
           CardTypeNameList();
}

int RefuseUnbound(const char* detail) {
    t_openMessage = std::string(OwnText(QD500_E_PARAM)) + ": " + detail;
    return QD500_E_PARAM;
}

int Finish(qd500_reader* r, const Outcome& out) {
    switch (out.stage) {
        case Stage::Answered:
            break;
        case Stage::Refused:
            return Fail(r, QD500_E_PARAM);
        case Stage::NoReply:
            return Fail(r, QD500_E_TIMEOUT);
        case Stage::NoHeader:
            return Fail(r, QD500_E_PROTOCOL, kMalformedReply);  // a reply without its header is no time-out
        case Stage::Cancelled:
            return Fail(r, QD500_E_CANCELLED);
        case Stage::NotOpen:
        case Stage::SendFailed:
        case Stage::LineFailed:
            return Fail(r, QD500_E_LINE);
    }
    const Reply& reply = out.reply;
    if (reply.statusEmpty || !TwoDigits(reply.status)) return Fail(r, QD500_E_PROTOCOL);
    std::memcpy(r->status, reply.status, 3);
    const char* gbk = StatusText(reply.status);
    r->message = gbk ? text::Utf8Of(gbk) : std::string("status ") + reply.status;
    return (reply.status[0] - '0') * 10 + (reply.status[1] - '0');
}

int Finish(qd500_reader* r, const Progress& progress) {
    if (progress.malformed) return Fail(r, QD500_E_PROTOCOL);
    return Finish(r, progress.last);
}

std::string Hex(const unsigned char* bytes, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace qd500::api

using namespace qd500::api;

namespace {

// "COM3" or "com3", and "3": a COM number; 0 for anything else.
int ComNumber(const char* port) {
    const char* digits = port;
    if ((port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') && (port[2] == 'M' || port[2] == 'm'))
        digits = port + 3;
    if (!*digits || std::strlen(digits) > 3) return 0;
    for (const char* p = digits; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    return std::atoi(digits);
}

bool OpenNamed(CardReader& reader, const std::string& port) {
    int com = ComNumber(port.c_str());
    return com > 0 ? reader.OpenPort(com) : reader.OpenDevice(port);
}

// The UTF-8 form of a port text ("...[%d]") with the port as it was named.
std::string PortText(const char* gbk, const std::string& port) {
    std::string text = text::Utf8Of(gbk);
    size_t at = text.find("%d");
    return at == std::string::npos ? text : text.replace(at, 2, port);
}

// The port as named, with the device a COM number stands for: "COM7
// (/dev/ttyS6)" for "7".
std::string PortAndDevice(const std::string& port) {
    int com = ComNumber(port.c_str());
    if (com <= 0) return port;
    const std::string name = "COM" + std::to_string(com);
    const std::string device = CurrentPlatform().PortDevice(com);
    return device.empty() || device == name ? name : name + " (" + device + ")";
}

std::string OpenFailure(const std::string& port, const std::string& why) {
    return PortText(text::kCannotOpenPort, PortAndDevice(port)) + (why.empty() ? std::string() : ": " + why);
}

}  // namespace

extern "C" {

QD500_C_API const char* QD500_CDECL qd500_version(void) { return QD500_VERSION; }

QD500_C_API const char* QD500_CDECL qd500_strerror(int result) {
    switch (result) {
        case 0:
            return "success";
        case QD500_E_PARAM:
            return "bad argument: nothing was sent";
        case QD500_E_OPEN:
            return "the port cannot be opened (missing, busy or forbidden)";
        case QD500_E_TIMEOUT:
            return "no reply from the reader within the time-out";
        case QD500_E_LINE:
            return "the line failed or vanished (reopen the reader)";
        case QD500_E_PROTOCOL:
            return "malformed reply from the reader";
        case QD500_E_BUFFER:
            return "output buffer too small: nothing was sent";
        case QD500_E_CANCELLED:
            return "cancelled";
        default:
            break;
    }
    if (result > 0 && result < 100) {
        const char status[3] = {static_cast<char>('0' + result / 10), static_cast<char>('0' + result % 10), '\0'};
        if (const char* meaning = StatusMeaning(status)) return meaning;
    }
    return "unknown result";
}

QD500_C_API const char* QD500_CDECL qd500_status_message(const char* status) {
    if (!status || strnlen(status, 2) < 2) return nullptr;
    const char* gbk = StatusText(status);
    return gbk ? text::Utf8Of(gbk) : nullptr;
}

QD500_C_API int QD500_CDECL qd500_open(const char* port, qd500_reader** out) {
    if (out) *out = nullptr;
    if (!port || !*port || !out) {
        t_openMessage = text::Utf8Of(text::kParamError);
        return QD500_E_PARAM;
    }
    auto* r = new (std::nothrow) qd500_reader;
    if (!r) return QD500_E_PARAM;
    r->port = port;
    if (!OpenNamed(r->reader, r->port)) {
        t_openMessage = OpenFailure(r->port, r->reader.OpenError());
        delete r;
        return QD500_E_OPEN;
    }
    if (const char* trace = std::getenv("QD500_TRACE_FILE"); trace && *trace) r->reader.TraceTo(trace);
    r->reader.SetDropLateBytes(true);
    r->message = PortText(text::kPortOpened, r->port);
    *out = r;
    return 0;
}

QD500_C_API void QD500_CDECL qd500_close(qd500_reader* r) {
    if (!r) return;
    {
        std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
        r->reader.Close();
    }
    delete r;
}

QD500_C_API int QD500_CDECL qd500_reopen(qd500_reader* r) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->status[0] = '\0';
    if (!r->reader.Reopen()) return Fail(r, QD500_E_OPEN, OpenFailure(r->port, r->reader.OpenError()).c_str());
    return Succeed(r);
}

QD500_C_API const char* QD500_CDECL qd500_port(const qd500_reader* r) { return r ? r->port.c_str() : ""; }

QD500_C_API const char* QD500_CDECL qd500_message(const qd500_reader* r) {
    return r ? r->message.c_str() : t_openMessage.c_str();
}

QD500_C_API const char* QD500_CDECL qd500_status(const qd500_reader* r) { return r ? r->status : ""; }

QD500_C_API int QD500_CDECL qd500_set_timeout(qd500_reader* r, unsigned seconds) {
    if (seconds > 0xFFFFFFFFu / 1000u) return QD500_E_PARAM;
    return qd500_set_timeout_ms(r, seconds * 1000u);
}

QD500_C_API int QD500_CDECL qd500_set_timeout_ms(qd500_reader* r, unsigned ms) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->reader.SetTimeoutMs(ms);
    return Succeed(r);
}

QD500_C_API int QD500_CDECL qd500_set_trace(qd500_reader* r, const char* path) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->reader.TraceTo(path ? path : "");
    return Succeed(r);
}

QD500_C_API int QD500_CDECL qd500_set_observer(qd500_reader* r, qd500_observer fn, void* ctx) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->reader.SetObserver(fn, ctx);
    return Succeed(r);
}

QD500_C_API int QD500_CDECL qd500_set_idle(qd500_reader* r, qd500_idle fn, void* ctx) {
    if (!r) return QD500_E_PARAM;
    std::lock_guard<std::recursive_mutex> lock(r->reader.Mutex());
    r->reader.SetIdleHook(fn, ctx);
    return Succeed(r);
}

QD500_C_API int QD500_CDECL qd500_cancel(qd500_reader* r) {
    if (!r) return QD500_E_PARAM;
    // Not under the reader's lock: the call it ends holds it.
    r->reader.Cancel();
    return 0;
}

}  // extern "C"
