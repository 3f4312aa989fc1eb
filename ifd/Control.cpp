// Input of the driver's control codes, checked before anything is sent.
#include "Control.h"

#include <cstring>

#include "qd500.h"

namespace qd500::ifd {

namespace {

ControlRequest Refused() {
    ControlRequest request;
    request.op = ControlOp::Refused;
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
// no text. A NUL would cut the text the head is given.
bool TakeTexts(const uint8_t* in, size_t len, ControlRequest& request) {
    const char* text = reinterpret_cast<const char*>(in);
    if (std::memchr(text, '\0', len)) return false;
    const char* sep = static_cast<const char*>(std::memchr(text, kTrackSeparator, len));
    if (!sep || std::memchr(sep + 1, kTrackSeparator, len - (sep + 1 - text))) return false;
    request.text2.assign(text, sep);
    request.text3.assign(sep + 1, text + len);
    return (request.track2 || request.text2.empty()) && (request.track3 || request.text3.empty());
}

}  // namespace

ControlRequest ParseControl(unsigned long code, const uint8_t* in, size_t len) {
    if (!in) len = 0;
    ControlRequest request;
    switch (code) {
        case kFeatureRequest:
            request.op = ControlOp::Features;
            return request;
        case kReadTracks:
            if (len != 2 || !TakeTracks(in, len, request)) return Refused();
            request.op = ControlOp::ReadTracks;
            return request;
        case kWriteTracks:
            if (!TakeTracks(in, len, request) || !TakeTexts(in + 2, len - 2, request)) return Refused();
            request.op = ControlOp::WriteTracks;
            return request;
        case kHeadSetting:
            if (len != 1) return Refused();
            request.op = ControlOp::HeadSetting;
            request.letter = static_cast<char>(in[0]);
            return request;
        case kFirmwareVersion:
            if (len != 0) return Refused();
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

}  // namespace qd500::ifd
