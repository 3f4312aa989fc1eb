// TLS with Windows' own (Schannel): the handshake and the records through
// SSPI, the server's certificate checked here (Schannel is told to leave it
// to us): its chain to the CA of ca= (or to a root the system trusts), then
// its name, with IP addresses matched against the certificate's own.
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// Winsock first.
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/SystemReason.h"
#include "platform/Tls.h"

namespace qd500 {

namespace {

constexpr DWORD kContextFlags = ISC_REQ_STREAM | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_MANUAL_CRED_VALIDATION;
// Chain errors that say nothing against the chain: revocation could not be
// looked up (no network, no CRL of a private CA).
constexpr DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

std::string Hex(long value) {
    char text[16];
    wsprintfA(text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// The system's text of a status or error code, with the code.
std::string StatusText(long status) {
    return SystemReason(static_cast<unsigned long>(status)) + " (" + Hex(status) + ")";
}

uint32_t NowMs() { return GetTickCount(); }

// Waits until the socket is readable (or writable) or ms pass.
bool WaitSocket(SOCKET s, bool write, uint32_t ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval bound{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &bound) > 0;
}

// Sends all of bytes, waiting for room at most waitMs each time; false on
// failure.
bool SendAll(SOCKET s, const char* bytes, size_t n, uint32_t waitMs) {
    while (n > 0) {
        int sent = send(s, bytes, static_cast<int>(n), 0);
        if (sent > 0) {
            bytes += sent;
            n -= static_cast<size_t>(sent);
        } else if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!WaitSocket(s, true, waitMs)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// The DER of every "-----BEGIN label-----" block of a PEM file; false with
// the reason when the file cannot be read.
bool PemBlocks(const std::string& path, const std::string& label, std::vector<std::vector<BYTE>>& out,
               std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot read it";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    const std::string pem = text.str(), begin = "-----BEGIN " + label + "-----", end = "-----END " + label + "-----";
    for (size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at + 1)) {
        size_t stop = pem.find(end, at);
        if (stop == std::string::npos) break;
        const std::string block = pem.substr(at, stop + end.size() - at);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                 &size, nullptr, nullptr)) {
            der.resize(size);
            out.push_back(std::move(der));
        }
    }
    return true;
}

// Every certificate of a PEM file, into a memory store; null with the reason.
HCERTSTORE LoadCaFile(const std::string& path, std::string* why) {
    std::vector<std::vector<BYTE>> blocks;
    std::string reason;
    if (!PemBlocks(path, "CERTIFICATE", blocks, &reason)) {
        *why = "cannot use the CA file " + path + ": " + reason;
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    int added = 0;
    for (const std::vector<BYTE>& der : blocks)
        if (store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            ++added;
    if (!store || added == 0) {
        if (store) CertCloseStore(store, 0);
        *why = "cannot use the CA file " + path + ": no PEM certificate in it";
        return nullptr;
    }
    return store;
}

// One DER element at p (within end): its tag and its contents; false when
// it does not fit.
bool DerElement(const BYTE*& p, const BYTE* end, BYTE& tag, const BYTE*& contents, size_t& length) {
    if (end - p < 2) return false;
    tag = *p++;
    size_t n = *p++;
    if (n & 0x80) {
        size_t bytes = n & 0x7F;
        if (bytes == 0 || bytes > 3 || static_cast<size_t>(end - p) < bytes) return false;
        n = 0;
        while (bytes--) n = n << 8 | *p++;
    }
    if (static_cast<size_t>(end - p) < n) return false;
    contents = p;
    length = n;
    p += n;
    return true;
}

// The RSAPrivateKey inside a PKCS #8 PrivateKeyInfo, or empty when it is
// not one of an RSA key.
std::vector<BYTE> RsaKeyOfPkcs8(const std::vector<BYTE>& der) {
    static const BYTE kRsaOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};  // 1.2.840.113549.1.1.1
    const BYTE *p = der.data(), *end = der.data() + der.size(), *body, *item;
    BYTE tag;
    size_t n, m;
    if (!DerElement(p, end, tag, body, n) || tag != 0x30) return {};
    p = body;
    end = body + n;
    if (!DerElement(p, end, tag, item, m) || tag != 0x02) return {};  // the version
    if (!DerElement(p, end, tag, item, m) || tag != 0x30) return {};  // the algorithm
    const BYTE *q = item, *oid;
    size_t oidLength;
    if (!DerElement(q, item + m, tag, oid, oidLength) || tag != 0x06 || oidLength != sizeof kRsaOid ||
        std::memcmp(oid, kRsaOid, sizeof kRsaOid) != 0)
        return {};
    if (!DerElement(p, end, tag, item, m) || tag != 0x04) return {};  // the key
    return std::vector<BYTE>(item, item + m);
}

// A client certificate and its RSA key for Schannel: the key imported into
// a key container of this session's own, which the certificate names; the
// container goes with it.
class ClientCertificate {
public:
    ~ClientCertificate() {
        if (m_cert) CertFreeCertificateContext(m_cert);
        if (!m_container.empty()) {
            HCRYPTPROV gone = 0;
            CryptAcquireContextW(&gone, m_container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
        }
    }
    PCCERT_CONTEXT cert() const { return m_cert; }

    // False with the reason.
    bool Load(const std::string& certFile, const std::string& keyFile, std::string* why) {
        std::vector<std::vector<BYTE>> certs, keys, rsaKeys;
        std::string reason;
        if (!PemBlocks(certFile, "CERTIFICATE", certs, &reason) || certs.empty()) {
            *why = "cannot use the client certificate " + certFile + ": " +
                   (reason.empty() ? "no PEM certificate in it" : reason);
            return false;
        }
        m_cert = CertCreateCertificateContext(X509_ASN_ENCODING, certs[0].data(), static_cast<DWORD>(certs[0].size()));
        if (!m_cert) {
            *why =
                "cannot use the client certificate " + certFile + ": " + StatusText(static_cast<long>(GetLastError()));
            return false;
        }
        if (!PemBlocks(keyFile, "PRIVATE KEY", keys, &reason) ||
            !PemBlocks(keyFile, "RSA PRIVATE KEY", rsaKeys, &reason)) {
            *why = "cannot use the client key " + keyFile + ": " + reason;
            return false;
        }
        std::vector<BYTE> rsa = !rsaKeys.empty() ? rsaKeys[0]
                                : !keys.empty()  ? RsaKeyOfPkcs8(keys[0])
                                                 : std::vector<BYTE>();
        BYTE* blob = nullptr;
        DWORD blobSize = 0;
        if (rsa.empty() ||
            !CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, rsa.data(), static_cast<DWORD>(rsa.size()),
                                 CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize)) {
            *why = "cannot use the client key " + keyFile + ": on Windows it must be an unencrypted RSA key in PEM";
            return false;
        }
        static LONG sessions = 0;
        wchar_t name[64];
        wsprintfW(name, L"qd500-tls-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&sessions));
        HCRYPTPROV provider = 0;
        HCRYPTKEY key = 0;
        bool ok = CryptAcquireContextW(&provider, name, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET);
        if (ok) m_container = name;
        ok = ok && CryptImportKey(provider, blob, blobSize, 0, CRYPT_EXPORTABLE, &key);
        const DWORD failure = ok ? 0 : GetLastError();
        LocalFree(blob);
        // The key is the certificate's: its public half is the certificate's.
        DWORD publicSize = 0;
        bool matches =
            ok && CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &publicSize);
        std::vector<BYTE> publicBytes(matches ? publicSize : 0);
        auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicBytes.data());
        matches = matches &&
                  CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, publicKey, &publicSize) &&
                  CertComparePublicKeyInfo(X509_ASN_ENCODING, publicKey, &m_cert->pCertInfo->SubjectPublicKeyInfo);
        if (key) CryptDestroyKey(key);
        if (provider) CryptReleaseContext(provider, 0);
        if (!ok) {
            *why = "cannot use the client key " + keyFile + ": " + StatusText(static_cast<long>(failure));
            return false;
        }
        if (!matches) {
            *why = "the client key " + keyFile + " is not the key of the certificate " + certFile;
            return false;
        }
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = name;
        info.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
        info.dwProvType = PROV_RSA_AES;
        info.dwKeySpec = AT_KEYEXCHANGE;
        if (!CertSetCertificateContextProperty(m_cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
            *why =
                "cannot use the client certificate " + certFile + ": " + StatusText(static_cast<long>(GetLastError()));
            return false;
        }
        return true;
    }

private:
    PCCERT_CONTEXT m_cert = nullptr;
    std::wstring m_container;
};

bool InStore(HCERTSTORE store, PCCERT_CONTEXT cert) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
    if (found) CertFreeCertificateContext(found);
    return found != nullptr;
}

// The certificate names the IP address of these bytes (among its
// subjectAltName's entries).
bool NamesAddress(PCCERT_CONTEXT cert, const std::string& address) {
    PCERT_EXTENSION ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool match = false;
    for (DWORD i = 0; i < names->cAltEntry && !match; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        match = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == address.size() &&
                std::memcmp(e.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return match;
}

// The host as an IP address's bytes (4 or 16); empty when it is a name.
std::string AddressBytes(const std::string& host) {
    sockaddr_storage parsed{};
    std::string copy = host;
    int len = sizeof parsed;
    if (WSAStringToAddressA(&copy[0], AF_INET, nullptr, reinterpret_cast<sockaddr*>(&parsed), &len) == 0)
        return std::string(reinterpret_cast<const char*>(&reinterpret_cast<sockaddr_in*>(&parsed)->sin_addr), 4);
    len = sizeof parsed;
    if (WSAStringToAddressA(&copy[0], AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&parsed), &len) == 0)
        return std::string(reinterpret_cast<const char*>(&reinterpret_cast<sockaddr_in6*>(&parsed)->sin6_addr), 16);
    return {};
}

// The server's certificate against the CA of ca= (or the system's roots) and
// the host; empty when it passes, else the reason.
std::string CheckServer(PCCERT_CONTEXT server, const NetworkPort& port) {
    std::string why;
    HCERTSTORE ca = nullptr;
    if (!port.caFile.empty() && !(ca = LoadCaFile(port.caFile, &why))) return why;
    // The chain from what the server sent and the CA file's certificates.
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
    if (ca) CertAddStoreToCollection(extra, ca, 0, 0);
    CERT_CHAIN_PARA params{};
    params.cbSize = sizeof params;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, server, nullptr, extra, &params, 0, nullptr, &chain)) {
        why = "the server's certificate could not be checked: " + StatusText(static_cast<long>(GetLastError()));
    } else {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        DWORD errors = chain->TrustStatus.dwErrorStatus & ~kRevocationUnknown;
        // With ca= only that CA is trusted; without it, a root of the system's.
        if (ca) {
            if (!InStore(ca, root) || (simple->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN))
                why = "the server's certificate was refused: it is not signed by the CA of ca=";
            errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        } else if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
            why = "the server's certificate was refused: it is not signed by a CA this system trusts";
        }
        if (why.empty() && (errors & CERT_TRUST_IS_NOT_TIME_VALID))
            why = "the server's certificate was refused: it has expired or is not yet valid";
        if (why.empty() && (errors & CERT_TRUST_IS_REVOKED))
            why = "the server's certificate was refused: it is revoked";
        if (why.empty() && errors)
            why = "the server's certificate was refused: its chain does not verify (" + Hex(static_cast<long>(errors)) +
                  ")";
        // The name: an IP address among the certificate's addresses; a host
        // name by the system's rules for servers (its DNS names, wildcards).
        const std::string address = AddressBytes(port.host);
        if (why.empty() && !address.empty()) {
            if (!NamesAddress(server, address))
                why = "the server's certificate is not for " + port.host + " (IP address mismatch)";
        } else if (why.empty()) {
            std::wstring name(port.host.begin(), port.host.end());
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
            ssl.cbSize = sizeof ssl;
            ssl.dwAuthType = AUTHTYPE_SERVER;
            ssl.pwszServerName = &name[0];
            CERT_CHAIN_POLICY_PARA policy{};
            policy.cbSize = sizeof policy;
            policy.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;  // the chain was judged above
            policy.pvExtraPolicyPara = &ssl;
            CERT_CHAIN_POLICY_STATUS status{};
            status.cbSize = sizeof status;
            if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
                why = "the server's certificate could not be checked: " + StatusText(static_cast<long>(GetLastError()));
            else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
                why = "the server's certificate is not for " + port.host + " (hostname mismatch)";
            else if (status.dwError != 0 && status.dwError != static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) &&
                     status.dwError != static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK) &&
                     status.dwError != static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE))
                why = "the server's certificate was refused: " + StatusText(static_cast<long>(status.dwError));
        }
        CertFreeCertificateChain(chain);
    }
    CertCloseStore(extra, 0);
    if (ca) CertCloseStore(ca, 0);
    return why;
}

}  // namespace

