// Logging set-up: appenders attached once, the level on "KRV", moving the file.
#include <KRV.h>

#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <log4cxx/fileappender.h>
#include <log4cxx/logger.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

using namespace log4cxx;

namespace {

LoggerPtr root() { return Logger::getRootLogger(); }
LoggerPtr krv() { return Logger::getLogger("KRV"); }

std::string logFile() {
    auto file = log4cxx::cast<FileAppender>(root()->getAppender(LOG4CXX_STR("KRVLOGFILE")));
    return file ? file->getFile() : std::string();
}

void openDummy(const krvtest::InstallTree& tree, DM& dm) {
    krvtest::writeProfile(tree.profiles() + "/LOGMIRROR01.dm", krvtest::dummyProfile(140));
    ASSERT_EQ(KRVOpen(&dm, "LOGMIRROR01"), NO_ERR);
    ASSERT_EQ(KRVClose(&dm), NO_ERR);
}

size_t countLines(const std::string& path, const std::string& needle) {
    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
    return n;
}

}  // namespace

// Runs in a child process so that it sees an unconfigured process.
TEST(Logging, FirstOpenConfiguresWithoutSettingALevel) {
    EXPECT_EXIT(
        {
            krvtest::InstallTree tree;
            krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "absent.so");
            DM dm = tree.record();
            if (!root()->getAllAppenders().empty()) std::exit(3);
            openDummy(tree, dm);
            if (root()->getAllAppenders().size() != 2) std::exit(4);
            if (krv()->getLevel()) std::exit(5);  // inherits the root level
            if (logFile() != tree.root() + "/Velmira/MirrorKit.log") std::exit(6);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Logging, ConfigureLogForcesFileAndLevel) {
    krvtest::InstallTree tree;
    krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "absent.so");
    DM dm = tree.record();

    ASSERT_EQ(KRVConfigureLog(nullptr, KRV_LOG_OFF), NO_ERR);
    ASSERT_EQ(root()->getAllAppenders().size(), 2u);
    EXPECT_EQ(logFile(), tree.root() + "/Velmira/MirrorKit.log");
    ASSERT_TRUE(krv()->getLevel());
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::OFF_INT);

    openDummy(tree, dm);
    openDummy(tree, dm);
    EXPECT_EQ(root()->getAllAppenders().size(), 2u);
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::OFF_INT);

    const std::string moved = tree.root() + "/logs/other.log";
    ASSERT_EQ(KRVConfigureLog(moved.c_str(), KRV_LOG_DEBUG), NO_ERR);
    EXPECT_EQ(logFile(), moved);
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::DEBUG_INT);
    // One file appender and one console: each message once in the file.
    krvtest::writeProfile(tree.profiles() + "/LOGMIRROR01.dm", krvtest::dummyProfile(140));
    ASSERT_EQ(KRVOpen(&dm, "LOGMIRROR01"), NO_ERR);
    KRVLoadMap(&dm, "absent.map", nullptr);  // logged before the file is looked for
    ASSERT_EQ(KRVClose(&dm), NO_ERR);
    EXPECT_EQ(countLines(moved, "Loading map file: absent.map"), 1u);
    KRVLoadMap(&dm, "closed.map", nullptr);  // closed record: refused without logging
    EXPECT_EQ(countLines(moved, "Loading map file"), 1u);
    LOG4CXX_DEBUG(Logger::getLogger("KRV.API"), "marker line");
    EXPECT_EQ(countLines(moved, "marker line"), 1u);

    ASSERT_EQ(KRVConfigureLog(moved.c_str(), KRV_LOG_INFO), NO_ERR);
    EXPECT_EQ(logFile(), moved);
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::INFO_INT);

    const std::string third = tree.root() + "/third.log";
    ASSERT_EQ(KRVConfigureLog(third.c_str(), static_cast<KRV_LOGLEVEL>(7)), NO_ERR);
    EXPECT_EQ(logFile(), third);
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::INFO_INT);

    ASSERT_EQ(KRVConfigureLog(third.c_str(), KRV_LOG_TRACE), NO_ERR);
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::ALL_INT);
    ASSERT_EQ(KRVConfigureLog(third.c_str(), KRV_LOG_ERROR), NO_ERR);
    EXPECT_EQ(krv()->getLevel()->toInt(), Level::ERROR_INT);
    EXPECT_EQ(root()->getAllAppenders().size(), 2u);
}

