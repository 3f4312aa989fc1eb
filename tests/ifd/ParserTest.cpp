// The driver's pure pieces: the pseudo-APDU parser, the status-word table,
// and the input of the control codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ifd/Apdu.h"
#include "ifd/Control.h"
#include "qd500.h"

using namespace qd500::ifd;
using Bytes = std::vector<uint8_t>;

namespace {

CardMode Memory(int type) {
    CardMode mode;
    mode.memory = true;
    mode.kind = MemoryKindOf(type);
    return mode;
}

Request Parse(const Bytes& apdu, const CardMode& mode) { return ParseApdu(apdu.data(), apdu.size(), mode); }

Bytes WithData(Bytes header, size_t count) {
    header.push_back(static_cast<uint8_t>(count));
    header.resize(header.size() + count, 0x11);
    return header;
}

TEST(IfdParser, EveryMalformedInputAnswersAStatusWordAndSendsNothing) {
    const CardMode cpu, s4442 = Memory(0x42), s4432 = Memory(0x32), at24 = Memory(0x05), at88 = Memory(0x54);
    CardMode unselected;
    unselected.memory = true;
    struct Case {
        const char* what;
        Bytes apdu;
        CardMode mode;
        uint16_t sw;
    } cases[] = {
        {"short", {0xFF, 0xB0, 0x00}, s4442, 0x6700},
        {"read without Le", {0xFF, 0xB0, 0x00, 0x00}, s4442, 0x6700},
        {"read with data", {0xFF, 0xB0, 0x00, 0x00, 0x01, 0x00}, s4442, 0x6700},
        {"lying Lc", {0xFF, 0xD6, 0x00, 0x00, 0x05, 0x01, 0x02, 0x03}, s4442, 0x6700},
        {"Lc and an Le", {0xFF, 0xD6, 0x00, 0x00, 0x02, 0x11, 0x11, 0x00}, s4442, 0x6700},
        {"write of nothing", {0xFF, 0xD6, 0x00, 0x00, 0x00}, s4442, 0x6700},
        {"Le over the card", {0xFF, 0xB0, 0x00, 0xF1, 0x10}, s4442, 0x6B00},
        {"256 from 1", {0xFF, 0xB0, 0x00, 0x01, 0x00}, s4442, 0x6B00},
        {"write over the card", WithData({0xFF, 0xD6, 0x07, 0xFF}, 2), at24, 0x6B00},
        {"unknown INS", {0xFF, 0xCA, 0x00, 0x00, 0x00}, s4442, 0x6D00},
        {"error counter", {0xFF, 0xB1, 0x00, 0x00, 0x01}, s4442, 0x6A81},
        {"select with P1", {0xFF, 0xA4, 0x01, 0x00, 0x01, 0x42}, cpu, 0x6B00},
        {"select of no type", {0xFF, 0xA4, 0x00, 0x00, 0x01, 0x99}, cpu, 0x6B00},
        {"select of two bytes", {0xFF, 0xA4, 0x00, 0x00, 0x02, 0x42, 0x42}, cpu, 0x6700},
        {"read before a type", {0xFF, 0xB0, 0x00, 0x00, 0x10}, unselected, 0x6985},
        {"read on a CPU card", {0xFF, 0xB0, 0x00, 0x00, 0x10}, cpu, 0x6985},
        {"APDU to a memory card", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, s4442, 0x6E00},
        {"extended length", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, cpu, 0x6700},
        {"extended case 3", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}, cpu, 0x6700},
        {"CPU lying Lc", {0x00, 0xA4, 0x00, 0x00, 0x05, 0x3F, 0x00}, cpu, 0x6700},
        {"CPU short", {0x00, 0x84, 0x00}, cpu, 0x6700},
        {"protection bits of an AT24", {0xFF, 0xB2, 0x00, 0x00, 0x04}, at24, 0x6A81},
        {"protection past byte 31", {0xFF, 0xB2, 0x00, 0x1E, 0x04}, s4442, 0x6B00},
        {"code of an SLE4432", WithData({0xFF, 0x20, 0x00, 0x00}, 3), s4432, 0x6A81},
        {"code too short", WithData({0xFF, 0x20, 0x00, 0x00}, 2), s4442, 0x6700},
        {"code with P2", WithData({0xFF, 0x20, 0x00, 0x01}, 3), s4442, 0x6B00},
        {"change with P2 0", WithData({0xFF, 0xD2, 0x00, 0x00}, 3), s4442, 0x6B00},
        {"change on an AT88SC", WithData({0xFF, 0xD2, 0x00, 0x01}, 2), at88, 0x6A81},
    };
    for (const Case& c : cases) {
        Request request = Parse(c.apdu, c.mode);
        EXPECT_EQ(request.op, Op::Answer) << c.what;
        EXPECT_EQ(request.sw, c.sw) << c.what << ": " << std::hex << request.sw;
    }
    EXPECT_EQ(ParseApdu(nullptr, 5, cpu).sw, 0x6700);
}

