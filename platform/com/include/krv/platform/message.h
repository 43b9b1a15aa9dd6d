// Stand-in for a window handle and PostMessage: a socket that receives fixed-size message records.
//
// A "window" here is the sending end of a SOCK_SEQPACKET socket pair (createMessageWindow). Its handle, passed
// where a window handle is expected (ULONG_PTR), is the descriptor number of that end; 0 means "no window".
// postMessage sends one KrvPostedMessage record without blocking and without raising SIGPIPE: like PostMessage
// it returns at once and fails (FALSE) when the receiver is gone or its queue is full. The receiver reads whole
// records from the other end (readMessage, or read()/poll() in its own event loop).
//
//     MirrorKit::com::MessageWindow w;
//     if (!MirrorKit::com::createMessageWindow(w)) fail();
//     hostDrv->Dravix_SetNotify(w.handle, 0x8001);          // device changes are now posted to w
//     KrvPostedMessage m;
//     if (MirrorKit::com::readMessage(w, m, 1000) == 1 && m.message == 0x8001) arrived = (m.wParam == 1);
//     MirrorKit::com::closeMessageWindow(w);
#pragma once

#include <cstdint>

#include "krv/platform/com.h"

extern "C" {
// One posted message as it crosses the socket.
struct KrvPostedMessage {
    uint32_t message;
    uint32_t reserved;  // zero
    uint64_t wParam;
    int64_t lParam;
};
}
static_assert(sizeof(KrvPostedMessage) == 24 && offsetof(KrvPostedMessage, wParam) == 8 &&
                  offsetof(KrvPostedMessage, lParam) == 16,
              "KrvPostedMessage layout");

namespace MirrorKit::com {

struct MessageWindow {
    ULONG_PTR handle = 0;  // the sending end: give this to the notifying side
    int receiveFd = -1;    // the receiving end
};

// A new socket pair; false (errno set) on failure.
bool createMessageWindow(MessageWindow& window);
void closeMessageWindow(MessageWindow& window);
// Waits up to timeoutMs (negative: forever) for one record: 1 when one was read, 0 on time-out, -1 on error.
int readMessage(const MessageWindow& window, KrvPostedMessage& message, int timeoutMs);
// Posts to a window handle; TRUE when the record was queued.
BOOL postMessage(ULONG_PTR window, UINT message, WPARAM wParam, LPARAM lParam);
// A handle of one's own to a window, for a notifier that keeps it registered: the same socket under another
// descriptor, so that a client closing its window without unregistering can never have the notifier post to
// whatever later takes the old descriptor number. 0 when window names no open descriptor. Give it back with
// releaseWindow (0 is ignored).
ULONG_PTR holdWindow(ULONG_PTR window);
void releaseWindow(ULONG_PTR held);

}  // namespace MirrorKit::com
