// Registry store kept in a .reg-syntax text file, with locked write-then-rename updates.
#include "krv/platform/registry.h"
#include "krv/platform/files.h"
#include "krv/platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace MirrorKit::platform::registry {
namespace {

constexpr const char* kDefaultStore = "/etc/velmira/registry.reg";
constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
// A store holds a few keys; a file much larger than any store is not read.
constexpr size_t kMaxStoreBytes = size_t(64) << 20;

// The store is kept as the file's lines, byte for byte; writes change only the lines of the values and keys
// they touch, so value types this reader does not parse (hex:, hex(2):, lines continued with a backslash),
// comments and blank lines survive every rewrite.
struct Value {
    std::string name;  // "" is the default value
    enum Type { String, Dword, Other } type = Other;
    std::string text;
    uint32_t dword = 0;
    size_t first = 0, end = 0;  // the lines [first, end) of its last occurrence, the one that is read
    // Every occurrence in the key, in file order, the last one included: a key whose section appears more than
    // once (a hand-edited store, two exports merged) is still one key, so a write or a deletion of a name
    // replaces or removes all of them.
    std::vector<std::pair<size_t, size_t>> occurrences;
};

struct Key {
    std::string path;
    std::vector<Value> values;  // the last occurrence of each name
    std::vector<std::pair<size_t, size_t>> sections;  // [header, next header) of every section of this key
    size_t insertAt = 0;  // a new value goes after the last value line of the key's last section
};

struct Store {
    std::vector<std::string> lines;  // each with its own line end, if it has one
    std::vector<Key> keys;
    std::string eol = "\r\n";
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

// The line's text without its line end.
std::string content(const std::string& line) {
    size_t n = line.size();
    if (n && line[n - 1] == '\n') --n;
    if (n && line[n - 1] == '\r') --n;
    return line.substr(0, n);
}

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return std::string();
    const size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

// True when the line's data goes on on the next line.
bool continues(const std::string& line) {
    const std::string t = trimmed(content(line));
    return !t.empty() && t.back() == '\\';
}

// Name and, for the types this reader knows, the data of a value line.
bool parseValueLine(const std::string& line, Value& v) {
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (!readQuoted(line, pos, v.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    if (line.compare(pos, 6, "dword:") == 0) {
        v.type = Value::Dword;
        v.dword = static_cast<uint32_t>(std::strtoul(line.c_str() + pos + 6, nullptr, 16));
    } else if (readQuoted(line, pos, v.text)) {
        v.type = Value::String;
    } else {
        v.type = Value::Other;  // kept in the file, not readable here
    }
    return true;
}

Key* findKey(Store& store, const std::string& key) {
    const std::string n = norm(key);
    for (Key& k : store.keys)
        if (norm(k.path) == n) return &k;
    return nullptr;
}

// Rebuilds the index of keys and values from the lines.
void index(Store& store) {
    store.keys.clear();
    Key* current = nullptr;
    const size_t count = store.lines.size();
    for (size_t i = 0; i < count; ++i) {
        const std::string line = trimmed(content(store.lines[i]));
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.rfind(']');
            if (close == std::string::npos) continue;
            const std::string path = line.substr(1, close - 1);
            current = findKey(store, path);
            if (!current) {
                store.keys.push_back(Key{path, {}, {}, 0});
                current = &store.keys.back();
            }
            for (Key& k : store.keys)
                if (!k.sections.empty() && k.sections.back().second == count) k.sections.back().second = i;
            current->sections.emplace_back(i, count);
            current->insertAt = i + 1;
            continue;
        }
        // A value's data continues on the next line while a line ends with a backslash.
        size_t last = i;
        while (last + 1 < count && continues(store.lines[last])) ++last;
        if (current && (line[0] == '"' || line[0] == '@')) {
            Value v;
            if (parseValueLine(line, v)) {
                v.first = i;
                v.end = last + 1;
                auto same = std::find_if(current->values.begin(), current->values.end(),
                                         [&](const Value& e) { return sameName(e.name, v.name); });
                if (same != current->values.end()) {
                    v.occurrences = std::move(same->occurrences);
                    *same = std::move(v);
                } else {
                    current->values.push_back(std::move(v));
                    same = current->values.end() - 1;
                }
                same->occurrences.emplace_back(i, last + 1);
                current->insertAt = last + 1;
            }
        }
        i = last;
    }
}

// Reads the whole store; a read that fails part way fails, so that no write goes on from part of the store.
int load(Store& store) {
    store.lines.clear();
    store.keys.clear();
    std::string text;
    switch (readRegularFile(storePath(), kMaxStoreBytes, text)) {
        case 0: break;
        case ENOENT: return 0;
        case EACCES: return EACCES;
        default: return EIO;  // not a regular file, too large, or unreadable
    }
    for (size_t start = 0; start < text.size();) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string::npos ? text.size() : lf + 1;
        store.lines.push_back(text.substr(start, end - start));
        start = end;
    }
    if (!store.lines.empty()) {
        const std::string& first = store.lines.front();
        store.eol = first.size() >= 2 && first.compare(first.size() - 2, 2, "\r\n") == 0 ? "\r\n"
                    : !first.empty() && first.back() == '\n'                            ? "\n"
                                                                                         : "\r\n";
    }
    index(store);
    return 0;
}

std::string render(const Store& store) {
    std::string out;
    for (const std::string& line : store.lines) out += line;
    return out;
}

std::string valueLine(const Value& v) {
    std::ostringstream out;
    if (v.name.empty())
        out << "@=";
    else
        out << '"' << escape(v.name) << "\"=";
    if (v.type == Value::Dword) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", v.dword);
        out << "dword:" << hex;
    } else {
        out << '"' << escape(v.text) << '"';
    }
    return out.str();
}

// Inserts lines at a position, giving a last line that lacks one a line end first.
void insertLines(Store& store, size_t at, const std::vector<std::string>& texts) {
    if (at > 0 && at == store.lines.size() && !store.lines.back().empty() && store.lines.back().back() != '\n')
        store.lines.back() += store.eol;
    std::vector<std::string> added;
    // A value continued with a backslash on the file's last line would take the next line as its data: a blank
    // line ends it first.
    if (at > 0 && continues(store.lines[at - 1])) added.push_back(store.eol);
    for (const std::string& t : texts) added.push_back(t + store.eol);
    store.lines.insert(store.lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    index(store);
}

void eraseLines(Store& store, std::vector<std::pair<size_t, size_t>> ranges) {
    std::sort(ranges.begin(), ranges.end());
    for (auto it = ranges.rbegin(); it != ranges.rend(); ++it)
        store.lines.erase(store.lines.begin() + static_cast<std::ptrdiff_t>(it->first),
                          store.lines.begin() + static_cast<std::ptrdiff_t>(it->second));
    index(store);
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

// The replacement file takes the old file's mode and owner (a new store gets the process's defaults).
int keepModeAndOwner(int fd, const std::string& path) {
    struct stat old;
    if (::stat(path.c_str(), &old) != 0) return errno == ENOENT ? 0 : EIO;
    if (::fchmod(fd, old.st_mode & 07777) != 0) return EIO;
    struct stat now;
    if (::fstat(fd, &now) != 0) return EIO;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return errno == EPERM ? EACCES : EIO;
    // A change of owner may drop set-id bits; set the mode again.
    if (::fchmod(fd, old.st_mode & 07777) != 0) return EIO;
    return 0;
}

// Removes "<store>.tmp.<digits>": temporaries of writers that named them by process id and were killed before
// they renamed them. Called under the lock, when no writer is at work.
void removeStaleTemporaries(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                        [](unsigned char c) { return std::isdigit(c); }))
            stale.push_back(dir + "/" + name);
    }
    ::closedir(d);
    for (const std::string& f : stale) ::unlink(f.c_str());
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
        // Only the lock holder writes, so one temporary name serves every writer: a writer killed part way
        // leaves a file that the next write replaces. Names of older writers (with a process id) are removed.
        removeStaleTemporaries(path);
        const std::string tmp = path + ".tmp";
        const std::string text = render(store);
        ::unlink(tmp.c_str());
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "wb");
        if (!f) {
            rc = errno == EACCES ? EACCES : EIO;
            if (fd >= 0) ::close(fd);
            ::unlink(tmp.c_str());
        } else {
            rc = keepModeAndOwner(::fileno(f), path);
            bool ok = rc == 0 && std::fwrite(text.data(), 1, text.size(), f) == text.size();
            ok = (std::fflush(f) == 0) && ok;
            ok = (::fsync(::fileno(f)) == 0) && ok;
            ok = (std::fclose(f) == 0) && ok;
            if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
                if (rc == 0) rc = EIO;
                std::remove(tmp.c_str());
            }
        }
    }
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return rc;
}

