// Parent paths as the install-directory lookup needs them, and directory creation.
#include "krv/platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using MirrorKit::platform::parentPath;

TEST(Paths, ParentPath) {
    EXPECT_EQ(parentPath("/opt/kit/bin/tool"), "/opt/kit/bin");
    EXPECT_EQ(parentPath("/opt/kit//tool"), "/opt/kit");
    EXPECT_EQ(parentPath("/opt/kit/"), "/opt/kit");
    EXPECT_EQ(parentPath("/opt/kit///"), "/opt/kit");
    EXPECT_EQ(parentPath("C:\\Kit\\bin\\tool.exe"), "C:\\Kit\\bin");
    EXPECT_EQ(parentPath("/tool"), "/");
    EXPECT_EQ(parentPath("tool"), "");
}

TEST(Paths, MakeDirectoriesAndState) {
    char tmpl[] = "/tmp/krvpaths-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string deep = std::string(tmpl) + "/a/b/c";
    EXPECT_TRUE(MirrorKit::platform::makeDirectories(deep));
    EXPECT_TRUE(MirrorKit::platform::pathExists(deep));
    EXPECT_TRUE(MirrorKit::platform::makeDirectories(deep));
    EXPECT_FALSE(MirrorKit::platform::pathExists(std::string(tmpl) + "/nothing"));
    setenv("XDG_STATE_HOME", tmpl, 1);
    EXPECT_EQ(MirrorKit::platform::stateDirectory(), tmpl);
    unsetenv("XDG_STATE_HOME");
    const std::string home = std::string(tmpl) + "/someone";
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(MirrorKit::platform::stateDirectory(), home + "/.local/state");
    std::filesystem::remove_all(tmpl);
}