namespace {

struct Received {
    KRV_LOGLEVEL level;
    std::string logger, message;
};

void collect(KRV_LOGLEVEL level, const char* logger, const char* message, void* userdata) {
    static_cast<std::vector<Received>*>(userdata)->push_back({level, logger, message});
}

// What a file descriptor (1 or 2) receives between construction and text(); death tests hold gtest's own
// capture of standard error, so this one works on the descriptor.
class Capture {
public:
    Capture(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        const int f = ::open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        ::dup2(f, fd_);
        ::close(f);
    }
    std::string text() {
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        ::dup2(saved_, fd_);
        ::close(saved_);
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    int fd_, saved_;
    std::string path_;
};

// The console writes to standard error, never into the caller's standard output; a callback takes its place.
[[noreturn]] void consoleAndCallback() {
    krvtest::InstallTree tree;
    krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "absent.so");
    DM dm = tree.record();
    std::vector<Received> got;
    // Set before the first open: the console the open attaches stays silent.
    if (KRVSetLogCallback(collect, &got) != NO_ERR) std::exit(2);
    Capture out1(1, tree.root() + "/out1"), err1(2, tree.root() + "/err1");
    openDummy(tree, dm);
    LOG4CXX_WARN(Logger::getLogger("KRV.PCIe"), "card marker");
    LOG4CXX_DEBUG(Logger::getLogger("KRV.Util"), "util marker");
    const std::string out = out1.text(), err = err1.text();
    if (!out.empty() || !err.empty()) std::exit(3);
    bool api = false, card = false, util = false;
    for (const Received& r : got) {
        // The open's own warning: no open-loop library in this test.
        api = api || (r.logger == "KRV.API" && r.level == KRV_LOG_WARN && r.message.find("absent.so") != r.message.npos);
        card = card || (r.logger == "KRV.PCIe" && r.level == KRV_LOG_WARN && r.message == "card marker");
        util = util || (r.logger == "KRV.Util" && r.level == KRV_LOG_DEBUG && r.message == "util marker");
    }
    if (!api || !card || !util) std::exit(4);
    if (countLines(logFile(), "card marker") != 1) std::exit(5);  // the file keeps its copy

    // Back to the console: standard error only, and the callback hears nothing more.
    const size_t before = got.size();
    if (KRVSetLogCallback(nullptr, nullptr) != NO_ERR) std::exit(6);
    Capture out2c(1, tree.root() + "/out2"), err2c(2, tree.root() + "/err2");
    openDummy(tree, dm);
    LOG4CXX_ERROR(Logger::getLogger("KRV.USB"), "unit marker");
    const std::string out2 = out2c.text(), err2 = err2c.text();
    if (!out2.empty()) std::exit(7);
    if (err2.find("ERROR - unit marker") == std::string::npos) std::exit(8);
    if (got.size() != before) std::exit(9);
    if (root()->getAllAppenders().size() != 3) std::exit(10);  // console, file, idle callback
    std::exit(0);
}

// Callers may replace the callback while other threads log: no call reaches a callback once it is replaced.
[[noreturn]] void replacedCallbacks() {
    krvtest::InstallTree tree;
    std::atomic<bool> stop{false};
    std::atomic<int> late{0};
    static std::atomic<int> calls{0};
    struct Slot {
        std::atomic<bool> retired{false};
        std::atomic<int>* late = nullptr;
    };
    auto count = [](KRV_LOGLEVEL, const char*, const char*, void* userdata) {
        auto* slot = static_cast<Slot*>(userdata);
        calls.fetch_add(1);
        // A call that takes a while: its end is what must come before the replacement returns.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        if (slot->retired.load()) slot->late->fetch_add(1);
    };
    std::vector<std::unique_ptr<Slot>> slots;
    Slot first;
    first.late = &late;
    KRVSetLogCallback(count, &first);
    // The logging library sets itself up on first use, on this thread.
    const LoggerPtr api = Logger::getLogger("KRV.API");
    LOG4CXX_WARN(api, "first");
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t)
        loggers.emplace_back([&] {
            while (!stop.load()) LOG4CXX_WARN(api, "busy");
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (calls.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    Slot* previous = &first;
    for (int i = 0; i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // calls of this callback begin meanwhile
        slots.push_back(std::make_unique<Slot>());
        slots.back()->late = &late;
        KRVSetLogCallback(count, slots.back().get());
        previous->retired = true;
        previous = slots.back().get();
    }
    KRVSetLogCallback(nullptr, nullptr);
    slots.back()->retired = true;
    LOG4CXX_WARN(api, "after");
    stop = true;
    for (std::thread& t : loggers) t.join();
    if (calls.load() < 100) std::exit(2);  // too few calls to tell
    std::exit(late.load() == 0 ? 0 : 1);
}

}  // namespace

// Each runs in a new process of its own, which starts unconfigured.
TEST(Logging, ConsoleOnStandardErrorAndCallbackInItsPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(consoleAndCallback(), ::testing::ExitedWithCode(0), "");
}

TEST(Logging, ReplacedCallbackIsNeverCalledAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(replacedCallbacks(), ::testing::ExitedWithCode(0), "");
}
