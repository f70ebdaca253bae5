#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "platform/windows/output.h"

namespace {

// Written bytes the thread has not taken yet, at most.
constexpr std::size_t kWaitingBytes = 16 * 1024;

bool WriteAll(HANDLE handle, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        DWORD piece = static_cast<DWORD>(text.size() - done);
        if (!WriteFile(handle, text.data() + done, piece, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

// Shared by the pass and the writing thread; the mutex guards all of it.
// Never destroyed: the thread may still wait on it while the process exits.
struct Output {
    std::mutex lock;
    std::condition_variable wake;
    std::string waiting;
    bool started = false;
    bool writing = false;
    bool gone = false;
    bool threadless = false;  // no thread to be had: writes wait, as before
    HANDLE handle = nullptr;

    void Run() {
        std::string text;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(lock);
                wake.wait(hold, [this] { return !waiting.empty(); });
                text.swap(waiting);
                writing = true;
            }
            bool ok = WriteAll(handle, text);
            text.clear();
            std::lock_guard<std::mutex> hold(lock);
            writing = false;
            if (!ok) {
                gone = true;
                waiting.clear();
            }
        }
    }

    // The first write: the handle, and the thread that writes to it.
    void Start() {
        started = true;
        handle = GetStdHandle(STD_OUTPUT_HANDLE);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
            gone = true;
            return;
        }
        waiting.reserve(kWaitingBytes);
        try {
            std::thread([this] { Run(); }).detach();
        } catch (const std::system_error&) {
            threadless = true;
        }
    }
};

Output& TheOutput() {
    static Output* output = new Output;
    return *output;
}

}  // namespace

int WriteStandardOutput(const char* data, int length) {
    Output& out = TheOutput();
    std::unique_lock<std::mutex> hold(out.lock);
    if (!out.started) {
        out.Start();
    }
    if (out.gone) {
        return kIoError;
    }
    int taken = 0;
    while (taken < length) {
        char c = data[taken];
        std::size_t need = c == '\n' ? 2 : 1;
        if (out.waiting.size() + need > kWaitingBytes) {
            break;
        }
        if (c == '\n') {
            out.waiting.push_back('\r');
        }
        out.waiting.push_back(c);
        ++taken;
    }
    if (out.threadless) {
        std::string text;
        text.swap(out.waiting);
        if (!WriteAll(out.handle, text)) {
            out.gone = true;
        }
        return out.gone ? kIoError : taken;
    }
    if (taken > 0) {
        out.wake.notify_one();
    }
    return taken;
}

bool StandardOutputPending() {
    Output& out = TheOutput();
    std::lock_guard<std::mutex> hold(out.lock);
    return out.writing || !out.waiting.empty();
}
