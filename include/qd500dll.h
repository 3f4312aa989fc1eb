/*
 * qd500dll: driver library of the desktop card reader on an RS-232 line.
 *
 * Every function runs in the caller's thread. Unless a function says
 * otherwise it returns 0 for success, the reader's status code as a number,
 * or -1 for a failure of the library or the line, and writes a GBK message
 * of at most 31 bytes (plus NUL) into bpMsg; 32 bytes always suffice.
 *
 * Output capacities the caller must provide: bpAtr 507, bpResp 503,
 * bpSW 5, bpData (memory reads) 129, bpVersion 129, device state fields 3,
 * track texts and raw reads 1025.
 */
#ifndef QD500DLL_H
#define QD500DLL_H

#if defined(_WIN32)
#define QD500_CALL __stdcall
#if defined(QD500_BUILDING)
#define QD500_API
#else
#define QD500_API __declspec(dllimport)
#endif
#else
#define QD500_CALL
#if defined(QD500_BUILDING)
#define QD500_API __attribute__((visibility("default")))
#else
#define QD500_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Session */
QD500_API short QD500_CALL gOpenComIC(short nPort, char* bpMsg);
QD500_API short QD500_CALL gCloseComIC(char* bpMsg);
QD500_API char QD500_CALL gSetTimeOutIC(char cTimeOut);

/* Hex conversions */
QD500_API void QD500_CALL gSplitBcd(const unsigned char* bpBytes, short nLen, char* bpHex);
QD500_API void QD500_CALL gCompressAsc(const char* bpHex, short nLen, unsigned char* bpBytes);

/* Reader control */
QD500_API short QD500_CALL gSetCardType(const char* bpCardType, char* bpMsg);
QD500_API short QD500_CALL gCardPowerOn(char* bpAtr, char* bpMsg);
QD500_API short QD500_CALL gCardPowerDown(char* bpMsg);
QD500_API short QD500_CALL gGetDeviceStatus(char* bpState1, char* bpState2, char* bpState3, char* bpMsg);
QD500_API short QD500_CALL gOutCard(char* bpMsg);
QD500_API short QD500_CALL gSetDeviceNo(short nDeviceNo, char* bpMsg);
QD500_API short QD500_CALL gGetDeviceVersion(char* bpVersion, char* bpMsg);

/* SLE44xx memory cards */
QD500_API short QD500_CALL gMemS4442_ReadGuardbit(char* bpAddr, short nLen, char* bpData, char* bpMsg);
QD500_API short QD500_CALL gMemS4428_GuardbitRData(char* bpAddrH, char* bpAddrL, short nLen, char* bpData, char* bpMsg);
QD500_API short QD500_CALL gMemS4428_GuardbitWData(char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg);
QD500_API short QD500_CALL gMemS44_CompDataWrite(char* bpAddrH, char* bpAddrL, char* bpData, char* bpMsg);
QD500_API short QD500_CALL gMemS44_VerifyPin(char* bpPin, char* bpMsg);
QD500_API short QD500_CALL gMemS44_ChangePin(char* bpPin, char* bpMsg);

/* AT88SC secure-memory cards */
QD500_API short QD500_CALL gMemAT88SC_VerifyPin(char* bpAddrH, char* bpAddrL, char* bpPin, char* bpMsg);
QD500_API short QD500_CALL gMemAT88SC_EraseData(char* bpAddrH, char* bpAddrL, short nLen, char* bpMsg);
QD500_API short QD500_CALL gMemAT88SC_PersonalTake(char* bpAddrH, char* bpAddrL, char* bpMsg);

/* AT24Cxx one-shot calls on a port of their own */
QD500_API short QD500_CALL gAppMemAT24_ReadData(short nPort, short nDeviceNo, char* bpAddrH, char* bpAddrL, short nLen,
                                                char* bpData, char cTimeOut, char* bpMsg);
QD500_API short QD500_CALL gAppMemAT24_WriteData(short nPort, short nDeviceNo, char* bpAddrH, char* bpAddrL,
                                                 char* bpData, char cTimeOut, char* bpMsg);

/* CPU cards */
QD500_API short QD500_CALL gCPUCommand(const char* bpApdu, char* bpSW, char* bpResp, char* bpMsg);
QD500_API short QD500_CALL gCPUGetResponse(short nLe, char* bpSW, char* bpResp, char* bpMsg);
QD500_API short QD500_CALL gCard_ReadData(const char* bpAddrH, const char* bpAddrL, short nLen, char* bpData,
                                          char* bpMsg);
