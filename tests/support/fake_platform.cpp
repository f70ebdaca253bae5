#include "fake_platform.h"

#include <cstring>

#include "stream/frame.h"

SocketHandle FakePlatform::CreateTcpSocket() {
    if (failCreate) {
        return INVALID_SOCKET;
    }
    listener_ = nextHandle_++;
    sockets[listener_];
    return listener_;
}

int FakePlatform::SetNonBlocking(SocketHandle s) {
    if (s == listener_) {
        return failNonBlocking ? -1 : 0;
    }
    return failAcceptedNonBlocking ? -1 : 0;
}

int FakePlatform::BindAnyIPv4(SocketHandle, std::uint16_t port) {
    boundPort = port;
    return failBind ? -1 : 0;
}

int FakePlatform::Listen(SocketHandle, int backlogSize) {
    listenBacklog = backlogSize;
    return failListen ? -1 : 0;
}

SocketHandle FakePlatform::Accept(SocketHandle listener) {
    auto own = backlogs.find(listener);
    std::deque<SocketHandle>& waiting = own != backlogs.end() ? own->second : backlog;
    if (waiting.empty()) {
        return INVALID_SOCKET;
    }
    SocketHandle s = waiting.front();
    waiting.pop_front();
    sockets[s].accepted = true;
    return s;
}

SocketHandle FakePlatform::AcceptFrom(SocketHandle listener, std::uint32_t* peer) {
    SocketHandle s = Accept(listener);
    auto known = peers.find(s);
    *peer = s != INVALID_SOCKET && known != peers.end() ? known->second : 0;
    return s;
}

int FakePlatform::Recv(SocketHandle s, void* buffer, int length) {
    Socket& sock = sockets[s];
    ++sock.recvCalls;
    recvLog.push_back(s);
    if (sock.inbound.empty()) {
        return kIoWouldBlock;
    }
    Socket::Event& event = sock.inbound.front();
    if (event.bytes.empty()) {
        int code = event.code;
        sock.inbound.pop_front();
        return code;
    }
    int count = static_cast<int>(event.bytes.size()) < length ? static_cast<int>(event.bytes.size())
                                                              : length;
    std::memcpy(buffer, event.bytes.data(), static_cast<size_t>(count));
    event.bytes.erase(0, static_cast<size_t>(count));
    if (event.bytes.empty()) {
        sock.inbound.pop_front();
    }
    return count;
}

int FakePlatform::Send(SocketHandle s, const void* data, int length) {
    Socket& sock = sockets[s];
    ++sock.sendCalls;
    if (sock.sendResult != 0) {
        return sock.sendResult;
    }
    int count = length < sock.sendLimit ? length : sock.sendLimit;
    if (count <= 0) {
        return kIoWouldBlock;
    }
    sock.sent.append(static_cast<const char*>(data), static_cast<size_t>(count));
    return count;
}

int FakePlatform::SendGather(SocketHandle s, const SendSlice* slices, int count) {
    std::string joined;
    for (int i = 0; i < count; ++i) {
        joined.append(static_cast<const char*>(slices[i].data),
                      static_cast<size_t>(slices[i].length));
    }
    return Send(s, joined.data(), static_cast<int>(joined.size()));
}

void FakePlatform::RefreshReadiness() {
    ++readinessLooks;
    lookTimes.push_back(MicroTicks());
    readyAtLook.clear();
    readyList.clear();
    for (const auto& entry : sockets) {
        if (!entry.second.inbound.empty()) {
            readyAtLook.insert(entry.first);
            if (entry.second.accepted && !entry.second.closed) {
                readyList.push_back(entry.first);
            }
        }
    }
}

bool FakePlatform::MayRead(SocketHandle s) {
    return !reportReadiness || readyAtLook.count(s) != 0;
}

CPlatform::ReadyList FakePlatform::ReadySockets() {
    if (!reportReadiness) {
        return {nullptr, 0, false};
    }
    return {readyList.data(), static_cast<int>(readyList.size()), true};
}

void FakePlatform::CloseSocket(SocketHandle s) {
    sockets[s].closed = true;
}

bool FakePlatform::AnythingReady() const {
    for (const auto& entry : sockets) {
        if (!entry.second.inbound.empty() && entry.second.accepted && !entry.second.closed) {
            return true;
        }
    }
    for (const auto& waiting : backlogs) {
        if (!waiting.second.empty()) {
            return true;
        }
    }
    return !backlog.empty();
}

void FakePlatform::WaitReadiness(int timeoutMs) {
    waitTimeouts.push_back(timeoutMs);
    if (onWait) {
        onWait(timeoutMs);
    }
    if (clockFollowsWaits && !AnythingReady()) {
        now += static_cast<std::uint32_t>(timeoutMs);
    }
}

void FakePlatform::SleepMicros(std::uint32_t us) {
    if (clockFollowsWaits) {
        std::uint64_t micros = static_cast<std::uint64_t>(nowMicros) + us;
        now += static_cast<std::uint32_t>(micros / 1000u);
        nowMicros = static_cast<std::uint32_t>(micros % 1000u);
    }
    if (onSleep) {
        onSleep(static_cast<int>((us + 999u) / 1000u));
    }
}

void FakePlatform::SleepMs(int ms) {
    if (clockFollowsWaits) {
        now += static_cast<std::uint32_t>(ms);
    }
    if (onSleep) {
        onSleep(ms);
    }
}

int FakePlatform::WriteOutput(const char* data, int length) {
    if (outputRoom < 0) {
        return CPlatform::WriteOutput(data, length);
    }
    if (outputGone) {
        return kIoError;
    }
    int taken = length < outputRoom ? length : outputRoom;
    output.append(data, static_cast<std::size_t>(taken));
    outputRoom -= taken;
    return taken;
}

std::FILE* FakePlatform::OpenForReading(const char* path) {
    lastOpenedPath = path;
    return std::fopen(path, "rb");
}

bool FakePlatform::StampFile(const char* path, FileStamp* stamp) {
    ++stampCalls;
    auto known = stamps.find(path);
    if (known == stamps.end()) {
        return false;
    }
    *stamp = known->second;
    return true;
}

SocketHandle FakePlatform::QueueConnection() {
    SocketHandle s = nextHandle_++;
    sockets[s];
    backlog.push_back(s);
    return s;
}

SocketHandle FakePlatform::QueueConnectionOn(SocketHandle listener) {
    SocketHandle s = nextHandle_++;
    sockets[s];
    backlogs[listener].push_back(s);
    return s;
}

std::string FakePlatform::TakeSent(SocketHandle s) {
    std::string out;
    out.swap(sockets[s].sent);
    return out;
}

std::string LengthOnly(std::int32_t length) {
    unsigned char header[frame::kHeaderSize];
    frame::EncodeLength(length, header);
    return std::string(reinterpret_cast<char*>(header), sizeof header);
}

std::string Frame(const std::string& payload) {
    return LengthOnly(static_cast<std::int32_t>(payload.size())) + payload;
}
