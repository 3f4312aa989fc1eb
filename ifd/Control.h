// The codes of SCardControl the driver answers, and the layouts of their
// input and output. Pure: no reader, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qd500::ifd {

// SCARD_CTL_CODE(n) as pcsc-lite defines it.
constexpr unsigned long ControlCode(unsigned n) { return 0x42000000ul + n; }
constexpr unsigned long kFeatureRequest = ControlCode(3400);
// PC/SC v2 part 10's FEATURE_GET_TLV_PROPERTIES, at the code the feature
// list names.
constexpr unsigned long kTlvProperties = ControlCode(3401);
constexpr unsigned long kReadTracks = ControlCode(3500);
constexpr unsigned long kWriteTracks = ControlCode(3501);
constexpr unsigned long kHeadSetting = ControlCode(3502);
constexpr unsigned long kFirmwareVersion = ControlCode(3503);

// The tracks byte: track 2, track 3, or both.
constexpr uint8_t kTracks2 = 0x02, kTracks3 = 0x03, kTracks23 = 0x23;
// Between the track texts, in the input of a write and the output of a read.
constexpr char kTrackSeparator = 0x1C;

// The status byte every output starts with: 0 success, 1..99 the reader's
// status code, else one of these.
constexpr uint8_t kStatusRefused = 0xFD;  // the input was malformed: nothing was sent
constexpr uint8_t kStatusTimeout = 0xFE;
constexpr uint8_t kStatusLine = 0xFF;

enum class ControlOp : uint8_t {
    Unknown,
    Refused,
    Features,
    TlvProperties,
    ReadTracks,
    WriteTracks,
    HeadSetting,
    Version
};

// The feature list CM_IOCTL_GET_FEATURE_REQUEST answers: FEATURE_GET_TLV_PROPERTIES (0x12) at kTlvProperties.
std::string FeatureList();
// The reader's properties: dwMaxAPDUDataSize (0x0A), the most answer data a
// reply frame carries.
std::string TlvProperties();

struct ControlRequest {
    ControlOp op = ControlOp::Unknown;
    bool track2 = false, track3 = false;  // the tracks asked for
    unsigned seconds = 0;                 // how long to wait for the swipe; 0: the driver's default
    std::string text2, text3;             // a write's texts
    char letter = 0;                      // the head setting
    const char* refusal = "";             // why a Refused request was refused
};

ControlRequest ParseControl(unsigned long code, const uint8_t* in, size_t len);

// The status byte of a handle-API result.
uint8_t StatusByte(int result);

}  // namespace qd500::ifd
