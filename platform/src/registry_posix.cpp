// Registry store kept in a .reg-syntax text file, with locked write-then-rename updates.
#include "krv/platform/registry.h"
#include "krv/platform/paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace MirrorKit::platform::registry {
namespace {

constexpr const char* kDefaultStore = "/etc/velmira/registry.reg";
constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

struct Value {
    std::string name;  // "" is the default value
    bool isDword = false;
    std::string text;
    uint32_t dword = 0;
};

struct Key {
    std::string path;
    std::vector<Value> values;
};

struct Store {
    std::vector<Key> keys;
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Normalised form for comparison: lower case, no trailing or doubled backslashes.
std::string norm(const std::string& key) {
    std::string out;
    for (char c : key) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

bool sameName(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        out.push_back(s[i]);
    }
    return out;
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// Reads a quoted string starting at s[pos] == '"'; pos ends after the closing quote.
bool readQuoted(const std::string& s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    std::string raw;
    for (++pos; pos < s.size(); ++pos) {
        if (s[pos] == '\\' && pos + 1 < s.size()) {
            raw.push_back(s[pos]);
            raw.push_back(s[++pos]);
            continue;
        }
        if (s[pos] == '"') {
            ++pos;
            out = unescape(raw);
            return true;
        }
        raw.push_back(s[pos]);
    }
    return false;
}

void parseValueLine(const std::string& line, Key& key) {
    Value v;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!readQuoted(line, pos, v.name)) {
        return;
    }
    if (pos >= line.size() || line[pos] != '=') return;
    ++pos;
    if (line.compare(pos, 6, "dword:") == 0) {
        v.isDword = true;
        v.dword = static_cast<uint32_t>(std::strtoul(line.c_str() + pos + 6, nullptr, 16));
    } else if (!readQuoted(line, pos, v.text)) {
        return;  // other value types are not kept
    }
    for (Value& existing : key.values)
        if (sameName(existing.name, v.name)) {
            existing = v;
            return;
        }
    key.values.push_back(v);
}

int load(Store& store) {
    std::ifstream in(storePath(), std::ios::binary);
    if (!in) return errno == EACCES ? EACCES : (errno == ENOENT ? 0 : EIO);
    std::string line;
    Key* current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        line = line.substr(start);
        if (line[0] == ';') continue;
        if (line[0] == '[') {
            size_t end = line.rfind(']');
            if (end == std::string::npos) continue;
            std::string path = line.substr(1, end - 1);
            current = nullptr;
            for (Key& k : store.keys)
                if (norm(k.path) == norm(path)) current = &k;
            if (!current) {
                store.keys.push_back(Key{path, {}});
                current = &store.keys.back();
            }
        } else if (current && (line[0] == '"' || line[0] == '@')) {
            parseValueLine(line, *current);
        }
    }
    return 0;
}

std::string render(const Store& store) {
    std::ostringstream out;
    out << kHeader << "\r\n";
    for (const Key& k : store.keys) {
        out << "\r\n[" << k.path << "]\r\n";
        for (const Value& v : k.values) {
            if (v.name.empty())
                out << "@=";
            else
                out << '"' << escape(v.name) << "\"=";
            if (v.isDword) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%08x", v.dword);
                out << "dword:" << hex;
            } else {
                out << '"' << escape(v.text) << '"';
            }
            out << "\r\n";
        }
    }
    return out.str();
}

Key* findKey(Store& store, const std::string& key) {
    const std::string n = norm(key);
    for (Key& k : store.keys)
        if (norm(k.path) == n) return &k;
    return nullptr;
}

// A key exists when it is written or when a written key lies below it.
bool keyExists(const Store& store, const std::string& key) {
    const std::string n = norm(key);
    if (n.empty()) return false;
    for (const Key& k : store.keys) {
        const std::string kn = norm(k.path);
        if (kn == n || (kn.size() > n.size() && kn.compare(0, n.size(), n) == 0 && kn[n.size()] == '\\'))
            return true;
    }
    return false;
}

// Runs one read-modify-write under the store's lock file; change returns an errno result.
template <typename Change>
int update(Change change) {
    const std::string path = storePath();
    makeDirectories(parentPath(path));
    const std::string lockPath = path + ".lock";
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) return errno == EACCES ? EACCES : EIO;
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(lockFd);
            return EIO;
        }
    }
    Store store;
    int rc = load(store);
    if (rc == 0) rc = change(store);
    if (rc == 0) {
        const std::string tmp = path + ".tmp." + std::to_string(::getpid());
        const std::string text = render(store);
        FILE* f = std::fopen(tmp.c_str(), "wb");
        if (!f) {
            rc = errno == EACCES ? EACCES : EIO;
        } else {
            bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
            ok = (std::fflush(f) == 0) && ok;
            ok = (::fsync(::fileno(f)) == 0) && ok;
            ok = (std::fclose(f) == 0) && ok;
            if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
                rc = EIO;
                std::remove(tmp.c_str());
            }
        }
    }
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return rc;
}

