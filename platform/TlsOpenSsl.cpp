// TLS with the system's OpenSSL 3, reached through dlopen: only the few
// entry points below are used, declared here, so building needs no OpenSSL
// headers and running needs libssl.so.3 only when a TLS line opens.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "platform/Tls.h"

namespace qd500 {

namespace {

struct SSL_CTX;
struct SSL;
struct SSL_METHOD;
struct X509_VERIFY_PARAM;

// OpenSSL's constants, as its headers define them (stable across 3.x).
constexpr int kSslErrorSsl = 1;
constexpr int kSslErrorWantRead = 2;
constexpr int kSslErrorWantWrite = 3;
constexpr int kSslVerifyPeer = 1;
constexpr int kSslFiletypePem = 1;
constexpr int kCtrlSetTlsextHostname = 55;
constexpr int kCtrlSetMinProtoVersion = 123;
constexpr long kTls12Version = 0x0303;
constexpr long kX509Ok = 0;
constexpr long kX509HostnameMismatch = 62;
constexpr long kX509IpAddressMismatch = 64;

struct OpenSsl {
    const SSL_METHOD* (*TLS_client_method)();
    SSL_CTX* (*SSL_CTX_new)(const SSL_METHOD*);
    void (*SSL_CTX_free)(SSL_CTX*);
    void (*SSL_CTX_set_verify)(SSL_CTX*, int, void*);
    int (*SSL_CTX_load_verify_locations)(SSL_CTX*, const char*, const char*);
    int (*SSL_CTX_set_default_verify_paths)(SSL_CTX*);
    int (*SSL_CTX_use_certificate_chain_file)(SSL_CTX*, const char*);
    int (*SSL_CTX_use_PrivateKey_file)(SSL_CTX*, const char*, int);
    int (*SSL_CTX_check_private_key)(const SSL_CTX*);
    long (*SSL_CTX_ctrl)(SSL_CTX*, int, long, void*);
    void (*SSL_CTX_set_cert_cb)(SSL_CTX*, int (*)(SSL*, void*), void*);
    SSL* (*SSL_new)(SSL_CTX*);
    void (*SSL_free)(SSL*);
    int (*SSL_set_fd)(SSL*, int);
    long (*SSL_ctrl)(SSL*, int, long, void*);
    int (*SSL_set1_host)(SSL*, const char*);
    X509_VERIFY_PARAM* (*SSL_get0_param)(SSL*);
    int (*X509_VERIFY_PARAM_set1_ip_asc)(X509_VERIFY_PARAM*, const char*);
    int (*SSL_connect)(SSL*);
    int (*SSL_read)(SSL*, void*, int);
    int (*SSL_write)(SSL*, const void*, int);
    int (*SSL_get_error)(const SSL*, int);
    long (*SSL_get_verify_result)(const SSL*);
    int (*SSL_shutdown)(SSL*);
    const char* (*X509_verify_cert_error_string)(long);
    unsigned long (*ERR_get_error)();
    const char* (*ERR_reason_error_string)(unsigned long);
    void (*ERR_clear_error)();
};

constexpr char kLibrary[] = "libssl.so.3";

// OpenSSL once loaded stays loaded (its own state lives as long as the
// process); a failed load is tried again at the next open.
const OpenSsl* LoadOpenSsl(std::string* why) {
    static std::mutex lock;
    static OpenSsl ssl;
    static bool loaded = false;
    std::lock_guard<std::mutex> hold(lock);
    if (loaded) return &ssl;
    void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = ::dlerror();
        *why = std::string("TLS lines need OpenSSL 3 (") + kLibrary +
               "), which could not be loaded: " + (error ? error : "not found");
        return nullptr;
    }
    bool complete = true;
    std::string missing;
    auto find = [&](auto& entry, const char* name) {
        void* address = ::dlsym(library, name);  // libssl's and, through it, libcrypto's
        if (!address) {
            complete = false;
            if (missing.empty()) missing = name;
        }
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(address);
    };
#define QD500_FIND(name) find(ssl.name, #name)
    QD500_FIND(TLS_client_method);
    QD500_FIND(SSL_CTX_new);
    QD500_FIND(SSL_CTX_free);
    QD500_FIND(SSL_CTX_set_verify);
    QD500_FIND(SSL_CTX_load_verify_locations);
    QD500_FIND(SSL_CTX_set_default_verify_paths);
    QD500_FIND(SSL_CTX_use_certificate_chain_file);
    QD500_FIND(SSL_CTX_use_PrivateKey_file);
    QD500_FIND(SSL_CTX_check_private_key);
    QD500_FIND(SSL_CTX_ctrl);
    QD500_FIND(SSL_CTX_set_cert_cb);
    QD500_FIND(SSL_new);
    QD500_FIND(SSL_free);
    QD500_FIND(SSL_set_fd);
    QD500_FIND(SSL_ctrl);
    QD500_FIND(SSL_set1_host);
    QD500_FIND(SSL_get0_param);
    QD500_FIND(X509_VERIFY_PARAM_set1_ip_asc);
    QD500_FIND(SSL_connect);
    QD500_FIND(SSL_read);
    QD500_FIND(SSL_write);
    QD500_FIND(SSL_get_error);
    QD500_FIND(SSL_get_verify_result);
    QD500_FIND(SSL_shutdown);
    QD500_FIND(X509_verify_cert_error_string);
    QD500_FIND(ERR_get_error);
    QD500_FIND(ERR_reason_error_string);
    QD500_FIND(ERR_clear_error);
#undef QD500_FIND
    if (!complete) {
        *why = std::string("TLS lines need OpenSSL 3: ") + kLibrary + " has no " + missing;
        ::dlclose(library);
        return nullptr;
    }
    loaded = true;
    return &ssl;
}

uint32_t NowMs() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// OpenSSL's reason for the last failure of this thread, in its own words.
std::string ErrorText(const OpenSsl& ssl, const char* otherwise) {
    std::string text;
    while (unsigned long e = ssl.ERR_get_error()) {
        if (text.empty()) {
            const char* reason = ssl.ERR_reason_error_string(e);
            if (reason) text = reason;
        }
    }
    return text.empty() ? otherwise : text;
}

// OpenSSL writes to the socket with write(): to a connection the server
// closed that raises SIGPIPE, which would end the process. While it runs,
// the signal is held back on this thread and a SIGPIPE it raised is taken.
class QuietPipe {
public:
    QuietPipe() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~QuietPipe() {
        if (!m_wasPending) {
            timespec none{0, 0};
            while (sigtimedwait(&m_pipe, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;

private:
    sigset_t m_pipe, m_old;
    bool m_wasPending = false;
};

bool IsIpAddress(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

struct TlsSession::Handles {
    const OpenSsl* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    SSL* session = nullptr;
};

std::unique_ptr<TlsSession> TlsSession::Start(uintptr_t socket, const NetworkPort& port, uint32_t ms,
                                              std::string* why) {
    const int fd = static_cast<int>(socket);
    std::string reason;
    const OpenSsl* ssl = LoadOpenSsl(&reason);
    auto fail = [&](const std::string& text) -> std::unique_ptr<TlsSession> {
        if (why) *why = text;
        return nullptr;
    };
    if (!ssl) return fail(reason);
    std::unique_ptr<TlsSession> tls(new TlsSession);
    tls->m_h = new Handles;
    Handles& h = *tls->m_h;
    h.ssl = ssl;
    ssl->ERR_clear_error();
    h.ctx = ssl->SSL_CTX_new(ssl->TLS_client_method());
    if (!h.ctx) return fail("cannot start TLS: " + ErrorText(*ssl, "out of memory"));
    ssl->SSL_CTX_ctrl(h.ctx, kCtrlSetMinProtoVersion, kTls12Version, nullptr);
    ssl->SSL_CTX_set_verify(h.ctx, kSslVerifyPeer, nullptr);
    if (!port.caFile.empty()) {
        if (ssl->SSL_CTX_load_verify_locations(h.ctx, port.caFile.c_str(), nullptr) != 1)
            return fail("cannot use the CA file " + port.caFile + ": " + ErrorText(*ssl, "unreadable"));
    } else if (ssl->SSL_CTX_set_default_verify_paths(h.ctx) != 1) {
        return fail("cannot use the system's certificate store: " + ErrorText(*ssl, "unreadable"));
    }
    if (!port.certFile.empty()) {
        if (ssl->SSL_CTX_use_certificate_chain_file(h.ctx, port.certFile.c_str()) != 1)
            return fail("cannot use the client certificate " + port.certFile + ": " + ErrorText(*ssl, "unreadable"));
        if (ssl->SSL_CTX_use_PrivateKey_file(h.ctx, port.keyFile.c_str(), kSslFiletypePem) != 1)
            return fail("cannot use the client key " + port.keyFile + ": " + ErrorText(*ssl, "unreadable"));
        if (ssl->SSL_CTX_check_private_key(h.ctx) != 1)
            return fail("the client key " + port.keyFile + " is not the key of the certificate " + port.certFile);
        tls->m_certificateGiven = true;
    }
    // Called on the client when the server asks for a certificate.
    ssl->SSL_CTX_set_cert_cb(
        h.ctx,
        [](SSL*, void* self) {
            static_cast<TlsSession*>(self)->m_certificateAsked = true;
            return 1;
        },
        tls.get());
    h.session = ssl->SSL_new(h.ctx);
    if (!h.session || ssl->SSL_set_fd(h.session, fd) != 1)
        return fail("cannot start TLS: " + ErrorText(*ssl, "out of memory"));
    bool named =
        IsIpAddress(port.host)
            ? ssl->X509_VERIFY_PARAM_set1_ip_asc(ssl->SSL_get0_param(h.session), port.host.c_str()) == 1
            : ssl->SSL_set1_host(h.session, port.host.c_str()) == 1 &&
                  ssl->SSL_ctrl(h.session, kCtrlSetTlsextHostname, 0, const_cast<char*>(port.host.c_str())) == 1;
    if (!named) return fail("cannot check the server's certificate against the name " + port.host);

    const uint32_t start = NowMs();
    for (;;) {
        ssl->ERR_clear_error();
        int rc;
        {
            QuietPipe quiet;
            rc = ssl->SSL_connect(h.session);
        }
        if (rc == 1) return tls;
        int error = ssl->SSL_get_error(h.session, rc);
        if (error == kSslErrorWantRead || error == kSslErrorWantWrite) {
            uint32_t waited = NowMs() - start;
            if (waited >= ms)
                return fail("the TLS handshake with " + port.Where() + " did not finish within " +
                            std::to_string(port.timeoutMs) + " ms");
            pollfd p{fd, static_cast<short>(error == kSslErrorWantRead ? POLLIN : POLLOUT), 0};
            ::poll(&p, 1, static_cast<int>(ms - waited));
            continue;
        }
        long verified = ssl->SSL_get_verify_result(h.session);
        if (verified == kX509HostnameMismatch || verified == kX509IpAddressMismatch)
            return fail("the server's certificate is not for " + port.host + " (" +
                        ssl->X509_verify_cert_error_string(verified) + ")");
        if (verified != kX509Ok)
            return fail("the server's certificate was refused: " +
                        std::string(ssl->X509_verify_cert_error_string(verified)));
        std::string text = ErrorText(*ssl, "");
        if (text.empty() && error != kSslErrorSsl)
            text = errno ? std::strerror(errno) : "the server closed the connection";
        return fail("the TLS handshake with " + port.Where() + " failed: " + text);
    }
}

TlsSession::~TlsSession() {
    if (!m_h) return;
    if (m_h->session) {
        if (!m_ended) {
            QuietPipe quiet;
            m_h->ssl->SSL_shutdown(m_h->session);  // the close notify, without waiting for one
        }
        m_h->ssl->SSL_free(m_h->session);
    }
    if (m_h->ctx) m_h->ssl->SSL_CTX_free(m_h->ctx);
    m_h->ssl->ERR_clear_error();
    delete m_h;
}

int TlsSession::Send(const char* bytes, int count) {
    const OpenSsl& ssl = *m_h->ssl;
    ssl.ERR_clear_error();
    int n;
    {
        QuietPipe quiet;
        n = ssl.SSL_write(m_h->session, bytes, count);
    }
    if (n > 0) return n;
    int error = ssl.SSL_get_error(m_h->session, n);
    if (error == kSslErrorWantRead || error == kSslErrorWantWrite) return 0;
    if (error == kSslErrorSsl) m_alert = ErrorText(ssl, "");
    m_ended = true;
    return -1;
}

int TlsSession::Receive(char* bytes, int capacity) {
    const OpenSsl& ssl = *m_h->ssl;
    ssl.ERR_clear_error();
    int n;
    {
        QuietPipe quiet;  // reading may answer the server, too
        n = ssl.SSL_read(m_h->session, bytes, capacity);
    }
    if (n > 0) return n;
    int error = ssl.SSL_get_error(m_h->session, n);
    if (error == kSslErrorWantRead || error == kSslErrorWantWrite) return 0;
    // OpenSSL names an EOF without a close notify as an error too; that is
    // no alert of the server's.
    if (error == kSslErrorSsl) m_alert = ErrorText(ssl, "");
    if (m_alert == "unexpected eof while reading") m_alert.clear();
    m_ended = true;
    return -1;
}

}  // namespace qd500
