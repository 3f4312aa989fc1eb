#include "platform/Platform.h"

#include <atomic>

namespace qd500 {

namespace {
std::atomic<Platform*> g_installedPlatform{nullptr};
}

Platform& CurrentPlatform() {
    Platform* installed = g_installedPlatform.load(std::memory_order_acquire);
    return installed ? *installed : NativePlatform();
}

void SetPlatform(Platform* platform) { g_installedPlatform.store(platform, std::memory_order_release); }

}  // namespace qd500