QD500_API short QD500_CALL gCard_WriteData(const char* bpAddrH, const char* bpAddrL, const char* bpData, char* bpMsg,
                                           short nLen);
QD500_API short QD500_CALL gCheck_Pin(const char* bpPin, const char* bpPinLen, const char* bpPinRef, char* bpMsg);
QD500_API short QD500_CALL gGetChallenge(char* bpSW, char* bpResp, char* bpMsg);
QD500_API short QD500_CALL gSelectFile(const char* bpFileId, char* bpSW, char* bpResp, char* bpMsg);

/* CPU-card file-system personalisation */
QD500_API short QD500_CALL MW_CPUDeleteMF(char* bpSW, char* bpResp, char* bpMsg);
QD500_API short QD500_CALL MW_CPUCreateMF(char* bpSW, char* bpResp, char* bpMsg);
QD500_API short QD500_CALL MW_CPUCreateEndMF(char* bpSW, char* bpResp, char* bpMsg);
QD500_API short QD500_CALL MW_CPUCreateDF(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn);
QD500_API short QD500_CALL MW_CPUCreateEndDF(char* bpSW, char* bpResp, char* bpMsg, const char* bpFileId);
QD500_API short QD500_CALL MW_CPUCreateFile(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn);
QD500_API short QD500_CALL MW_CPUSelectFile(char* bpSW, char* bpResp, char* bpMsg, const char* bpFileId);
QD500_API short QD500_CALL MW_CPUWriteKey(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn);
QD500_API short QD500_CALL MW_CPUWriteBin(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn);
QD500_API short QD500_CALL MW_CPUAppendRecord(char* bpSW, char* bpResp, char* bpMsg, const char* bpIn);

/* Magnetic stripe: one-shot calls on a port of their own, and the head setting */
QD500_API short QD500_CALL gMagCard_ReadData2(short nPort, char* bpTrack2, char* bpMsg);
QD500_API short QD500_CALL gMagCard_ReadData3(short nPort, char* bpTrack3, char* bpMsg);
QD500_API short QD500_CALL gMagCard_ReadData23(short nPort, char* bpTrack2, char* bpTrack3, char* bpMsg);
QD500_API short QD500_CALL gMagCard_WriteData2(short nPort, const char* bpTrack2, char* bpMsg, short nMode);
QD500_API short QD500_CALL gMagCard_WriteData3(short nPort, const char* bpTrack3, char* bpMsg, short nMode);
QD500_API short QD500_CALL gMagCard_WriteData23(short nPort, const char* bpTrack2, const char* bpTrack3, char* bpMsg,
                                                short nMode);
QD500_API short QD500_CALL gSet_Li_MSRA(char cCode, char* bpMsg);

/* Triple-DES, XOR and key diversity (no reader involved) */
QD500_API void QD500_CALL gTriDes(const unsigned char* bpData, const unsigned char* bpKey, unsigned char* bpOut);
QD500_API short QD500_CALL gAscTriDes(const char* bpData, const char* bpKey, char* bpOut);
QD500_API char* QD500_CALL gAscXor(const char* bpData, const char* bpData2);
QD500_API short QD500_CALL gAscDiversity(const char* bpData, const char* bpKey, char* bpOut);

/* Raw access to the session port */
QD500_API int QD500_CALL AsynSendData(const char* bpData, short nLen);
QD500_API short QD500_CALL sReadByEndChar(char cEndChar, char cTimeOut, char* bpData, short* pnLen);
QD500_API short QD500_CALL sReadByLen(short nLen, short nTimeOut, char* bpData, short* pnLen);
QD500_API short QD500_CALL sAsynReadNomal(char* bpData, short* pnLen);

#ifdef __cplusplus
} /* extern "C" */

/* Sample items the module has always exported beside its interface. */
class QD500_API CRido {
public:
    CRido();
    CRido& operator=(const CRido& other);
};
QD500_API int fnRido(void);
extern QD500_API int nRido;

namespace qd500 {
/* Called once per cycle while the library waits for the reader, where
 * Windows would pump the thread's window messages. POSIX only; null clears. */
QD500_API void SetIdleCallback(void (*callback)(void* context), void* context);
}  // namespace qd500
#endif

#endif /* QD500DLL_H */
