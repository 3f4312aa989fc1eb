/* The C side of bench.js: COUNT APDUs on PORT through qd500.h, and the
 * microseconds each took on average. */
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
    if (argc != 4) {
        fprintf(stderr, "usage: apdu-loop PORT COUNT refused|apdu\n");
        return 2;
    }
    qd500_reader* r = NULL;
    if (qd500_open(argv[1], &r) != 0) {
        fprintf(stderr, "%s\n", qd500_message(NULL));
        return 1;
    }
    int count = atoi(argv[2]);
    int refused = argv[3][0] == 'r';
    static const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    unsigned char resp[QD500_RESPONSE_MAX], memory[8];
    size_t len = 0;
    int result = 0;
    if (qd500_select_card(r, refused ? "S4442" : "CPU") != 0 || qd500_power_on(r, resp, sizeof resp, &len) != 0) {
        fprintf(stderr, "%s\n", qd500_message(r));
        return 1;
    }
    double start = now_us();
    for (int i = 0; i < count; i++) {
        /* refused: a memory range past the card's end, refused before sending. */
        result = refused ? qd500_read_memory(r, 0x100, memory, sizeof memory)
                         : qd500_transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len);
        if (result != (refused ? QD500_E_PARAM : 0)) {
            fprintf(stderr, "result %d: %s\n", result, qd500_message(r));
            return 1;
        }
    }
    printf("%.3f\n", (now_us() - start) / count);
    qd500_close(r);
    return 0;
}
