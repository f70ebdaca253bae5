#include "platform/platform.h"

namespace {
CPlatform* g_current = nullptr;
}

int CPlatform::WriteOutput(const char* data, int length) {
    std::fwrite(data, 1, static_cast<std::size_t>(length), stdout);
    std::fflush(stdout);
    return length;
}

CPlatform& Platform() {
    return g_current != nullptr ? *g_current : SystemPlatform();
}

void SetPlatform(CPlatform* platform) {
    g_current = platform;
}
