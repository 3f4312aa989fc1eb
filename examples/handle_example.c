/* The C handle API in a few lines: open a reader, power the card, send
 * GET CHALLENGE, and report any failure with its English and reader text.
 *
 *   qd500_example_c PORT        (COM3, 3 or /dev/ttyUSB0)
 */
#include <qd500.h>
#include <stdio.h>

static int report(qd500_reader* r, int result) {
    if (result != 0) fprintf(stderr, "result %d: %s (%s)\n", result, qd500_strerror(result), qd500_message(r));
    return result;
}

int main(int argc, char** argv) {
    qd500_reader* r = NULL;
    unsigned char atr[QD500_ATR_MAX], resp[QD500_RESPONSE_MAX];
    const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x04};
    size_t len = 0, i;
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    if (report(NULL, qd500_open(argv[1], &r)) != 0) return 1;
    if (report(r, qd500_select_card(r, "cpu")) == 0 && report(r, qd500_power_on(r, atr, sizeof atr, &len)) == 0 &&
        report(r, qd500_transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len)) == 0) {
        printf("challenge:");
        for (i = 0; i < len; ++i) printf(" %02X", resp[i]);
        printf("\n");
    }
    qd500_close(r);
    return 0;
}