Key& ensureKey(Store& store, const std::string& key) {
    if (Key* k = findKey(store, key)) return *k;
    store.keys.push_back(Key{key, {}});
    return store.keys.back();
}

const Value* findValue(const Key& key, const std::string& name) {
    for (const Value& v : key.values)
        if (sameName(v.name, name)) return &v;
    return nullptr;
}

int lookup(const std::string& key, const std::string& name, Value& out) {
    Store store;
    if (int rc = load(store)) return rc;
    Key* k = findKey(store, key);
    if (!k) return ENOENT;
    const Value* v = findValue(*k, name);
    if (!v) return ENOENT;
    out = *v;
    return 0;
}

// The store keeps one value per line: text holding a line break or a NUL byte could not be read back as written
// (and would add keys and values of its own), so such keys, names and values are refused.
bool storable(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

bool validKey(const std::string& key) { return !norm(key).empty() && storable(key); }

}  // namespace

std::string storePath() {
    std::string env = environment("KRV_REGISTRY_FILE");
    return env.empty() ? kDefaultStore : env;
}

int openKey(const std::string& key) {
    if (!validKey(key)) return EINVAL;
    Store store;
    if (int rc = load(store)) return rc;
    return keyExists(store, key) ? 0 : ENOENT;
}

int queryString(const std::string& key, const std::string& name, std::string& value) {
    Value v;
    if (int rc = lookup(key, name, v)) return rc;
    if (v.isDword) return EINVAL;
    value = v.text;
    return 0;
}

int queryDword(const std::string& key, const std::string& name, uint32_t& value) {
    Value v;
    if (int rc = lookup(key, name, v)) return rc;
    if (!v.isDword) return EINVAL;
    value = v.dword;
    return 0;
}

int listSubKeys(const std::string& key, std::vector<std::string>& names) {
    Store store;
    if (int rc = load(store)) return rc;
    if (!keyExists(store, key)) return ENOENT;
    const std::string n = norm(key) + '\\';
    names.clear();
    for (const Key& k : store.keys) {
        const std::string kn = norm(k.path);
        if (kn.size() <= n.size() || kn.compare(0, n.size(), n) != 0) continue;
        // Keep the spelling as written: take the same component from the original path.
        std::string written = k.path;
        size_t depth = std::count(n.begin(), n.end(), '\\');
        size_t pos = 0;
        for (size_t i = 0; i < depth && pos != std::string::npos; ++i) {
            pos = written.find('\\', pos);
            if (pos != std::string::npos) {
                while (pos < written.size() && written[pos] == '\\') ++pos;
            }
        }
        if (pos == std::string::npos) continue;
        std::string child = written.substr(pos, written.find('\\', pos) - pos);
        if (std::none_of(names.begin(), names.end(), [&](const std::string& e) { return sameName(e, child); }))
            names.push_back(child);
    }
    return 0;
}

int createKey(const std::string& key) {
    if (!validKey(key)) return EINVAL;
    return update([&](Store& store) {
        if (!keyExists(store, key)) ensureKey(store, key);
        return 0;
    });
}

namespace {
int setValue(const std::string& key, const Value& v) {
    if (!validKey(key) || !storable(v.name) || !storable(v.text)) return EINVAL;
    return update([&](Store& store) {
        Key& k = ensureKey(store, key);
        for (Value& existing : k.values)
            if (sameName(existing.name, v.name)) {
                existing = v;
                return 0;
            }
        k.values.push_back(v);
        return 0;
    });
}
}  // namespace

int setString(const std::string& key, const std::string& name, const std::string& value) {
    return setValue(key, Value{name, false, value, 0});
}

int setDword(const std::string& key, const std::string& name, uint32_t value) {
    return setValue(key, Value{name, true, {}, value});
}

int deleteValue(const std::string& key, const std::string& name) {
    if (!validKey(key)) return EINVAL;
    return update([&](Store& store) {
        Key* k = findKey(store, key);
        if (!k) return ENOENT;
        auto it = std::find_if(k->values.begin(), k->values.end(),
                               [&](const Value& v) { return sameName(v.name, name); });
        if (it == k->values.end()) return ENOENT;
        k->values.erase(it);
        return 0;
    });
}

int deleteTree(const std::string& key) {
    if (!validKey(key)) return EINVAL;
    return update([&](Store& store) {
        if (!keyExists(store, key)) return ENOENT;
        const std::string n = norm(key);
        store.keys.erase(std::remove_if(store.keys.begin(), store.keys.end(),
                                        [&](const Key& k) {
                                            const std::string kn = norm(k.path);
                                            return kn == n || (kn.size() > n.size() &&
                                                               kn.compare(0, n.size(), n) == 0 &&
                                                               kn[n.size()] == '\\');
                                        }),
                         store.keys.end());
        return 0;
    });
}

std::string errorText(int error) { return std::strerror(error); }

}  // namespace MirrorKit::platform::registry
