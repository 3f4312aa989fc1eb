/* The C side of the APDU bench: ROUNDS GET CHALLENGE round trips on PORT
 * through qd500_transmit, each one's time in ns on a line of stdout. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "qd500.h"

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: apdu_rounds PORT ROUNDS\n");
        return 2;
    }
    int rounds = atoi(argv[2]);
    qd500_reader* r;
    if (qd500_open(argv[1], &r) != 0) {
        fprintf(stderr, "%s\n", qd500_message(NULL));
        return 1;
    }
    static const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    unsigned char resp[QD500_RESPONSE_MAX];
    size_t len;
    for (int i = 0; i < rounds; i++) {
        long long started = now_ns();
        int result = qd500_transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len);
        long long took = now_ns() - started;
        if (result != 0 || len != 10) {
            fprintf(stderr, "transmit: %d %s\n", result, qd500_message(r));
            return 1;
        }
        printf("%lld\n", took);
    }
    qd500_close(r);
    return 0;
}
