#include "platform/Platform.h"

namespace qd500 {

namespace {
Platform* g_installedPlatform = nullptr;
}

Platform& CurrentPlatform() {
    return g_installedPlatform ? *g_installedPlatform : NativePlatform();
}

void SetPlatform(Platform* platform) { g_installedPlatform = platform; }

}  // namespace qd500
