// Registry store: reading the .reg syntax, writing, subkeys, and concurrent writers.
#include "krv/platform/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
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

TEST_F(Registry, RefusesTextThatWouldBreakTheLineSyntax) {
    write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
          "\"InstallPath\"=\"/opt/velmira\"\r\n");
    const std::string injected = std::string("x\"\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n\"InstallPath\"=\"/tmp/evil");
    EXPECT_EQ(reg::setString(kKey, "Note", injected), EINVAL);
    EXPECT_EQ(reg::setString(kKey, "Line\nbreak", "v"), EINVAL);
    EXPECT_EQ(reg::setString(kKey, "Nul", std::string("a\0b", 3)), EINVAL);
    EXPECT_EQ(reg::setDword(std::string(kKey) + "\r\nX", "n", 1), EINVAL);
    std::string v;
    ASSERT_EQ(reg::queryString(kKey, "InstallPath", v), 0);
    EXPECT_EQ(v, "/opt/velmira");
    EXPECT_EQ(reg::queryString(kKey, "Note", v), ENOENT);
}

// A value continued with a backslash on the store's last line must not take a value written after it as its data.
TEST_F(Registry, ValueAfterAContinuedLastLineIsItsOwn) {
    for (const std::string end : {"", "\r\n"}) {
        const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
                                 "\"Blob\"=hex:01,02,\\" + end;
        write(text);
        ASSERT_EQ(reg::setString(kKey, "InstallPath", "/opt/velmira"), 0);
        std::string v;
        ASSERT_EQ(reg::queryString(kKey, "InstallPath", v), 0) << "line end '" << end << "'";
        EXPECT_EQ(v, "/opt/velmira");
        std::ifstream in(store, std::ios::binary);
        const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(after.compare(0, text.size(), text), 0);  // what was there stays byte for byte
    }
}

// A key whose section appears more than once (a hand-edited store, two exports merged) is one key: what a read
// finds is what a write replaces and a deletion removes, whatever comments and continued lines surround it.
TEST_F(Registry, RepeatedSectionsAreOneKeyForReadsWritesAndDeletions) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
                             "\"InstallPath\"=\"/opt/first\"\r\n"
                             "\"Other\"=\"1\"\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmira\\Sub]\r\n"
                             "\"Leaf\"=dword:00000001\r\n\r\n"
                             "[hkey_local_machine\\software\\velmira]\r\n"
                             "; edited by hand \\\r\n"
                             "\"InstallPath\"=\"/opt/second\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
                             "[bad header \\\r\n"
                             "\"Third\"=\"3\"\r\n";
    std::string v;
    write(text);
    ASSERT_EQ(reg::queryString(kKey, "InstallPath", v), 0);
    EXPECT_EQ(v, "/opt/second");  // a later line for a name replaces an earlier one
    ASSERT_EQ(reg::queryString(kKey, "Third", v), 0);
    std::vector<std::string> subkeys;
    ASSERT_EQ(reg::listSubKeys(kKey, subkeys), 0);
    EXPECT_EQ(subkeys, std::vector<std::string>{"Sub"});

    // A deletion removes every occurrence, the one after the comment ending in a backslash too.
    ASSERT_EQ(reg::deleteValue(kKey, "InstallPath"), 0);
    EXPECT_EQ(reg::queryString(kKey, "InstallPath", v), ENOENT);
    ASSERT_EQ(reg::deleteValue(kKey, "Third"), 0);
    EXPECT_EQ(reg::queryString(kKey, "Third", v), ENOENT);
    EXPECT_EQ(reg::deleteValue(kKey, "InstallPath"), ENOENT);
    ASSERT_EQ(reg::queryString(kKey, "Other", v), 0);
    EXPECT_EQ(v, "1");

    // A write leaves one line for the name; deleting it then leaves none behind.
    write(text);
    ASSERT_EQ(reg::setString(kKey, "InstallPath", "/opt/new"), 0);
    ASSERT_EQ(reg::queryString(kKey, "InstallPath", v), 0);
    EXPECT_EQ(v, "/opt/new");
    std::ifstream in(store, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after.find("/opt/first"), std::string::npos);
    EXPECT_EQ(after.find("/opt/second"), std::string::npos);
    EXPECT_NE(after.find("; edited by hand"), std::string::npos);
    ASSERT_EQ(reg::deleteValue(kKey, "InstallPath"), 0);
    EXPECT_EQ(reg::queryString(kKey, "InstallPath", v), ENOENT);

    // Deleting the key removes all its sections and its subkeys.
    write(text);
    ASSERT_EQ(reg::deleteTree(kKey), 0);
    EXPECT_EQ(reg::openKey(kKey), ENOENT);
    EXPECT_EQ(reg::queryString(kKey, "Third", v), ENOENT);
}

// Writers killed at any point leave no temporary file once the next write is done, and the store stays whole.
TEST_F(Registry, KilledWritersLeaveNoTemporaryFiles) {
    ASSERT_EQ(reg::setString(kKey, "InstallPath", "/opt/velmira"), 0);
    // What a writer of an earlier release killed before its rename left behind.
    std::ofstream(store + ".tmp.999999", std::ios::binary) << "half";
    std::ofstream(store + ".tmp", std::ios::binary) << "half";
    for (int round = 0; round < 12; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i) reg::setDword(kKey, "n" + std::to_string(i % 50), static_cast<uint32_t>(i));
        }
        ::usleep(2000 + 1500 * round);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    ASSERT_EQ(reg::setString(kKey, "After", "yes"), 0);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/sub")) left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
    std::string v;
    ASSERT_EQ(reg::queryString(kKey, "InstallPath", v), 0);
    EXPECT_EQ(v, "/opt/velmira");
}

// A store that is not a regular file is refused at once instead of blocking the reader.
TEST_F(Registry, StoreThatIsAFifoIsRefusedWithoutBlocking) {
    std::filesystem::create_directories(dir + "/sub");
    ASSERT_EQ(::mkfifo(store.c_str(), 0600), 0);
    ::alarm(20);  // a reader that blocks ends the test program instead of hanging it
    std::string v;
    EXPECT_EQ(reg::queryString(kKey, "InstallPath", v), EIO);
    EXPECT_EQ(reg::setString(kKey, "InstallPath", "/x"), EIO);
    struct stat st;
    ASSERT_EQ(::stat(store.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ::alarm(0);
}
