// A Windows application's view of qd500dll.dll: loaded by name with
// LoadLibraryA, every function found through GetProcAddress under its
// decorated name, and a session on COM5, which the registry maps to the
// line peer (a pseudo-terminal that answers as a reader does).
//
// Nothing of the library is linked in; the expected texts are written here
// as the GBK bytes an application receives.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../Exported.h"
#include "../LoadedDll.h"
#include "../MessageWindow.h"

namespace {

const char kOpened5[] = "\xD5\xFD\xC8\xB7\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[5]";        // 正确打开串口[5]
const char kCannotOpen8[] = "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[8]";    // 不能打开串口[8]
const char kCannotOpen77[] = "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA[77]";  // 不能打开串口[77]
const char kNotOpen[] = "\xB4\xAE\xBF\xDA\xCE\xB4\xB4\xF2\xBF\xAA";                   // 串口未打开
const char kClosed[] = "\xD5\xFD\xC8\xB7\xB9\xD8\xB1\xD5";                            // 正确关闭
const char kSuccess[] = "\xB3\xC9\xB9\xA6\xA3\xA1";                                   // 成功！
const char kTracePowerOn[] = "\xC3\xFC\xC1\xEE=[\xBF\xA8\xC6\xAC\xC9\xCF\xB5\xE7]";   // 命令=[卡片上电]
const char kTraceReply[] = "\xD3\xA6\xB4\xF0=[";                                      // 应答=[
const char kPeerAtr[] = "3B6A00008131FE454A43";  // what line_peer.py answers to power-on

using OpenFn = short(__stdcall*)(short, char*);
using CloseFn = short(__stdcall*)(char*);
using PowerOnFn = short(__stdcall*)(char*, char*);
using PowerDownFn = short(__stdcall*)(char*);
using SendFn = int(__stdcall*)(const char*, short);
using ReadByEndCharFn = short(__stdcall*)(char, char, char*, short*);
using FnRido = int(__cdecl*)();
using CRidoCtor = void*(QD500_THISCALL*)(void*);
using CRidoAssign = void*(QD500_THISCALL*)(void*, const void*);

int EchoPort() {
    const char* text = std::getenv("QD500_WINE_COM");
    return text && *text ? std::atoi(text) : 5;
}

std::string HostDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.rfind('\\'));
}

std::vector<std::string> ExpectedExports() {
    std::ifstream in(QD500_EXPORTS_LIST);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) names.push_back(line);
    return names;
}

class Dll : public LoadedDll {
protected:
    Dll() : LoadedDll("qd500dll.dll") {}
    void SetUp() override {
        _putenv("QD500_TRACE_FILE=");  // the log must go beside the host executable
        LoadedDll::SetUp();
    }
};

TEST_F(Dll, ResolvesEveryDecoratedName) {
    std::vector<std::string> names = ExpectedExports();
    ASSERT_EQ(names.size(), 59u);
    int functions = 0;
    for (const std::string& name : names) {
        EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
        if (name[0] != '?') ++functions;
    }
    EXPECT_EQ(functions, 55);
    // The GCC names are not there, nor on 32-bit the plain ones: applications
    // bind to the decorated ones only.
#if !defined(_WIN64)
    EXPECT_EQ(GetProcAddress(module, "gOpenComIC"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "gOpenComIC@8"), nullptr);
#endif
    EXPECT_EQ(GetProcAddress(module, "_Z6fnRidov"), nullptr);
}

TEST_F(Dll, SampleItems) {
    EXPECT_EQ(Fn<FnRido>("?fnRido@@YAHXZ")(), 42);
    int* nRido = Fn<int*>("?nRido@@3HA");
    ASSERT_NE(nRido, nullptr);
    EXPECT_EQ(*nRido, 0);

    // Both members are __thiscall; the constructor returns the object, the
    // assignment a reference to its target.
    alignas(4) unsigned char a[4] = {}, b[4] = {};
    EXPECT_EQ(Fn<CRidoCtor>(QD500_CRIDO_CTOR)(a), a);
    EXPECT_EQ(Fn<CRidoCtor>(QD500_CRIDO_CTOR)(b), b);
    EXPECT_EQ(Fn<CRidoAssign>(QD500_CRIDO_ASSIGN)(a, b), a);
}

