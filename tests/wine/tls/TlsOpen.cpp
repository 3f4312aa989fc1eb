// Opens each reader named on the command line through the handle API (a
// TLS line to ser2net, as tls-test.sh sets up) and prints one line a port:
// "open ATR" after a power-on of its CPU card, or "refused REASON".
#include <qd500.h>

#include <cstdio>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        qd500_reader* reader = nullptr;
        if (qd500_open(argv[i], &reader) != 0) {
            std::printf("refused %s\n", qd500_message(nullptr));
            continue;
        }
        unsigned char atr[64];
        size_t n = 0;
        if (qd500_select_card(reader, "CPU") != 0 || qd500_power_on(reader, atr, sizeof atr, &n) != 0) {
            std::printf("failed %s\n", qd500_message(reader));
        } else {
            std::printf("open ");
            for (size_t k = 0; k < n; ++k) std::printf("%02X", atr[k]);
            std::printf("\n");
        }
        qd500_close(reader);
    }
    return 0;
}
