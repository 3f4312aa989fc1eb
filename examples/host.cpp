// How an existing Windows application uses the reader: it loads qd500dll.dll
// by name and binds the functions by their decorated names, as a program
// built against the DLL's import library does.
//
//   qd500_example_host [COM number]     (default 1)
#include <windows.h>

#include <cstdio>
#include <cstdlib>

typedef short(__stdcall* OpenComIC)(short nPort, char* bpMsg);
typedef short(__stdcall* CloseComIC)(char* bpMsg);
typedef short(__stdcall* SetCardType)(const char* bpCardType, char* bpMsg);
typedef short(__stdcall* CardPowerOn)(char* bpAtr, char* bpMsg);
typedef short(__stdcall* CardPowerDown)(char* bpMsg);

// The decorated standard-call names of the 32-bit table; a 64-bit DLL has
// the plain names.
#if defined(_WIN64)
#define EXPORTED(name, bytes) #name
#else
#define EXPORTED(name, bytes) "_" #name "@" #bytes
#endif

template <typename T>
static T Bind(HMODULE dll, const char* name) {
    T fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    if (!fn) std::fprintf(stderr, "qd500dll.dll has no %s\n", name);
    return fn;
}

int main(int argc, char** argv) {
    short port = static_cast<short>(argc > 1 ? std::atoi(argv[1]) : 1);
    HMODULE dll = LoadLibraryA("qd500dll.dll");
    if (!dll) {
        std::fprintf(stderr, "cannot load qd500dll.dll (error %lu)\n", GetLastError());
        return 2;
    }
    OpenComIC open = Bind<OpenComIC>(dll, EXPORTED(gOpenComIC, 8));
    CloseComIC close = Bind<CloseComIC>(dll, EXPORTED(gCloseComIC, 4));
    SetCardType setType = Bind<SetCardType>(dll, EXPORTED(gSetCardType, 8));
    CardPowerOn powerOn = Bind<CardPowerOn>(dll, EXPORTED(gCardPowerOn, 8));
    CardPowerDown powerDown = Bind<CardPowerDown>(dll, EXPORTED(gCardPowerDown, 4));
    if (!open || !close || !setType || !powerOn || !powerDown) return 2;

    // Messages are GBK text; a console set to code page 936 shows them.
    char msg[32], atr[512] = "";
    short r = open(port, msg);
    std::printf("gOpenComIC(%d) = %d\n", port, r);
    if (r != 0) {
        FreeLibrary(dll);
        return 1;
    }
    r = setType("CPU", msg);
    std::printf("gSetCardType(CPU) = %d\n", r);
    short on = powerOn(atr, msg);
    std::printf("gCardPowerOn = %d, ATR %s\n", on, atr);
    r = powerDown(msg);
    std::printf("gCardPowerDown = %d\n", r);
    close(msg);
    FreeLibrary(dll);
    return on == 0 && atr[0] ? 0 : 1;
}
