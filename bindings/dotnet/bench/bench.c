/* An APDU round trip through the C API: bench PORT ROUNDS; prints the mean
 * microseconds per call. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "qd500.h"

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

int main(int argc, char** argv) {
    static const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    unsigned char resp[QD500_RESPONSE_MAX], atr[QD500_ATR_MAX];
    size_t len;
    qd500_reader* r;
    if (argc != 3) {
        fprintf(stderr, "usage: bench PORT ROUNDS\n");
        return 2;
    }
    int rounds = atoi(argv[2]);
    if (qd500_open(argv[1], &r) != 0) {
        fprintf(stderr, "%s\n", qd500_message(NULL));
        return 1;
    }
    if (qd500_select_card(r, "CPU") != 0 || qd500_power_on(r, atr, sizeof atr, &len) != 0) {
        fprintf(stderr, "%s\n", qd500_message(r));
        return 1;
    }
    for (int i = 0; i < 20; i++) /* as the managed side warms up */
        qd500_transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len);
    double start = now_us();
    for (int i = 0; i < rounds; i++) {
        if (qd500_transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len) != 0) {
            fprintf(stderr, "%s\n", qd500_message(r));
            return 1;
        }
    }
    printf("%.1f\n", (now_us() - start) / rounds);
    qd500_close(r);
    return 0;
}