TEST_F(Dll, MissingPortIsReportedWithItsNumber) {
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    char msg[64];
    std::memset(msg, 'x', sizeof msg);
    EXPECT_EQ(open(8, msg), -1);  // COM8 is not mapped
    EXPECT_STREQ(msg, kCannotOpen8);
    EXPECT_EQ(open(77, msg), -1);  // above COM9: \\.\COM77
    EXPECT_STREQ(msg, kCannotOpen77);
    EXPECT_EQ(close(msg), -1);
    EXPECT_STREQ(msg, kNotOpen);
}

TEST_F(Dll, SessionThroughTheMappedPort) {
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    auto send = Fn<SendFn>(QD500_EXPORT_NAME(AsynSendData, 8));
    auto readByEnd = Fn<ReadByEndCharFn>(QD500_EXPORT_NAME(sReadByEndChar, 16));
    auto powerOn = Fn<PowerOnFn>(QD500_EXPORT_NAME(gCardPowerOn, 8));
    char msg[64];
    ASSERT_EQ(open(static_cast<short>(EchoPort()), msg), 0) << msg;
    EXPECT_STREQ(msg, kOpened5);

    // Raw bytes come back from the echo, up to the end character.
    EXPECT_EQ(send("ping\x03", 5), 5);
    char data[1025] = {};
    short len = 0;
    EXPECT_EQ(readByEnd(0x03, 2, data, &len), 5);
    EXPECT_EQ(len, 5);
    EXPECT_STREQ(data, "ping\x03");

    char atr[512] = {};
    EXPECT_EQ(powerOn(atr, msg), 0);
    EXPECT_STREQ(msg, kSuccess);
    EXPECT_STREQ(atr, kPeerAtr);

    EXPECT_EQ(close(msg), 0);
    EXPECT_STREQ(msg, kClosed);
    EXPECT_EQ(close(msg), -1);
    EXPECT_STREQ(msg, kNotOpen);
    EXPECT_EQ(powerOn(atr, msg), -1);
    EXPECT_STREQ(msg, kNotOpen);
}

TEST_F(Dll, TraceLogBesideTheHostInGbk) {
    const std::string log = HostDirectory() + "\\DOVoruv.Log";
    DeleteFileA(log.c_str());
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    auto powerOn = Fn<PowerOnFn>(QD500_EXPORT_NAME(gCardPowerOn, 8));
    char msg[64], atr[512];
    ASSERT_EQ(open(static_cast<short>(EchoPort()), msg), 0) << msg;
    EXPECT_EQ(powerOn(atr, msg), 0);
    close(msg);

    std::ifstream in(log, std::ios::binary);
    ASSERT_TRUE(in) << log;
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    // Text mode: every line ends in CR LF; the reply line carries its own
    // line break, so an empty line follows it.
    const std::string stamp = R"(--\d\d/\d\d \d\d:\d\d:\d\d:\d\d\d )";
    std::regex expected(stamp + std::regex_replace(kTracePowerOn, std::regex(R"([\[\]])"), R"(\$&)") + "\r\n" + stamp +
                        std::regex_replace(kTraceReply, std::regex(R"(\[)"), R"(\[)") + "00" + kPeerAtr +
                        "\\]\r\n\r\n");
    EXPECT_TRUE(std::regex_search(text, expected)) << text;
}

