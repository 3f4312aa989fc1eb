// A test fixture that loads one DLL by name, as a Windows application does,
// and finds its functions by their exported names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

class LoadedDll : public ::testing::Test {
protected:
    explicit LoadedDll(const char* dll) : m_dll(dll) {}
    void SetUp() override {
        module = LoadLibraryA(m_dll);
        ASSERT_NE(module, nullptr) << "LoadLibraryA failed: " << GetLastError();
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }
    template <typename T>
    T Fn(const char* name) {
        FARPROC p = GetProcAddress(module, name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<T>(reinterpret_cast<void*>(p));
    }
    HMODULE module = nullptr;

private:
    const char* m_dll;
};
