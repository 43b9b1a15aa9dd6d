// Posted messages: records arrive whole and in order; a vanished receiver fails the post without a signal.
#include <gtest/gtest.h>

#include <unistd.h>

#include "krv/platform/message.h"

TEST(PostedMessage, RecordsArriveInOrder) {
    MirrorKit::com::MessageWindow w;
    ASSERT_TRUE(MirrorKit::com::createMessageWindow(w));
    EXPECT_NE(w.handle, 0u);
    EXPECT_TRUE(MirrorKit::com::postMessage(w.handle, 0x8001, 1, 0));
    EXPECT_TRUE(MirrorKit::com::postMessage(w.handle, 0x8001, 0, -5));
    KrvPostedMessage m{};
    ASSERT_EQ(MirrorKit::com::readMessage(w, m, 1000), 1);
    EXPECT_EQ(m.message, 0x8001u);
    EXPECT_EQ(m.wParam, 1u);
    ASSERT_EQ(MirrorKit::com::readMessage(w, m, 1000), 1);
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(m.lParam, -5);
    EXPECT_EQ(MirrorKit::com::readMessage(w, m, 10), 0);
    MirrorKit::com::closeMessageWindow(w);
}

TEST(PostedMessage, FailsWhenNobodyListensOrNoWindow) {
    MirrorKit::com::MessageWindow w;
    ASSERT_TRUE(MirrorKit::com::createMessageWindow(w));
    ::close(w.receiveFd);
    w.receiveFd = -1;
    // Would raise SIGPIPE and kill the process if the send were not guarded.
    EXPECT_FALSE(MirrorKit::com::postMessage(w.handle, 0x8001, 1, 0));
    MirrorKit::com::closeMessageWindow(w);
    EXPECT_FALSE(MirrorKit::com::postMessage(0, 0x8001, 1, 0));
}

TEST(PostedMessage, FullQueueDropsInsteadOfBlocking) {
    MirrorKit::com::MessageWindow w;
    ASSERT_TRUE(MirrorKit::com::createMessageWindow(w));
    int posted = 0;
    while (posted < 100000 && MirrorKit::com::postMessage(w.handle, 1, posted, 0)) ++posted;
    EXPECT_LT(posted, 100000);
    EXPECT_GT(posted, 0);
    KrvPostedMessage m{};
    ASSERT_EQ(MirrorKit::com::readMessage(w, m, 0), 1);
    EXPECT_EQ(m.wParam, 0u);
    MirrorKit::com::closeMessageWindow(w);
}