// Window messages that wait when a command starts are dispatched while it
// waits for its reply (the peer answers power-off 600 ms late), and the wait
// still ends as soon as the reply comes.
struct PumpProbe {
    int dispatched = 0;
    bool outsideCall = false;
    bool inCall = false;
};
PumpProbe g_probe;

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP + 5) {
        ++g_probe.dispatched;
        if (!g_probe.inCall) g_probe.outsideCall = true;
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST_F(Dll, MessagesAreDispatchedDuringTheReplyWait) {
    HWND hwnd = qd500::wine::CreateProbeWindow("qd500HostProbe", ProbeProc);
    ASSERT_NE(hwnd, nullptr);

    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    auto powerDown = Fn<PowerDownFn>(QD500_EXPORT_NAME(gCardPowerDown, 4));
    char msg[64];
    ASSERT_EQ(open(static_cast<short>(EchoPort()), msg), 0) << msg;
    g_probe = PumpProbe{};
    for (int i = 0; i < 3; ++i) PostMessageA(hwnd, WM_APP + 5, i, 0);
    g_probe.inCall = true;
    DWORD start = GetTickCount();
    short r = powerDown(msg);
    DWORD spent = GetTickCount() - start;
    g_probe.inCall = false;
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(msg, kSuccess);
    EXPECT_EQ(g_probe.dispatched, 3);
    EXPECT_FALSE(g_probe.outsideCall);
    EXPECT_GE(spent, 550u);
    EXPECT_LT(spent, 760u) << "the reply wait did not end on the reply";
    close(msg);
    DestroyWindow(hwnd);
}

// The reader simulator of the Linux build, on COM6 when wine-ports.sh found it.
TEST_F(Dll, SessionWithTheReaderSimulator) {
    const char* text = std::getenv("QD500_WINE_SIM_COM");
    short port = static_cast<short>(text && *text ? std::atoi(text) : 6);
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    auto setType = Fn<short(__stdcall*)(const char*, char*)>(QD500_EXPORT_NAME(gSetCardType, 8));
    auto powerOn = Fn<PowerOnFn>(QD500_EXPORT_NAME(gCardPowerOn, 8));
    auto powerDown = Fn<PowerDownFn>(QD500_EXPORT_NAME(gCardPowerDown, 4));
    char msg[64], atr[512] = {};
    if (open(port, msg) != 0) GTEST_SKIP() << "COM" << port << " is not mapped: no Linux build of qd500-sim";
    EXPECT_EQ(setType("CPU", msg), 0);
    EXPECT_STREQ(msg, kSuccess);
    EXPECT_EQ(powerOn(atr, msg), 0);
    EXPECT_STREQ(msg, kSuccess);
    EXPECT_GE(std::strlen(atr), 4u);
    EXPECT_EQ(std::strspn(atr, "0123456789ABCDEF"), std::strlen(atr)) << atr;
    EXPECT_EQ(powerDown(msg), 0);
    EXPECT_EQ(close(msg), 0);
}

// The same simulator across the network (the --listen port wine-ports.sh
// gives it, QD500_WINE_SIM_LISTEN where set): an application's COM9 named by
// QD500_COM9 as a raw TCP port and as an RFC 2217 one.
TEST_F(Dll, SessionWithTheSimulatorAcrossTheNetwork) {
    const char* given = std::getenv("QD500_WINE_SIM_LISTEN");
    const std::string listen = given && *given ? given : "127.0.0.1:27346";
    {
        auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
        auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
        char msg[64];
        if (open(6, msg) != 0) GTEST_SKIP() << "COM6 is not mapped: no Linux build of qd500-sim";
        close(msg);
    }
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    auto close = Fn<CloseFn>(QD500_EXPORT_NAME(gCloseComIC, 4));
    auto setType = Fn<short(__stdcall*)(const char*, char*)>(QD500_EXPORT_NAME(gSetCardType, 8));
    auto powerOn = Fn<PowerOnFn>(QD500_EXPORT_NAME(gCardPowerOn, 8));
    for (const char* scheme : {"socket://", "rfc2217://"}) {
        const std::string url = std::string(scheme) + listen;
        ASSERT_TRUE(SetEnvironmentVariableA("QD500_COM9", url.c_str()));
        char msg[64], atr[512] = {};
        ASSERT_EQ(open(9, msg), 0) << url << ": " << msg;
        EXPECT_EQ(setType("CPU", msg), 0) << url;
        EXPECT_EQ(powerOn(atr, msg), 0) << url << ": " << msg;
        EXPECT_EQ(std::string(atr).substr(0, 2), "3B") << url;
        EXPECT_EQ(close(msg), 0);
    }
    SetEnvironmentVariableA("QD500_COM9", nullptr);
}

// Handles of this process that are COM ports (only they answer GetCommState).
std::vector<HANDLE> CommHandles() {
    std::vector<HANDLE> found;
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(value);
        DWORD flags;
        if (!GetHandleInformation(h, &flags)) continue;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetFileType(h) == FILE_TYPE_CHAR && GetCommState(h, &dcb)) found.push_back(h);
    }
    return found;
}

TEST_F(Dll, UnloadClosesAnOpenSession) {
    ASSERT_TRUE(CommHandles().empty());
    auto open = Fn<OpenFn>(QD500_EXPORT_NAME(gOpenComIC, 8));
    char msg[64];
    ASSERT_EQ(open(static_cast<short>(EchoPort()), msg), 0) << msg;
    std::vector<HANDLE> held = CommHandles();
    ASSERT_EQ(held.size(), 1u);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_EQ(dcb.BaudRate, 0u);
    ASSERT_TRUE(GetCommState(held[0], &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(held[0], &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 5000u);

    ASSERT_TRUE(FreeLibrary(module));
    module = nullptr;
    EXPECT_TRUE(CommHandles().empty()) << "the session port outlived the module";
}

}  // namespace
