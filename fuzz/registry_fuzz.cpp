// The registry store: a store file, then one write of a string value and one deletion. Input: the store's
// text, then (after NUL bytes) the key, the value name and the value to write.
#include "FuzzSupport.h"

#include <krv/platform/registry.h>

#include <cerrno>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace {

namespace reg = MirrorKit::platform::registry;

std::vector<std::string> split(const std::string& s, size_t parts) {
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < parts) {
        const size_t nul = s.find('\0', start);
        if (nul == std::string::npos) break;
        out.push_back(s.substr(start, nul - start));
        start = nul + 1;
    }
    out.push_back(s.substr(start));
    return out;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Key paths and value names as a reader of the store text sees them: enough to probe, not a parser.
struct Probe {
    std::string key, name;
};

std::vector<Probe> probes(const std::string& text) {
    std::vector<Probe> out;
    std::string key;
    size_t start = 0;
    while (start < text.size() && out.size() < 64) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        line = line.substr(first);
        if (line[0] == '[') {
            const size_t close = line.rfind(']');
            key = close == std::string::npos ? std::string() : line.substr(1, close - 1);
        } else if (!key.empty() && line[0] == '@') {
            out.push_back({key, ""});
        } else if (!key.empty() && line[0] == '"') {
            const size_t q = line.find('"', 1);
            if (q != std::string::npos && line.find('\\') == std::string::npos) out.push_back({key, line.substr(1, q - 1)});
        }
    }
    return out;
}

struct Seen {
    int stringRc, dwordRc;
    std::string text;
    uint32_t dword;
    bool operator==(const Seen& o) const {
        return stringRc == o.stringRc && dwordRc == o.dwordRc && text == o.text && dword == o.dword;
    }
};

Seen look(const Probe& p) {
    Seen s{};
    s.stringRc = reg::queryString(p.key, p.name, s.text);
    s.dwordRc = reg::queryDword(p.key, p.name, s.dword);
    return s;
}

bool oneOf(int rc, std::initializer_list<int> allowed) {
    for (int a : allowed)
        if (rc == a) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvfuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = split(std::string(reinterpret_cast<const char*>(data), size), 4);
    const std::string& text = parts[0];
    const std::string key = parts.size() > 1 ? parts[1] : "HKEY_LOCAL_MACHINE\\Software\\Velmira";
    const std::string name = parts.size() > 2 ? parts[2] : "InstallPath";
    const std::string value = parts.size() > 3 ? parts[3] : "/opt/velmira";

    const std::string store = krvfuzz::scratchPath("fuzz.reg");
    ::setenv("KRV_REGISTRY_FILE", store.c_str(), 1);
    krvfuzz::writeFile(store, text);

    // Reading never fails on a readable file, whatever it holds.
    std::vector<std::string> subkeys;
    KRVFUZZ_CHECK(oneOf(reg::openKey(key), {0, ENOENT, EINVAL}), "openKey");
    KRVFUZZ_CHECK(oneOf(reg::listSubKeys(key, subkeys), {0, ENOENT, EINVAL}), "listSubKeys");
    const std::vector<Probe> before = probes(text);
    std::vector<Seen> seen;
    for (const Probe& p : before) seen.push_back(look(p));

    // A written value reads back as written, and nothing else changes.
    const int rc = reg::setString(key, name, value);
    KRVFUZZ_CHECK(oneOf(rc, {0, EINVAL}), "setString: " + reg::errorText(rc));
    const std::string afterWrite = krvfuzz::readFile(store);
    if (rc == 0) {
        std::string back;
        const int q = reg::queryString(key, name, back);
        KRVFUZZ_CHECK(q == 0, "written value not found: " + reg::errorText(q));
        KRVFUZZ_CHECK(back == value, "written value reads back changed");
        KRVFUZZ_CHECK(reg::openKey(key) == 0, "written key not found");
        for (size_t i = 0; i < before.size(); ++i)
            if (lower(before[i].name) != lower(name))
                KRVFUZZ_CHECK(look(before[i]) == seen[i],
                              "value " + before[i].name + " of " + before[i].key + " changed by writing another");
        // Writing the same value again changes nothing.
        KRVFUZZ_CHECK(reg::setString(key, name, value) == 0, "second write");
        KRVFUZZ_CHECK(krvfuzz::readFile(store) == afterWrite, "second identical write changed the store");
        KRVFUZZ_CHECK(reg::deleteValue(key, name) == 0, "deleting the written value");
        KRVFUZZ_CHECK(reg::queryString(key, name, back) == ENOENT, "deleted value still found");
    } else {
        KRVFUZZ_CHECK(afterWrite == text, "a refused write changed the store");
    }
    ::unlink(store.c_str());
    return 0;
}