// Appends a new section for the key (and the file's first line to a new store).
Key& ensureKey(Store& store, const std::string& key) {
    if (Key* k = findKey(store, key)) return *k;
    std::vector<std::string> texts;
    if (store.lines.empty()) texts.push_back(kHeader);
    texts.push_back("");
    texts.push_back("[" + key + "]");
    insertLines(store, store.lines.size(), texts);
    return *findKey(store, key);
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
    if (!v || v->type == Value::Other) return ENOENT;
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
    if (v.type != Value::String) return EINVAL;
    value = v.text;
    return 0;
}

int queryDword(const std::string& key, const std::string& name, uint32_t& value) {
    Value v;
    if (int rc = lookup(key, name, v)) return rc;
    if (v.type != Value::Dword) return EINVAL;
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
        if (const Value* existing = findValue(k, v.name)) {
            // The lines of the occurrence that is read give way to one line, and earlier occurrences of the
            // name in the key go; everything around them stays as it was.
            const size_t first = existing->first, end = existing->end;
            const std::string& last = store.lines[end - 1];
            const bool ended = !last.empty() && last.back() == '\n';
            std::vector<std::pair<size_t, size_t>> earlier(existing->occurrences.begin(),
                                                           existing->occurrences.end() - 1);
            store.lines.erase(store.lines.begin() + static_cast<std::ptrdiff_t>(first),
                              store.lines.begin() + static_cast<std::ptrdiff_t>(end));
            store.lines.insert(store.lines.begin() + static_cast<std::ptrdiff_t>(first),
                               valueLine(v) + (ended ? store.eol : std::string()));
            // The earlier occurrences all lie before the replaced lines, so their positions still hold.
            eraseLines(store, std::move(earlier));
            return 0;
        }
        insertLines(store, k.insertAt, {valueLine(v)});
        return 0;
    });
}
}  // namespace

