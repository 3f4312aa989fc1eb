// qd500: the C++ API of the card reader, a header-only layer over the C
// handle API (qd500.h), so that it works with any compiler whatever built
// the library.
//
//   qd500::Reader reader("/dev/ttyUSB0");       // or "COM3", or 3
//   reader.SelectCard("CPU");
//   qd500::Bytes atr = reader.PowerOn();
//   qd500::Response r = reader.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, true);
//   if (r.sw() != 0x9000) ...
//
// Failures throw qd500::Error: result() as qd500.h numbers it, status() the
// reader's two-character code, message() the reader's text (UTF-8), what()
// in English.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qd500.h"

namespace qd500 {

using Bytes = std::vector<std::uint8_t>;

class Error : public std::runtime_error {
public:
    Error(int result, std::string status, std::string message)
        : std::runtime_error(Describe(result, message)),
          m_result(result),
          m_status(std::move(status)),
          m_message(std::move(message)) {}
    int result() const noexcept { return m_result; }
    const std::string& status() const noexcept { return m_status; }
    const std::string& message() const noexcept { return m_message; }

private:
    static std::string Describe(int result, const std::string& message) {
        std::string text = "result " + std::to_string(result) + ": " + qd500_strerror(result);
        return message.empty() ? text : text + " (" + message + ")";
    }
    int m_result;
    std::string m_status;
    std::string m_message;
};

// An APDU's response: the data and the status word.
class Response {
public:
    Response() = default;
    explicit Response(Bytes all) : m_data(std::move(all)) {
        if (m_data.size() >= 2) {
            m_sw = static_cast<std::uint16_t>(m_data[m_data.size() - 2] << 8 | m_data.back());
            m_data.resize(m_data.size() - 2);
        }
    }
    const Bytes& data() const noexcept { return m_data; }
    std::uint16_t sw() const noexcept { return m_sw; }
    std::uint8_t sw1() const noexcept { return static_cast<std::uint8_t>(m_sw >> 8); }
    std::uint8_t sw2() const noexcept { return static_cast<std::uint8_t>(m_sw & 0xFF); }

private:
    Bytes m_data;
    std::uint16_t m_sw = 0;
};

struct Tracks {
    std::string track2, track3;
    bool unreadable2 = false, unreadable3 = false;
};

enum class Personalisation {
    DeleteMf = QD500_DELETE_MF,
    CreateMf = QD500_CREATE_MF,
    EndMf = QD500_END_MF,
    CreateDf = QD500_CREATE_DF,
    EndDf = QD500_END_DF,
    CreateFile = QD500_CREATE_FILE,
    SelectFile = QD500_SELECT_FILE,
    WriteKey = QD500_WRITE_KEY,
    WriteBinary = QD500_WRITE_BINARY,
    AppendRecord = QD500_APPEND_RECORD,
};

class Reader {
public:
    // "COM3", "3" or a device path.
    explicit Reader(const std::string& port) {
        int result = qd500_open(port.c_str(), &m_r);
        if (result != 0) throw Error(result, "", qd500_message(nullptr));
    }
    explicit Reader(int com) : Reader("COM" + std::to_string(com)) {}
    ~Reader() { qd500_close(m_r); }
    Reader(Reader&& other) noexcept : m_r(std::exchange(other.m_r, nullptr)) {}
    Reader& operator=(Reader&& other) noexcept {
        if (this != &other) {
            qd500_close(m_r);
            m_r = std::exchange(other.m_r, nullptr);
        }
        return *this;
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    qd500_reader* handle() const noexcept { return m_r; }
    std::string port() const { return qd500_port(m_r); }

    void Reopen() { Check(qd500_reopen(m_r)); }
    void SetTimeoutMs(unsigned ms) { Check(qd500_set_timeout_ms(m_r, ms)); }
    void SetTrace(const std::string& path) { Check(qd500_set_trace(m_r, path.c_str())); }
    void SetObserver(qd500_observer fn, void* ctx) { Check(qd500_set_observer(m_r, fn, ctx)); }
    void SetIdle(qd500_idle fn, void* ctx) { Check(qd500_set_idle(m_r, fn, ctx)); }
    // From another thread: ends the call that waits.
    void Cancel() noexcept { qd500_cancel(m_r); }

    // ---- card type, power, device ----
    void SelectCard(const std::string& type) { Check(qd500_select_card(m_r, type.c_str())); }
    Bytes PowerOn() {
        Bytes atr(QD500_ATR_MAX);
        size_t n = 0;
        Check(qd500_power_on(m_r, atr.data(), atr.size(), &n));
        atr.resize(n);
        return atr;
    }
    void PowerOff() { Check(qd500_power_off(m_r)); }
    std::vector<std::uint8_t> DeviceStatus() {
        Bytes state(3);
        Check(qd500_device_status(m_r, state.data()));
        return state;
    }
    void Eject() { Check(qd500_eject(m_r)); }
    void SetDeviceNo(unsigned number) { Check(qd500_set_device_no(m_r, number)); }
    std::string Version() {
        std::string text(128, '\0');
        size_t n = 0;
        Check(qd500_version_text(m_r, &text[0], text.size(), &n));
        text.resize(n);
        return text;
    }

    // ---- CPU cards ----
    // getResponse follows 61xx and 6Cxx.
    Response Transmit(const Bytes& apdu, bool getResponse = false) {
        // Room for a chain of GET RESPONSEs, too.
        Bytes resp(getResponse ? 16 * QD500_RESPONSE_MAX : QD500_RESPONSE_MAX);
        size_t n = 0;
        Check(getResponse ? qd500_transmit_get_response(m_r, apdu.data(), apdu.size(), resp.data(), resp.size(), &n)
                          : qd500_transmit(m_r, apdu.data(), apdu.size(), resp.data(), resp.size(), &n));
        resp.resize(n);
        return Response(std::move(resp));
    }
    Response GetResponse(unsigned le) {
        Bytes resp(QD500_RESPONSE_MAX);
        size_t n = 0;
        Check(qd500_get_response(m_r, le, resp.data(), resp.size(), &n));
        resp.resize(n);
        return Response(std::move(resp));
    }
    void CheckPin(unsigned ref, const Bytes& pin) { Check(qd500_check_pin(m_r, ref, pin.data(), pin.size())); }
    Response Personalise(Personalisation step, const Bytes& input = {}) {
        Bytes resp(QD500_RESPONSE_MAX);
        size_t n = 0;
        Check(qd500_personalise(m_r, static_cast<int>(step), input.data(), input.size(), resp.data(), resp.size(), &n));
        resp.resize(n);
        return Response(std::move(resp));
    }

    // ---- memory cards ----
    Bytes ReadMemory(unsigned addr, size_t len) {
        Bytes data(len);
        Check(qd500_read_memory(m_r, addr, data.data(), len));
        return data;
    }
    void WriteMemory(unsigned addr, const Bytes& data) {
        Check(qd500_write_memory(m_r, addr, data.data(), data.size()));
    }
    void PresentCode(const Bytes& code) { Check(qd500_present_code(m_r, code.data(), code.size())); }
    void ChangeCode(const Bytes& code) { Check(qd500_change_code(m_r, code.data(), code.size())); }
    // 1 where a byte is write-protected.
    Bytes ReadProtection(unsigned addr, size_t len) {
        Bytes flags(len);
        Check(qd500_read_protection(m_r, addr, flags.data(), len));
        return flags;
    }
    void Protect(unsigned addr, const Bytes& data) { Check(qd500_protect(m_r, addr, data.data(), data.size())); }
    void At88Verify(unsigned addr, const Bytes& code) { Check(qd500_at88_verify(m_r, addr, code.data(), code.size())); }
    void At88Erase(unsigned addr, unsigned len) { Check(qd500_at88_erase(m_r, addr, len)); }
    void At88Personalise(unsigned addr) { Check(qd500_at88_personalise(m_r, addr)); }
    Bytes At24Read(unsigned device, unsigned addr, size_t len) {
        Bytes data(len);
        Check(qd500_at24_read(m_r, device, addr, data.data(), len));
        return data;
    }
    void At24Write(unsigned device, unsigned addr, const Bytes& data) {
        Check(qd500_at24_write(m_r, device, addr, data.data(), data.size()));
    }

    // ---- magnetic stripe ----
    Tracks ReadTracks(bool track2 = true, bool track3 = true) {
        std::string t2(QD500_TRACK_MAX + 1, '\0'), t3(QD500_TRACK_MAX + 1, '\0');
        unsigned unreadable = 0;
        unsigned which = (track2 ? QD500_TRACK2 : 0u) | (track3 ? QD500_TRACK3 : 0u);
        Check(qd500_read_tracks(m_r, which, &t2[0], t2.size(), &t3[0], t3.size(), &unreadable));
        Tracks tracks;
        tracks.track2 = t2.c_str();
        tracks.track3 = t3.c_str();
        tracks.unreadable2 = unreadable & QD500_TRACK2;
        tracks.unreadable3 = unreadable & QD500_TRACK3;
        return tracks;
    }
    // An empty pointer leaves that track alone.
    void WriteTracks(const char* track2, const char* track3, bool prefix = false) {
        Check(qd500_write_tracks(m_r, track2, track3, prefix ? 1 : 0));
    }
    void MagSetting(char letter) { Check(qd500_mag_setting(m_r, letter)); }

private:
    void Check(int result) const {
        if (result != 0) throw Error(result, qd500_status(m_r), qd500_message(m_r));
    }
    qd500_reader* m_r = nullptr;
};

// ---- DES helpers (no reader); a key or block of the wrong size throws ----
namespace detail {
inline void Check(int result) {
    if (result != 0) throw Error(result, "", "");
}
using BlockFn = int (*)(const unsigned char*, const unsigned char*, unsigned char*);
inline Bytes Cipher(const Bytes& key, size_t keyLen, const Bytes& in, BlockFn fn) {
    if (key.size() != keyLen || in.size() != 8) throw Error(QD500_E_PARAM, "", "");
    Bytes out(8);
    Check(fn(key.data(), in.data(), out.data()));
    return out;
}
}  // namespace detail

inline Bytes DesEncrypt(const Bytes& key, const Bytes& in) { return detail::Cipher(key, 8, in, qd500_des_encrypt); }
inline Bytes DesDecrypt(const Bytes& key, const Bytes& in) { return detail::Cipher(key, 8, in, qd500_des_decrypt); }
inline Bytes TripleDesEncrypt(const Bytes& key, const Bytes& in) {
    return detail::Cipher(key, 16, in, qd500_3des_encrypt);
}
inline Bytes TripleDesDecrypt(const Bytes& key, const Bytes& in) {
    return detail::Cipher(key, 16, in, qd500_3des_decrypt);
}
inline Bytes Diversify(const Bytes& key, const Bytes& data) {
    if (key.size() != 16 || data.size() != 8) throw Error(QD500_E_PARAM, "", "");
    Bytes out(16);
    detail::Check(qd500_diversify(key.data(), data.data(), out.data()));
    return out;
}
// Key of 8 bytes (DES) or 16 (two-key triple-DES).
inline Bytes PinBlock(const std::string& pin, const std::string& pan, const Bytes& key) {
    Bytes out(8);
    detail::Check(qd500_pin_block(pin.c_str(), pan.c_str(), key.data(), key.size(), out.data()));
    return out;
}
inline std::string PinFromBlock(const Bytes& block, const std::string& pan, const Bytes& key) {
    if (block.size() != 8) throw Error(QD500_E_PARAM, "", "");
    char pin[13] = {};
    detail::Check(qd500_pin_from_block(block.data(), pan.c_str(), key.data(), key.size(), pin, sizeof pin));
    return pin;
}

}  // namespace qd500
