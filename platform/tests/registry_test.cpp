// Registry store: reading the .reg syntax, writing, subkeys, and concurrent writers.
#include "krv/platform/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace reg = MirrorKit::platform::registry;

namespace {

struct Registry : ::testing::Test {
    std::string dir;
    std::string store;
    void SetUp() override {
        char tmpl[] = "/tmp/krvreg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        store = dir + "/sub/registry.reg";
        setenv("KRV_REGISTRY_FILE", store.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void write(const std::string& text) {
        std::filesystem::create_directories(dir + "/sub");
        std::ofstream(store, std::ios::binary) << text;
    }
};

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\Software\\Velmira";

}  // namespace

TEST_F(Registry, ReadsExportSyntax) {
    write("Windows Registry Editor Version 5.00\r\n\r\n"
          "; a comment\r\n"
          "[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
          "\"InstallPath\"=\"C:\\\\Program Files\\\\Kit \\\"4\\\"\"\r\n"
          "@=\"default text\"\r\n"
          "\"Count\"=dword:0000001f\r\n");
    std::string v;
    ASSERT_EQ(reg::openKey(kKey), 0);
    ASSERT_EQ(reg::openKey("hkey_local_machine\\SOFTWARE\\velmira\\"), 0);
    ASSERT_EQ(reg::queryString(kKey, "InstallPath", v), 0);
    EXPECT_EQ(v, "C:\\Program Files\\Kit \"4\"");
    ASSERT_EQ(reg::queryString(kKey, "", v), 0);
    EXPECT_EQ(v, "default text");
    uint32_t n = 0;
    ASSERT_EQ(reg::queryDword(kKey, "count", n), 0);
    EXPECT_EQ(n, 31u);
    EXPECT_EQ(reg::queryString(kKey, "Count", v), EINVAL);
    EXPECT_EQ(reg::queryString(kKey, "Missing", v), ENOENT);
    EXPECT_EQ(reg::openKey("HKEY_LOCAL_MACHINE\\Software\\Other"), ENOENT);
    EXPECT_EQ(reg::openKey("HKEY_LOCAL_MACHINE\\Software"), 0);  // a parent of a written key exists
}

TEST_F(Registry, MissingStoreMeansMissingKeys) {
    std::string v;
    EXPECT_EQ(reg::openKey(kKey), ENOENT);
    EXPECT_EQ(reg::queryString(kKey, "InstallPath", v), ENOENT);
}

TEST_F(Registry, WritesSurviveARoundTripAndDeletesTrees) {
    const std::string clsid = "HKEY_CLASSES_ROOT\\CLSID\\{1234}";
    ASSERT_EQ(reg::setString(clsid + "\\InprocServer32", "", "/opt/kit/lib\\x \"q\".so"), 0);
    ASSERT_EQ(reg::setString(clsid + "\\InprocServer32", "ThreadingModel", "Apartment"), 0);
    ASSERT_EQ(reg::setDword(clsid, "Flags", 0xDEADBEEF), 0);
    ASSERT_EQ(reg::createKey(clsid + "\\ProgID"), 0);
    std::string v;
    ASSERT_EQ(reg::queryString(clsid + "\\inprocserver32", "", v), 0);
    EXPECT_EQ(v, "/opt/kit/lib\\x \"q\".so");
    uint32_t flags = 0;
    ASSERT_EQ(reg::queryDword(clsid, "Flags", flags), 0);
    EXPECT_EQ(flags, 0xDEADBEEFu);
    std::vector<std::string> subs;
    ASSERT_EQ(reg::listSubKeys(clsid, subs), 0);
    EXPECT_EQ(subs, (std::vector<std::string>{"InprocServer32", "ProgID"}));
    ASSERT_EQ(reg::listSubKeys("HKEY_CLASSES_ROOT\\CLSID", subs), 0);
    EXPECT_EQ(subs, (std::vector<std::string>{"{1234}"}));

    ASSERT_EQ(reg::deleteValue(clsid, "Flags"), 0);
    EXPECT_EQ(reg::queryDword(clsid, "Flags", flags), ENOENT);
    ASSERT_EQ(reg::deleteTree(clsid), 0);
    EXPECT_EQ(reg::openKey(clsid + "\\InprocServer32"), ENOENT);
    EXPECT_EQ(reg::deleteTree(clsid), ENOENT);
    EXPECT_EQ(reg::setString("", "x", "y"), EINVAL);
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
    constexpr int kProcesses = 6, kValues = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kValues; ++i)
                failures += reg::setDword(kKey, "p" + std::to_string(p) + "v" + std::to_string(i), i) != 0;
            _exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kValues; ++i) {
            uint32_t v = 99;
            ASSERT_EQ(reg::queryDword(kKey, "p" + std::to_string(p) + "v" + std::to_string(i), v), 0);
            EXPECT_EQ(v, static_cast<uint32_t>(i));
        }
}