struct TlsSession::Handles {
    ClientCertificate client;  // outlives the credentials that use it
    SOCKET socket = INVALID_SOCKET;
    CredHandle credentials{};
    CtxtHandle context{};
    bool haveCredentials = false, haveContext = false;
    SecPkgContext_StreamSizes sizes{};
    std::string received;  // records not yet decrypted (the start of one)
    std::string plain;     // decrypted, not yet taken
    bool closed = false;   // the server's close notify or the connection's end came

    ~Handles() {
        if (haveContext) DeleteSecurityContext(&context);
        if (haveCredentials) FreeCredentialsHandle(&credentials);
    }
};

std::unique_ptr<TlsSession> TlsSession::Start(uintptr_t socket, const NetworkPort& port, uint32_t ms,
                                              std::string* why) {
    auto fail = [&](const std::string& text) -> std::unique_ptr<TlsSession> {
        if (why) *why = text;
        return nullptr;
    };
    std::unique_ptr<TlsSession> tls(new TlsSession);
    tls->m_h = new Handles;
    Handles& h = *tls->m_h;
    h.socket = static_cast<SOCKET>(socket);

    SCHANNEL_CRED credentials{};
    PCCERT_CONTEXT client = nullptr;
    if (!port.certFile.empty()) {
        std::string reason;
        if (!h.client.Load(port.certFile, port.keyFile, &reason)) return fail(reason);
        client = h.client.cert();
        credentials.cCreds = 1;
        credentials.paCred = &client;
        tls->m_certificateGiven = true;
    }
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &credentials,
                                  nullptr, nullptr, &h.credentials, &expiry);
    if (status != SEC_E_OK) return fail("cannot start TLS: " + StatusText(status));
    h.haveCredentials = true;

    const uint32_t start = NowMs();
    std::string target = port.host;  // the name the server is asked for (SNI)
    std::string in;
    for (;;) {
        SecBuffer inBuffers[2] = {{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, &in[0]},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, outBuffers};
        DWORD granted = 0;
        status = InitializeSecurityContextA(&h.credentials, h.haveContext ? &h.context : nullptr, &target[0],
                                            kContextFlags, 0, 0, h.haveContext ? &inDesc : nullptr, 0,
                                            h.haveContext ? nullptr : &h.context, &outDesc, &granted, &expiry);
        if (!h.haveContext && !FAILED(status)) h.haveContext = true;
        if (outBuffers[0].cbBuffer && outBuffers[0].pvBuffer) {
            bool sent = SendAll(h.socket, static_cast<const char*>(outBuffers[0].pvBuffer), outBuffers[0].cbBuffer, ms);
            FreeContextBuffer(outBuffers[0].pvBuffer);
            if (!sent)
                return fail("the TLS handshake with " + port.Where() + " failed: the connection failed while sending");
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate: go on without one
            // (the server decides whether that will do).
            tls->m_certificateAsked = true;
            continue;
        }
        if (status == SEC_E_OK) {
            // What came after the handshake is the first record's start.
            if (inBuffers[1].BufferType == SECBUFFER_EXTRA) h.received = in.substr(in.size() - inBuffers[1].cbBuffer);
            break;
        }
        if (status == SEC_I_CONTINUE_NEEDED) {
            in = inBuffers[1].BufferType == SECBUFFER_EXTRA ? in.substr(in.size() - inBuffers[1].cbBuffer)
                                                            : std::string();
            if (!in.empty()) continue;
        } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
            return fail("the TLS handshake with " + port.Where() + " failed: " + StatusText(status));
        }
        // More of the server's handshake is needed.
        for (;;) {
            char buffer[8192];
            int n = recv(h.socket, buffer, sizeof buffer, 0);
            if (n > 0) {
                in.append(buffer, static_cast<size_t>(n));
                break;
            }
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
                return fail("the TLS handshake with " + port.Where() + " failed: the server closed the connection");
            uint32_t waited = NowMs() - start;
            if (waited >= ms || !WaitSocket(h.socket, false, ms - waited))
                return fail("the TLS handshake with " + port.Where() + " did not finish within " +
                            std::to_string(port.timeoutMs) + " ms");
        }
    }

    PCCERT_CONTEXT server = nullptr;
    status = QueryContextAttributesA(&h.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
    if (status != SEC_E_OK || !server) return fail("the server sent no certificate");
    std::string refused = CheckServer(server, port);
    CertFreeCertificateContext(server);
    if (!refused.empty()) return fail(refused);
    status = QueryContextAttributesA(&h.context, SECPKG_ATTR_STREAM_SIZES, &h.sizes);
    if (status != SEC_E_OK) return fail("cannot start TLS: " + StatusText(status));
    return tls;
}

