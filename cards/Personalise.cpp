// Card file-system personalisation of a payment card: fixed APDU templates
// with the caller's data, each followed up on the card's status word.
#include <cstring>

#include "cards/CpuCard.h"
#include "qd500dll.h"
#include "reader/Protocol.h"
#include "reader/Session.h"
#include "reader/Transaction.h"

using namespace qd500;

namespace {

// The card's transport key, presented by the erase and the MF creation.
constexpr char kTransportKey[] = "5AC3E1079B2D46F8";
// Payment-system environment name of the MF.
constexpr char kPaymentSystemName[] = "1PAY.SYS.DDF01";

enum class On6A81 { Return, GetResponse };

bool SwIs(const CardAnswer& answer, const char* sw) {
    return answer.swTaken && std::memcmp(answer.sw, sw, 4) == 0;
}

// One template exchange, then the follow-up on its status word: 61xx fetches
// xx bytes (again, if the exchange already fetched once), 6A81 fetches with
// Le 00 where the operation asks for it.
short Personalise(const char* cla, const char* ins, const char* p1, const char* p2, const char* p3,
                  const char* data, On6A81 on6A81, char* bpSW, char* bpResp, char* bpMsg) {
    ApduRecord record;
    if (!MakeApdu(record, cla, ins, p1, p2, p3, data)) {
        if (!SessionCheck(bpMsg)) return -1;
        return RefuseParameters(bpMsg);
    }
    CardAnswer answer = CardCommand(reinterpret_cast<const char*>(&record), bpSW, bpResp, bpMsg);
    if (answer.result == -1) return -1;
    if (answer.swTaken && answer.sw[0] == '6' && answer.sw[1] == '1') {
        return CardGetResponse(static_cast<short>(ScanHexPair(answer.sw + 2)), bpSW, bpResp, bpMsg).result;
    }
    if (on6A81 == On6A81::GetResponse && SwIs(answer, "6A81")) {
        return CardGetResponse(0, bpSW, bpResp, bpMsg).result;
    }
    return answer.result;
}

// The operations whose Lc is the byte count of bpIn. Odd-length input, of
// any length, is answered with 0 and nothing else; even input beyond what Lc
// can announce is refused.
short PersonaliseMeasured(const char* cla, const char* ins, const char* p1, const char* bpIn, On6A81 on6A81, char* bpSW,
                          char* bpResp, char* bpMsg) {
    size_t chars = bpIn ? std::strlen(bpIn) : 0;
    if (bpIn && chars % 2 != 0) return 0;
    if (!bpIn || chars > static_cast<size_t>(kMaxApduDataChars)) {
        if (!SessionCheck(bpMsg)) return -1;
        return RefuseParameters(bpMsg);
    }
    char lc[3];
    HexByte(lc, static_cast<int>(chars / 2));
    return Personalise(cla, ins, p1, "00", lc, bpIn, on6A81, bpSW, bpResp, bpMsg);
}

}  // namespace

extern "C" {

QD500_API short QD500_CALL MW_CPUDeleteMF(char* bpSW, char* bpResp, char* bpMsg) {
    ApduRecord record;
    MakeApdu(record, "80", "0E", "00", "00", "08", kTransportKey);
    CardAnswer answer = CardCommand(reinterpret_cast<const char*>(&record), bpSW, bpResp, bpMsg);
    if (answer.result == -1) return 0;
    // 6A81: there was no MF to erase, which leaves the card as wanted.
    return (SwIs(answer, "9000") || SwIs(answer, "6A81")) ? 1 : 0;
}

QD500_API short QD500_CALL MW_CPUCreateMF(char* bpSW, char* bpResp, char* bpMsg) {
    char name[2 * sizeof kPaymentSystemName];
    SplitHex(reinterpret_cast<const unsigned char*>(kPaymentSystemName), sizeof kPaymentSystemName - 1, name,
             sizeof name);
    char data[80];
    std::strcpy(data, kTransportKey);
    std::strcat(data, "0F");
    std::strcat(data, "02");
    std::strcat(data, name);
    return Personalise("80", "E0", "00", "00", "18", data, On6A81::Return, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateEndMF(char* bpSW, char* bpResp, char* bpMsg) {
    return Personalise("80", "E0", "00", "01", "02", "3F00", On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateDF(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    return PersonaliseMeasured("80", "E0", "01", bpIn, On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateEndDF(char* bpSW, char* bpResp, char* bpMsg, const char* bpFileId) {
    return Personalise("80", "E0", "01", "01", "02", bpFileId, On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUCreateFile(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    // Lc is fixed: the file description is seven bytes.
    return Personalise("80", "E0", "02", "00", "07", bpIn, On6A81::Return, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUSelectFile(char* bpSW, char* bpResp, char* bpMsg, const char* bpFileId) {
    return Personalise("00", "A4", "00", "00", "02", bpFileId, On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUWriteKey(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    return PersonaliseMeasured("80", "D4", "00", bpIn, On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUWriteBin(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    return PersonaliseMeasured("00", "D6", "00", bpIn, On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

QD500_API short QD500_CALL MW_CPUAppendRecord(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn) {
    return PersonaliseMeasured("00", "E2", "00", bpIn, On6A81::GetResponse, bpSW, bpResp, bpMsg);
}

}  // extern "C"
