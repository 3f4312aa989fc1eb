// Input of the driver's control codes, checked before anything is sent.
#include "Control.h"

#include <cstring>

#include "Apdu.h"
#include "qd500.h"

namespace qd500::ifd {

namespace {

ControlRequest Refused(const char* why) {
    ControlRequest request;
    request.op = ControlOp::Refused;
    request.refusal = why;
    return request;
}

// [tracks][seconds] in front of the input of 3500 and 3501.
bool TakeTracks(const uint8_t* in, size_t len, ControlRequest& request) {
    if (len < 2) return false;
    request.track2 = in[0] == kTracks2 || in[0] == kTracks23;
    request.track3 = in[0] == kTracks3 || in[0] == kTracks23;
    request.seconds = in[1];
    return request.track2 || request.track3;
}

// Track 2's text, the separator, track 3's text; a track not written has
// no text. A write of one track may leave out the separator: its text is
// then that track's. A NUL would cut the text the head is given. Null when
// the texts are taken, else why not.
const char* TakeTexts(const uint8_t* in, size_t len, ControlRequest& request) {
    const char* text = reinterpret_cast<const char*>(in);
    if (std::memchr(text, '\0', len)) return "a track's text holds a NUL byte";
    const char* sep = static_cast<const char*>(std::memchr(text, kTrackSeparator, len));
    if (!sep) {
        if (request.track2 && request.track3) return "a write of tracks 2 and 3 needs 1C between their texts";
        (request.track2 ? request.text2 : request.text3).assign(text, text + len);
        return nullptr;
    }
    if (std::memchr(sep + 1, kTrackSeparator, len - (sep + 1 - text))) return "more than one 1C between the texts";
    request.text2.assign(text, sep);
    request.text3.assign(sep + 1, text + len);
    if (!request.track2 && !request.text2.empty()) return "a text for track 2, which the tracks byte leaves out";
    if (!request.track3 && !request.text3.empty()) return "a text for track 3, which the tracks byte leaves out";
    return nullptr;
}

}  // namespace

ControlRequest ParseControl(unsigned long code, const uint8_t* in, size_t len) {
    if (!in) len = 0;
    ControlRequest request;
    switch (code) {
        case kFeatureRequest:
            request.op = ControlOp::Features;
            return request;
        case kTlvProperties:
            request.op = ControlOp::TlvProperties;
            return request;
        case kReadTracks:
            if (len != 2 || !TakeTracks(in, len, request))
                return Refused("3500 takes two bytes: the tracks (02, 03 or 23) and the seconds");
            request.op = ControlOp::ReadTracks;
            return request;
        case kWriteTracks: {
            if (!TakeTracks(in, len, request))
                return Refused("3501 starts with the tracks (02, 03 or 23) and the seconds");
            if (const char* why = TakeTexts(in + 2, len - 2, request)) return Refused(why);
            request.op = ControlOp::WriteTracks;
            return request;
        }
        case kHeadSetting:
            if (len != 1) return Refused("3502 takes one letter");
            request.op = ControlOp::HeadSetting;
            request.letter = static_cast<char>(in[0]);
            return request;
        case kFirmwareVersion:
            if (len != 0) return Refused("3503 takes no input");
            request.op = ControlOp::Version;
            return request;
        default:
            return request;
    }
}

uint8_t StatusByte(int result) {
    if (result >= 0 && result < 100) return static_cast<uint8_t>(result);
    if (result == QD500_E_TIMEOUT) return kStatusTimeout;
    if (result == QD500_E_PARAM) return kStatusRefused;
    return kStatusLine;
}

std::string FeatureList() {
    // tag, length 4, the control code big-endian
    const unsigned long code = kTlvProperties;
    return std::string{0x12,
                       4,
                       static_cast<char>(code >> 24),
                       static_cast<char>(code >> 16),
                       static_cast<char>(code >> 8),
                       static_cast<char>(code)};
}

std::string TlvProperties() {
    // tag, length 4, the value little-endian
    const uint32_t most = kMaxAnswerData;
    return std::string{0x0A,
                       4,
                       static_cast<char>(most),
                       static_cast<char>(most >> 8),
                       static_cast<char>(most >> 16),
                       static_cast<char>(most >> 24)};
}

}  // namespace qd500::ifd
