// The transfer lock across processes: two processes on one card, and a process killed while holding the lock.
#include "pexlink_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace MirrorKit::Test {
namespace {

using Emu::Reg::SeqMemory;

// Runs body in a child process; the child's exit status is body's result.
pid_t runChild(int (*body)(int), int arg) {
    pid_t pid = fork();
    if (pid == 0) _exit(body(arg));
    return pid;
}

int exitStatus(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr int kRounds = 150, kWordsPerRound = 6;

// One round: the port reset and the words of one table, bracketed by the lock so no other writer gets between.
int writeTables(int tag) {
    for (int r = 0; r < kRounds; ++r) {
        if (AcquireMutex() != 0) return 10;
        if (WriteReg(1, SeqMemory, 0x80000000u) != 0) return 11;
        for (int i = 0; i < kWordsPerRound; ++i)
            if (WriteReg(1, SeqMemory, uint32_t(tag << 16 | i)) != 0) return 12;
        if (MutexRelease() != 0) return 13;
    }
    return 0;
}

TEST_F(PexlinkTest, TwoProcessesNeverInterleaveTheirBracketedTransfers) {
    makeCards(1);
    pid_t a = runChild(writeTables, 1);
    pid_t b = runChild(writeTables, 2);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(exitStatus(a), 0);
    EXPECT_EQ(exitStatus(b), 0);

    auto log = card(1)->transfers();
    ASSERT_EQ(log.size(), size_t(2 * kRounds * (1 + kWordsPerRound)));
    std::map<int32_t, int> rounds;
    int switches = 0;
    for (size_t i = 0; i < log.size(); i += 1 + kWordsPerRound) {
        SCOPED_TRACE(i);
        // Each round is one process's reset followed by its own words, in order.
        const int32_t pid = log[i].pid;
        ASSERT_EQ(log[i].words, std::vector<uint32_t>{0x80000000u});
        const uint32_t tag = pid == a ? 1 : 2;
        ASSERT_TRUE(pid == a || pid == b);
        for (int k = 0; k < kWordsPerRound; ++k) {
            ASSERT_EQ(log[i + 1 + k].pid, pid);
            ASSERT_EQ(log[i + 1 + k].words, std::vector<uint32_t>{tag << 16 | uint32_t(k)});
        }
        if (i > 0 && log[i - 1].pid != pid) ++switches;
        ++rounds[pid];
    }
    EXPECT_EQ(rounds[a], kRounds);
    EXPECT_EQ(rounds[b], kRounds);
    // Not a requirement of the lock, but without any switch the test would not have shown anything.
    if (switches == 0) GTEST_LOG_(INFO) << "the two processes ran one after the other";
}

int holdAndWait(int fd) {
    if (AcquireMutex() != 0) return 1;
    char byte = 1;
    if (write(fd, &byte, 1) != 1) return 2;
    for (;;) pause();
}

TEST_F(PexlinkTest, ProcessKilledWhileHoldingTheLockLeavesTheNextCallerWorking) {
    makeCards(1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t holder = runChild(holdAndWait, fds[1]);
    ASSERT_GT(holder, 0);
    char byte = 0;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);  // the child holds the lock now
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(exitStatus(holder), 128 + SIGKILL);

    uint32_t value = 0;
    EXPECT_EQ(WriteReg(1, Emu::Reg::HvaConfig, 0x1234), PEX_ERR_MUTEX_ABANDONED);
    EXPECT_EQ(WriteReg(1, Emu::Reg::HvaConfig, 0x5678), PEX_SUCCESS);
    EXPECT_EQ(ReadReg(1, Emu::Reg::HvaConfig, &value), PEX_SUCCESS);
    EXPECT_EQ(value, 0x5678u);
    // Another process gets it too.
    pid_t next = runChild([](int) { return writeTables(3) == 0 ? 0 : 1; }, 0);
    EXPECT_EQ(exitStatus(next), 0);
}

}  // namespace
}  // namespace MirrorKit::Test