TlsSession::~TlsSession() {
    if (!m_h) return;
    if (m_h->haveContext && !m_ended) {
        // The close notify, without waiting for the server's.
        DWORD token = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof token, SECBUFFER_TOKEN, &token};
        SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
        if (ApplyControlToken(&m_h->context, &controlDesc) == SEC_E_OK) {
            SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
            DWORD granted = 0;
            TimeStamp expiry;
            InitializeSecurityContextA(&m_h->credentials, &m_h->context, nullptr, kContextFlags, 0, 0, nullptr, 0,
                                       nullptr, &outDesc, &granted, &expiry);
            if (out.pvBuffer) {
                SendAll(m_h->socket, static_cast<const char*>(out.pvBuffer), out.cbBuffer, 100);
                FreeContextBuffer(out.pvBuffer);
            }
        }
    }
    delete m_h;
}

int TlsSession::Send(const char* bytes, int count) {
    Handles& h = *m_h;
    if (m_ended) return -1;
    const size_t n = std::min<size_t>(static_cast<size_t>(count), h.sizes.cbMaximumMessage);
    std::string record(h.sizes.cbHeader + n + h.sizes.cbTrailer, '\0');
    std::memcpy(&record[h.sizes.cbHeader], bytes, n);
    SecBuffer buffers[4] = {{h.sizes.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
                            {static_cast<unsigned long>(n), SECBUFFER_DATA, &record[h.sizes.cbHeader]},
                            {h.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[h.sizes.cbHeader + n]},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&h.context, 0, &desc, 0) != SEC_E_OK) {
        m_ended = true;
        return -1;
    }
    // A record goes whole: the line's own output is small (a frame), so the
    // wait for room is short.
    if (!SendAll(h.socket, record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer, 1000)) {
        m_ended = true;
        return -1;
    }
    return static_cast<int>(n);
}