TEST(IfdParser, WellFormedRequestsCarryTheirFields) {
    const CardMode s4442 = Memory(0x42), s4428 = Memory(0x28), at88 = Memory(0x54);
    Request read = Parse({0xFF, 0xB0, 0x00, 0x00, 0x00}, s4442);  // Le 00: 256
    EXPECT_EQ(read.op, Op::Read);
    EXPECT_EQ(read.length, 256u);

    const Bytes write = WithData({0xFF, 0xD6, 0x03, 0xF0}, 0x10);
    Request w = Parse(write, s4428);
    EXPECT_EQ(w.op, Op::Write);
    EXPECT_EQ(w.address, 0x3F0u);
    EXPECT_EQ(w.length, 0x10u);
    EXPECT_EQ(w.data, write.data() + 5);
    EXPECT_EQ(Parse({0xFF, 0xB2, 0x03, 0xF8, 0x08}, s4428).op, Op::ReadProtection);  // every byte of an SLE4428

    EXPECT_EQ(Parse(WithData({0xFF, 0x20, 0x00, 0x00}, 2), at88).address, 0x0Au);  // the security code
    EXPECT_EQ(Parse(WithData({0xFF, 0x20, 0x00, 0x20}, 2), at88).address, 0x20u);
    EXPECT_EQ(Parse(WithData({0xFF, 0xD2, 0x00, 0x01}, 3), s4442).op, Op::ChangeCode);

    Request select = Parse({0xFF, 0xA4, 0x00, 0x00, 0x01, 0x05}, CardMode());
    EXPECT_EQ(select.op, Op::SelectType);
    EXPECT_EQ(select.type, 0x05);
    // A case-4 APDU passes as it is: the library drops its Le as T=0 does.
    EXPECT_EQ(Parse({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}, CardMode()).op, Op::Transmit);
}

TEST(IfdParser, MemoryKindsFollowTheCardTypeTable) {
    MemoryKind s4442 = MemoryKindOf(0x42);
    EXPECT_EQ(s4442.size, 256u);
    EXPECT_EQ(s4442.codeLength, 3u);
    EXPECT_EQ(s4442.protectedBytes, 32u);
    EXPECT_EQ(MemoryKindOf(0x28).codeLength, 2u);
    EXPECT_EQ(MemoryKindOf(0x07).size, 8192u);
    EXPECT_TRUE(MemoryKindOf(0x54).at88);
    EXPECT_EQ(MemoryKindOf(kCpuType).type, -1);
    EXPECT_EQ(MemoryKindOf(0x99).type, -1);
}

TEST(IfdStatusWords, ReaderStatusCodesMapAsTheTableSays) {
    struct Row {
        Op op;
        int result;
        uint16_t sw;
    } rows[] = {
        {Op::Read, 0, 0x9000},        {Op::PresentCode, 31, 0x6300}, {Op::ChangeCode, 31, 0x6300},
        {Op::Write, 31, 0x6982},      {Op::Read, 31, 0x6982},        {Op::PresentCode, 33, 0x6983},
        {Op::Write, 32, 0x6581},      {Op::Read, 14, 0x6B00},        {Op::Read, 23, 0x6985},
        {Op::SelectType, 24, 0x6981}, {Op::Write, 41, 0x6F00},       {Op::Write, QD500_E_PARAM, 0x6F00},
    };
    for (const Row& row : rows) {
        Verdict verdict = Judge(row.op, row.result);
        EXPECT_EQ(verdict.fault, Fault::None) << row.result;
        EXPECT_EQ(verdict.sw, row.sw) << row.result;
    }
    EXPECT_EQ(Judge(Op::Read, 21).fault, Fault::NoCard);
    EXPECT_EQ(Judge(Op::Transmit, QD500_E_TIMEOUT).fault, Fault::Timeout);
    EXPECT_EQ(Judge(Op::Transmit, QD500_E_BUFFER).fault, Fault::Buffer);
    for (int line : {QD500_E_LINE, QD500_E_OPEN, QD500_E_PROTOCOL, QD500_E_CANCELLED})
        EXPECT_EQ(Judge(Op::Write, line).fault, Fault::Line) << line;
}

