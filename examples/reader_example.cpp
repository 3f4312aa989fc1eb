// The C++ API in a few lines: open a reader, power the CPU card, select the
// master file (following 61xx), and read 16 bytes of an SLE4442 card.
//
//   qd500_example_cpp PORT        (COM3, 3 or /dev/ttyUSB0; qd500-sim --pty gives one)
#include <qd500/reader.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    try {
        qd500::Reader reader(argv[1]);
        reader.SelectCard("CPU");
        qd500::Bytes atr = reader.PowerOn();
        std::printf("ATR: %zu bytes\n", atr.size());
        qd500::Response r = reader.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, true);
        std::printf("SELECT MF: SW %04X, %zu bytes of FCI\n", r.sw(), r.data().size());
        reader.PowerOff();
    } catch (const qd500::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
