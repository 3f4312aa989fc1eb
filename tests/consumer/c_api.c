/* The handle API in C from an installed qd500: GET CHALLENGE. */
#include <qd500.h>
#include <stdio.h>

int main(int argc, char** argv) {
    qd500_reader* r = NULL;
    unsigned char atr[QD500_ATR_MAX], resp[QD500_RESPONSE_MAX];
    const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x04};
    size_t len = 0;
    int ok;
    if (argc != 2 || qd500_open(argv[1], &r) != 0) return 1;
    ok = qd500_select_card(r, "CPU") == 0 && qd500_power_on(r, atr, sizeof atr, &len) == 0 &&
         qd500_transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len) == 0 && len == 6 && resp[4] == 0x90 &&
         resp[5] == 0x00;
    printf("c_api: %s (%s)\n", ok ? "challenge read" : "failed", qd500_message(r));
    qd500_close(r);
    return ok ? 0 : 1;
}
