/* The drop-in flat API from an installed qd500: a session on COM7 (the
 * device QD500_COM7 names), the card powered. */
#include <qd500dll.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    char msg[32], atr[512];
    if (gOpenComIC(7, msg) != 0) return 1;
    int ok = gSetCardType("CPU", msg) == 0 && gCardPowerOn(atr, msg) == 0 && strlen(atr) >= 4;
    printf("flat_api: ATR %s\n", atr);
    gCloseComIC(msg);
    return ok ? 0 : 1;
}
