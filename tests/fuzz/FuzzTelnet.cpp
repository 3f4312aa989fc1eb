// The telnet and RFC 2217 receiver on whatever a server (or a stranger on
// its port) may send, in pieces of the fuzzer's choosing: the first byte of
// each piece says how long it is. What comes out must be what went in less
// the telnet layer: no more data than bytes fed, every answer a well-formed
// three-byte command, and the same result for one piece as for many.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Telnet.h"

using namespace qd500;

namespace {

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckReplies(const std::string& replies) {
    Require(replies.size() % 3 == 0);
    for (size_t i = 0; i < replies.size(); i += 3) {
        Require(static_cast<uint8_t>(replies[i]) == telnet::kIac);
        const uint8_t verb = static_cast<uint8_t>(replies[i + 1]);
        Require(verb >= telnet::kWill && verb <= telnet::kDont);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TelnetReceiver pieces, whole;
    std::string data1, replies1, data2, replies2, stream;
    std::vector<PortAck> acks1, acks2;
    for (size_t at = 0; at < size;) {
        size_t n = data[at++] % 17;
        if (n > size - at) n = size - at;
        pieces.Feed(data + at, n, data1, replies1, acks1);
        stream.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
    }
    whole.Feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), data2, replies2, acks2);
    Require(data1 == data2 && replies1 == replies2 && acks1.size() == acks2.size());
    Require(data1.size() <= stream.size());
    CheckReplies(replies1);
    for (const PortAck& ack : acks1) Require(ack.value.size() < telnet::kMaxSubnegotiation);
    // What goes out escaped comes back as it was.
    TelnetReceiver back;
    std::string round, ignored;
    std::vector<PortAck> none;
    const std::string escaped = TelnetEscape(data1.data(), data1.size());
    back.Feed(reinterpret_cast<const uint8_t*>(escaped.data()), escaped.size(), round, ignored, none);
    Require(round == data1 && ignored.empty() && none.empty());
    return 0;
}