TEST(IfdControl, InputsAreCheckedBeforeAnythingIsSent) {
    auto parse = [](unsigned long code, const std::string& in) {
        return ParseControl(code, reinterpret_cast<const uint8_t*>(in.data()), in.size());
    };
    ControlRequest both = parse(kReadTracks, std::string("\x23\x05", 2));
    EXPECT_EQ(both.op, ControlOp::ReadTracks);
    EXPECT_TRUE(both.track2 && both.track3);
    EXPECT_EQ(both.seconds, 5u);
    ControlRequest three = parse(kReadTracks, std::string("\x03\x00", 2));
    EXPECT_TRUE(!three.track2 && three.track3);

    ControlRequest write = parse(kWriteTracks, std::string("\x23\x01") + "12345" + kTrackSeparator + "678");
    EXPECT_EQ(write.op, ControlOp::WriteTracks);
    EXPECT_EQ(write.text2, "12345");
    EXPECT_EQ(write.text3, "678");
    EXPECT_EQ(parse(kWriteTracks, std::string("\x02\x01") + "12345" + kTrackSeparator).op, ControlOp::WriteTracks);
    // One track needs no separator: the text is that track's.
    ControlRequest alone = parse(kWriteTracks, std::string("\x03\x01") + "678");
    EXPECT_EQ(alone.op, ControlOp::WriteTracks);
    EXPECT_EQ(alone.text3, "678");
    EXPECT_EQ(alone.text2, "");
    EXPECT_STREQ(parse(kWriteTracks, std::string("\x23\x01") + "123").refusal,
                 "a write of tracks 2 and 3 needs 1C between their texts");

    for (const std::string& refused :
         {std::string("\x04\x01", 2), std::string("\x23", 1), std::string("\x23\x01\x00", 3)})
        EXPECT_EQ(parse(kReadTracks, refused).op, ControlOp::Refused) << refused.size();
    for (const std::string& refused : {std::string("\x23\x01") + "123",  // no separator
                                       std::string("\x23\x01") + "1" + kTrackSeparator + "2" + kTrackSeparator,  // two
                                       std::string("\x02\x01") + "1" + kTrackSeparator + "2",  // a text for track 3
                                       std::string("\x23\x01") + std::string("1\0", 2) + kTrackSeparator})  // a NUL
        EXPECT_EQ(parse(kWriteTracks, refused).op, ControlOp::Refused) << refused;
    EXPECT_EQ(parse(kHeadSetting, "AB").op, ControlOp::Refused);
    EXPECT_EQ(parse(kHeadSetting, "K").letter, 'K');
    EXPECT_EQ(parse(kFirmwareVersion, "x").op, ControlOp::Refused);
    EXPECT_EQ(parse(kFirmwareVersion, "").op, ControlOp::Version);
    EXPECT_EQ(parse(kFeatureRequest, "").op, ControlOp::Features);
    EXPECT_EQ(parse(ControlCode(3504), "").op, ControlOp::Unknown);

    EXPECT_EQ(StatusByte(0), 0);
    EXPECT_EQ(StatusByte(21), 21);
    EXPECT_EQ(StatusByte(QD500_E_TIMEOUT), kStatusTimeout);
    EXPECT_EQ(StatusByte(QD500_E_LINE), kStatusLine);
    EXPECT_EQ(StatusByte(QD500_E_PARAM), kStatusRefused);
}

}  // namespace

TEST(IfdParser, AnLeNoFrameCarriesAndTheProtocolsAnAtrOffers) {
    CardMode cpu;
    // Le 00 (256) and FC are past the 251 bytes a reply carries: 6CFB, nothing sent; FB goes out.
    EXPECT_EQ(Parse({0x00, 0xB0, 0x00, 0x00, 0x00}, cpu).sw, 0x6CFB);
    EXPECT_EQ(Parse({0x00, 0xB0, 0x00, 0x00, 0xFC}, cpu).sw, 0x6CFB);
    EXPECT_EQ(Parse({0x00, 0xB0, 0x00, 0x00, 0xFB}, cpu).op, Op::Transmit);
    // No TD1: T=0; TD1 = 81 with TD2 naming T=1 only; TD1 T=0 and TD2 T=1; the simulator's own card.
    const Bytes t0{0x3B, 0x68, 0, 0, 0x51, 0x44, 0x35, 0x30, 0x30, 0x53, 0x49, 0x4D};
    const Bytes t1{0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45};
    const Bytes both{0x3B, 0x80, 0x80, 0x01, 0x01};
    EXPECT_EQ(OfferedProtocols(t0.data(), t0.size()), 1u);
    EXPECT_EQ(OfferedProtocols(t1.data(), t1.size()), 2u);
    EXPECT_EQ(OfferedProtocols(both.data(), both.size()), 3u);
    EXPECT_EQ(OfferedProtocols(t1.data(), 2), 1u);  // cut short: nothing named
}