// A write changes the lines of the value it sets and nothing else: types this reader does not parse, values
// continued over several lines, comments and blank lines stay byte for byte.
TEST_F(Registry, RewritesKeepWhatTheyDoNotTouch) {
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "; written by hand\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
                             "\"Blob\"=hex:01,02,03,\\\r\n"
                             "  04,05\r\n"
                             "\r\n"
                             "\"Expand\"=hex(2):25,00,48,00,\\\r\n"
                             "  00,00\r\n"
                             "\"InstallPath\"=\"/opt/old\"\r\n";
    const std::string tail = "  ; trailing comment\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
                             "\"Multi\"=hex(7):41,00,\\\r\n"
                             "  00,00";  // no line end at the end of the file
    write(head + tail);
    ASSERT_EQ(reg::setString(kKey, "InstallPath", "/opt/new"), 0);
    ASSERT_EQ(reg::setDword(kKey, "Added", 7), 0);
    ASSERT_EQ(reg::setString("HKEY_CURRENT_USER\\Fresh", "v", "x"), 0);
    std::ifstream in(store, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string expected = head;
    expected.replace(expected.find("/opt/old"), 8, "/opt/new");
    expected += "\"Added\"=dword:00000007\r\n" + tail + "\r\n\r\n[HKEY_CURRENT_USER\\Fresh]\r\n\"v\"=\"x\"\r\n";
    EXPECT_EQ(text, expected);

    // Replacing or deleting a continued value takes all its lines and only those.
    ASSERT_EQ(reg::setString(kKey, "Blob", "text"), 0);
    ASSERT_EQ(reg::deleteValue("HKEY_LOCAL_MACHINE\\Software\\Other", "Multi"), 0);
    std::ifstream again(store, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    std::string blob = expected;
    const std::string oldBlob = "\"Blob\"=hex:01,02,03,\\\r\n  04,05\r\n";
    const std::string multi = "\"Multi\"=hex(7):41,00,\\\r\n  00,00\r\n";
    blob.replace(blob.find(oldBlob), oldBlob.size(), "\"Blob\"=\"text\"\r\n");
    blob.erase(blob.find(multi), multi.size());
    EXPECT_EQ(after, blob);
    std::string v;
    EXPECT_EQ(reg::queryString(kKey, "Blob", v), 0);
    EXPECT_EQ(v, "text");
    EXPECT_EQ(reg::queryString(kKey, "Expand", v), ENOENT);  // kept, but not a type this reader returns
}

// A store that cannot be read whole is not written back from the part that was read.
TEST_F(Registry, ReadErrorFailsTheWrite) {
    std::filesystem::create_directories(dir + "/sub/notafile");
    std::filesystem::create_symlink(dir + "/sub/notafile", store);
    EXPECT_NE(reg::setString(kKey, "InstallPath", "/opt/x"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(store));
}

TEST_F(Registry, NewFileKeepsModeAndOwner) {
    write("Windows Registry Editor Version 5.00\r\n");
    ASSERT_EQ(::chmod(store.c_str(), 0640), 0);
    // As root the file is given to another user, whose ownership the rewrite must keep.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(store.c_str(), 65534, 65534), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(store.c_str(), &before), 0);
    ASSERT_EQ(reg::setString(kKey, "InstallPath", "/opt/x"), 0);
    struct stat after {};
    ASSERT_EQ(::stat(store.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);  // replaced, not rewritten in place
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}
