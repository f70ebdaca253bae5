#include "platform/posix/output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/platform.h"

namespace {

enum class Kind { kUnknown, kGone, kSocket, kFile, kOwn, kPolled };

int g_own = -1;  // standard output opened again, non-blocking (kOwn)

// Standard output opened again as a description of our own, non-blocking;
// -1 where that cannot be done, or gives another file than standard output.
int OpenOwn(const struct stat& out) {
    int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_dev != out.st_dev || st.st_ino != out.st_ino ||
                    st.st_rdev != out.st_rdev)) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

// What standard output is, looked at once: it does not change while the
// server runs, and a later look could find a socket the server made since.
Kind OutputKind() {
    static Kind kind = Kind::kUnknown;
    if (kind == Kind::kUnknown) {
        struct stat st;
        if (::fstat(STDOUT_FILENO, &st) != 0) {
            kind = Kind::kGone;
        } else if (S_ISSOCK(st.st_mode)) {
            kind = Kind::kSocket;
        } else if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
            kind = Kind::kFile;
        } else {
            g_own = OpenOwn(st);
            kind = g_own >= 0 ? Kind::kOwn : Kind::kPolled;
        }
    }
    return kind;
}

int WriteResult(ssize_t r) {
    if (r >= 0) {
        return static_cast<int>(r);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : kIoError;
}

}  // namespace

int WriteStandardOutput(const char* data, int length) {
    size_t size = static_cast<size_t>(length);
    switch (OutputKind()) {
        case Kind::kUnknown:
        case Kind::kGone:
            return kIoError;
        case Kind::kSocket:
            return WriteResult(::send(STDOUT_FILENO, data, size, MSG_DONTWAIT | MSG_NOSIGNAL));
        case Kind::kFile:
            return WriteResult(::write(STDOUT_FILENO, data, size));
        case Kind::kOwn:
            return WriteResult(::write(g_own, data, size));
        case Kind::kPolled:
            break;
    }
    pollfd room = {STDOUT_FILENO, POLLOUT, 0};
    int ready = ::poll(&room, 1, 0);
    if (ready < 0) {
        return errno == EINTR ? 0 : kIoError;
    }
    if (ready == 0) {
        return 0;
    }
    if ((room.revents & POLLOUT) == 0) {
        return kIoError;  // POLLERR, POLLHUP or POLLNVAL: no reader left
    }
    return WriteResult(::write(STDOUT_FILENO, data, size < PIPE_BUF ? size : PIPE_BUF));
}