int setString(const std::string& key, const std::string& name, const std::string& value) {
    Value v;
    v.name = name;
    v.type = Value::String;
    v.text = value;
    return setValue(key, v);
}

int setDword(const std::string& key, const std::string& name, uint32_t value) {
    Value v;
    v.name = name;
    v.type = Value::Dword;
    v.dword = value;
    return setValue(key, v);
}

int deleteValue(const std::string& key, const std::string& name) {
    if (!validKey(key)) return EINVAL;
    return update([&](Store& store) {
        Key* k = findKey(store, key);
        if (!k || !findValue(*k, name)) return ENOENT;
        // Every occurrence of the name in the key goes, earlier ones too, so that none comes back. They are the
        // occurrences the reading found, so a deletion removes exactly what a read would have seen.
        const std::vector<std::pair<size_t, size_t>> ranges = findValue(*k, name)->occurrences;
        eraseLines(store, ranges);
        return 0;
    });
}

int deleteTree(const std::string& key) {
    if (!validKey(key)) return EINVAL;
    return update([&](Store& store) {
        if (!keyExists(store, key)) return ENOENT;
        const std::string n = norm(key);
        std::vector<std::pair<size_t, size_t>> ranges;
        for (const Key& k : store.keys) {
            const std::string kn = norm(k.path);
            if (kn == n || (kn.size() > n.size() && kn.compare(0, n.size(), n) == 0 && kn[n.size()] == '\\'))
                ranges.insert(ranges.end(), k.sections.begin(), k.sections.end());
        }
        eraseLines(store, ranges);
        return 0;
    });
}

std::string errorText(int error) { return std::strerror(error); }

}  // namespace MirrorKit::platform::registry
