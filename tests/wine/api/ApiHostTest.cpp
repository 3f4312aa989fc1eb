// The handle API as a Windows program in another language binds it:
// qd500.dll loaded by name, its plain __cdecl names found with
// GetProcAddress, and a reader on COM6, where the registry maps the Linux
// build's simulator.
#include <cstdlib>
#include <string>

#include "../LoadedDll.h"

namespace {

struct Reader;
using OpenFn = int(__cdecl*)(const char*, Reader**);
using CloseFn = void(__cdecl*)(Reader*);
using SelectFn = int(__cdecl*)(Reader*, const char*);
using PowerOnFn = int(__cdecl*)(Reader*, unsigned char*, size_t, size_t*);
using TransmitFn = int(__cdecl*)(Reader*, const unsigned char*, size_t, unsigned char*, size_t, size_t*);
using MessageFn = const char*(__cdecl*)(const Reader*);

class ApiDll : public LoadedDll {
protected:
    ApiDll() : LoadedDll("qd500.dll") {}
};

TEST_F(ApiDll, AReaderOnTheSimulatorAndAPortThatIsNotThere) {
    auto open = Fn<OpenFn>("qd500_open");
    auto close = Fn<CloseFn>("qd500_close");
    auto message = Fn<MessageFn>("qd500_message");
    auto select = Fn<SelectFn>("qd500_select_card");
    auto powerOn = Fn<PowerOnFn>("qd500_power_on");
    auto transmit = Fn<TransmitFn>("qd500_transmit");

    Reader* missing = nullptr;
    EXPECT_EQ(open("COM8", &missing), -2);
    EXPECT_EQ(missing, nullptr);
    EXPECT_NE(std::string(message(nullptr)).find("COM8"), std::string::npos) << message(nullptr);

    const char* text = std::getenv("QD500_WINE_SIM_COM");
    const std::string port = std::string("COM") + (text && *text ? text : "6");
    Reader* r = nullptr;
    if (open(port.c_str(), &r) != 0) GTEST_SKIP() << port << " is not mapped: no Linux build of qd500-sim";
    EXPECT_EQ(select(r, "cpu"), 0);
    unsigned char atr[33], resp[258];
    size_t len = 0;
    ASSERT_EQ(powerOn(r, atr, sizeof atr, &len), 0) << message(r);
    EXPECT_EQ(atr[0], 0x3B);
    const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x04};
    ASSERT_EQ(transmit(r, challenge, sizeof challenge, resp, sizeof resp, &len), 0) << message(r);
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(resp[4] << 8 | resp[5], 0x9000);
    EXPECT_EQ(transmit(r, challenge, sizeof challenge, resp, 5, &len), -6);
    EXPECT_EQ(len, 6u);
    close(r);
}

}  // namespace
