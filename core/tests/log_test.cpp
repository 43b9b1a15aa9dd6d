// Logging set-up: appenders attached once, the level on "KRV", moving the file.
#include <KRV.h>

#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <log4cxx/fileappender.h>
#include <log4cxx/logger.h>

#include <cstdlib>
#include <fstream>

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