int TlsSession::Receive(char* bytes, int capacity) {
    Handles& h = *m_h;
    if (h.plain.empty() && !h.closed) {
        for (;;) {
            char buffer[16384];
            int n = recv(h.socket, buffer, sizeof buffer, 0);
            if (n > 0) {
                h.received.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) h.closed = true;
            break;
        }
        while (!h.received.empty()) {
            SecBuffer buffers[4] = {{static_cast<unsigned long>(h.received.size()), SECBUFFER_DATA, &h.received[0]},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            SECURITY_STATUS status = DecryptMessage(&h.context, &desc, 0, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE) break;
            if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED) {
                m_alert = StatusText(status);
                m_ended = true;
                return -1;
            }
            std::string extra;
            for (const SecBuffer& b : buffers) {
                if (b.BufferType == SECBUFFER_DATA) h.plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                if (b.BufferType == SECBUFFER_EXTRA) extra = h.received.substr(h.received.size() - b.cbBuffer);
            }
            h.received = extra;
            if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close notify
                h.closed = true;
                break;
            }
        }
    }
    if (!h.plain.empty()) {
        int n = static_cast<int>(std::min<size_t>(h.plain.size(), static_cast<size_t>(capacity)));
        std::memcpy(bytes, h.plain.data(), static_cast<size_t>(n));
        h.plain.erase(0, static_cast<size_t>(n));
        return n;
    }
    if (h.closed) {
        m_ended = true;
        return -1;
    }
    return 0;
}

}  // namespace qd500
