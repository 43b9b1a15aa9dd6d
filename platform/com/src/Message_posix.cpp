// Posted messages over a SOCK_SEQPACKET socket pair: one record per datagram, never blocking the sender.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "krv/platform/message.h"

namespace MirrorKit::com {

bool createMessageWindow(MessageWindow& window) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return false;
    // Only the sending end is non-blocking: a full queue drops the message instead of stalling the poster.
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    window.handle = static_cast<ULONG_PTR>(fds[0]);
    window.receiveFd = fds[1];
    return true;
}

void closeMessageWindow(MessageWindow& window) {
    if (window.handle != 0) close(static_cast<int>(window.handle));
    if (window.receiveFd >= 0) close(window.receiveFd);
    window.handle = 0;
    window.receiveFd = -1;
}

int readMessage(const MessageWindow& window, KrvPostedMessage& message, int timeoutMs) {
    pollfd p{window.receiveFd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    ssize_t got;
    do {
        got = recv(window.receiveFd, &message, sizeof message, 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof message)) return -1;
    return 1;
}

BOOL postMessage(ULONG_PTR window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == 0 || window > static_cast<ULONG_PTR>(INT32_MAX)) return FALSE;
    KrvPostedMessage record{message, 0, static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)};
    ssize_t sent;
    do {
        sent = send(static_cast<int>(window), &record, sizeof record, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof record) ? TRUE : FALSE;
}

ULONG_PTR holdWindow(ULONG_PTR window) {
    if (window == 0 || window > static_cast<ULONG_PTR>(INT32_MAX)) return 0;
    const int held = fcntl(static_cast<int>(window), F_DUPFD_CLOEXEC, 1);
    return held < 0 ? 0 : static_cast<ULONG_PTR>(held);
}

void releaseWindow(ULONG_PTR held) {
    if (held != 0 && held <= static_cast<ULONG_PTR>(INT32_MAX)) close(static_cast<int>(held));
}

}  // namespace MirrorKit::com
