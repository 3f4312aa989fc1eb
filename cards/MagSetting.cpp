// The magnetic head's setting command, on the session port: ESC '%' and a
// setting letter out, ESC '%' and a status byte back.
#include <cstring>

#include "qd500dll.h"
#include "reader/Protocol.h"
#include "reader/Session.h"
#include "reader/Texts.h"

namespace qd500 {

namespace {

constexpr short kSettingAnswerLen = 3;

// The letters the head knows; anything else selects 'A'.
char SettingLetter(char code) {
    static constexpr char kLetters[] = "ABCDKRZ";
    return code != '\0' && std::strchr(kLetters, code) ? code : 'A';
}

}  // namespace

}  // namespace qd500

using namespace qd500;

extern "C" {

QD500_API short QD500_CALL gSet_Li_MSRA(char cCode, char* bpMsg) {
    if (!SessionCheck(bpMsg)) return -1;
    WriteMessage(bpMsg, "");
    const char command[3] = {kEsc, '%', SettingLetter(cCode)};
    if (g_pSessionPort->SendData(command, sizeof command) == 0) {
        WriteMessage(bpMsg, text::kSettingError);
        return -1;
    }
    if (g_pSessionPort->ReadByLen(kSettingAnswerLen, g_byTimeOut) != 1) {
        WriteMessage(bpMsg, text::kCommTimeout);
        return -1;
    }
    const char* recv = g_pSessionPort->m_szRecv;
    const int len = g_pSessionPort->m_nRecvLen;
    int status = -1;
    for (int k = 0; k + 1 < len; ++k) {
        if (recv[k] == kEsc && recv[k + 1] == '%') {
            status = k + 2;
            break;
        }
    }
    if (status == len) {
        // The answer stopped right after ESC '%'.
        WriteMessage(bpMsg, text::kTimeoutExit);
        return -1;
    }
    if (status > 0 && recv[status] == '0') {
        WriteMessage(bpMsg, text::kSettingOk);
        return 0;
    }
    WriteMessage(bpMsg, text::kSettingError);
    return -1;
}

}  // extern "C"
