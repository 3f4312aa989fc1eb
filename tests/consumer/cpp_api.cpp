// The C++ API from an installed qd500: power the CPU card and select the
// master file, following 61xx with GET RESPONSE.
#include <qd500/reader.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    try {
        qd500::Reader reader(argv[1]);
        reader.SelectCard("CPU");
        if (reader.PowerOn().empty()) return 1;
        qd500::Response r = reader.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, true);
        std::printf("cpp_api: SW %04X, %zu bytes\n", r.sw(), r.data().size());
        return r.sw() == 0x9000 && !r.data().empty() ? 0 : 1;
    } catch (const qd500::Error& e) {
        std::fprintf(stderr, "cpp_api: %s\n", e.what());
        return 1;
    }
}
