#include "platform/platform.h"

namespace {
CPlatform* g_current = nullptr;
}

CPlatform& Platform() {
    return g_current != nullptr ? *g_current : SystemPlatform();
}

void SetPlatform(CPlatform* platform) {
    g_current = platform;
}
