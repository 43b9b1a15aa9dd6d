// Profile files as krvctl writes and shows them: key checks, scrambling and unscrambling of whole files.
#include "profile.h"

#include <KRV.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <limits>

namespace krvctl {
namespace {

// The reader stores voltages as value << 7 in 32 bits; larger values would lose their top bits.
constexpr uint64_t kMaxVoltageValue = (uint64_t{1} << 25) - 1;
// The record holds at most 4095 inactive actuators and a terminator.
constexpr uint64_t kMaxInactive = 4095;
constexpr uint64_t kMaxActuators = 4096;

bool isUnsignedKey(const std::string& key) {
    static const char* const keys[] = {"type", "size", "maxv", "hva", "use_fiber", "use_CL",
                                       "burst_mode", "fiber_mode", "hva2", "vlim"};
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

bool isSignedKey(const std::string& key) {
    return key == "use_fiber2" || key == "use_CL2" || key == "fiber_mode2";
}

bool allDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Decimal without sign or blanks; false when empty, not a number, or above max.
bool parseUnsigned(const std::string& s, uint64_t max, uint64_t& out) {
    if (!allDigits(s) || s.size() > 20) return false;
    uint64_t v = 0;
    for (unsigned char c : s) {
        const uint64_t digit = c - '0';
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (v > max) return false;
    out = v;
    return true;
}

std::string trimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string hexByte(unsigned char c) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[c >> 4] + digits[c & 15];
}

// Inactive actuators as the reader takes them: count, one separator, then count numbers split by ','.
// Returns the problem, or empty; numbers receives the actuator numbers.
std::string inactiveProblem(const std::string& value, std::vector<uint64_t>* numbers) {
    size_t pos = 0;
    while (pos < value.size() && std::isdigit(static_cast<unsigned char>(value[pos]))) ++pos;
    uint64_t count = 0;
    if (!parseUnsigned(value.substr(0, pos), kMaxInactive, count))
        return "must start with the count of inactive actuators (0 to " + std::to_string(kMaxInactive) +
               "), as in 2:5,17";
    if (pos == value.size()) {
        if (count == 0) return std::string();
        return "has no separator after the count, as in 2:5,17";
    }
    const unsigned char separator = static_cast<unsigned char>(value[pos]);
    // The reader skips blanks before the separator and would take a digit or sign as the separator.
    if (std::isspace(separator) || std::isdigit(separator) || separator == ',' || separator == '-' ||
        separator == '+')
        return "needs a separator such as ':' after the count, as in 2:5,17";
    const std::string list = value.substr(pos + 1);
    std::vector<std::string> fields;
    if (!list.empty() || count > 0) {
        size_t start = 0;
        for (;;) {
            const size_t comma = list.find(',', start);
            fields.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    if (count == 0 && fields.size() == 1 && trimBlanks(fields[0]).empty()) fields.clear();
    if (fields.size() != count)
        return "gives a count of " + std::to_string(count) + " but lists " + std::to_string(fields.size()) +
               " actuator" + (fields.size() == 1 ? "" : "s");
    for (const std::string& f : fields) {
        uint64_t n = 0;
        if (!parseUnsigned(trimBlanks(f), kMaxActuators - 1, n))
            return "lists " + quoted(f) + ", which is not an actuator number from 0 to " +
                   std::to_string(kMaxActuators - 1);
        if (numbers) numbers->push_back(n);
    }
    return std::string();
}

}  // namespace

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (unsigned char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x" + hexByte(c).substr(2);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

const std::vector<std::string>& profileKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> list;
        for (uint32_t i = 0; const char* key = KRVProfileKey(i); ++i) list.push_back(key);
        return list;
    }();
    return keys;
}

bool isProfileKey(const std::string& key) {
    const auto& keys = profileKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string valueProblem(const std::string& key, const std::string& value) {
    for (size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '\n' || c == '\r') return "contains a line break";
        if (c == '\0') return "contains a NUL byte";
    }
    // The file's encoding turns some bytes into a line feed, or a final one into a carriage return that the
    // reader drops; the kit says which values it can store unchanged.
    if (isProfileKey(key) && KRVCheckProfileSetting((key + "=" + value).c_str()) != NO_ERR) {
        for (size_t i = 0; i < value.size(); ++i) {
            if (KRVCheckProfileSetting((key + "=" + value.substr(i, 1) + "x").c_str()) != NO_ERR)
                return "contains byte " + hexByte(static_cast<unsigned char>(value[i])) +
                       ", which a profile file turns into a line feed that would split the line";
        }
        return "ends in byte " + hexByte(static_cast<unsigned char>(value.back())) +
               ", which a profile file turns into a carriage return that the reader drops";
    }

    uint64_t n = 0;
    if (key == "type") {
        if (!parseUnsigned(value, 2, n)) return "must be 0 (USB), 1 (PCIe) or 2 (dummy)";
    } else if (key == "size") {
        if (!parseUnsigned(value, kMaxActuators, n) || n == 0)
            return "must be an actuator count from 1 to " + std::to_string(kMaxActuators);
    } else if (key == "maxv") {
        if (!parseUnsigned(value, kMaxVoltageValue, n) || n == 0)
            return "must be a voltage from 1 to " + std::to_string(kMaxVoltageValue);
    } else if (key == "vlim") {
        if (!parseUnsigned(value, kMaxVoltageValue, n))
            return "must be a voltage from 0 to " + std::to_string(kMaxVoltageValue);
    } else if (isUnsignedKey(key)) {
        if (!parseUnsigned(value, std::numeric_limits<uint32_t>::max(), n))
            return "must be an unsigned decimal number";
    } else if (isSignedKey(key)) {
        const bool negative = !value.empty() && value[0] == '-';
        const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
        if (!parseUnsigned(negative ? value.substr(1) : value, limit, n)) return "must be a decimal number";
    } else if (key == "inactive") {
        return inactiveProblem(value, nullptr);
    } else if (key == "driver_sn" || key == "driver_sn2") {
        // The reader keeps 11 characters; a longer serial number would be cut without a word.
        if (value.size() > 11) return "is longer than 11 characters";
    }
    return std::string();
}

void ProfileSettings::set(const std::string& key, const std::string& value, const std::string& where) {
    if (!isProfileKey(key)) {
        std::string known;
        for (const auto& k : profileKeys()) known += (known.empty() ? "" : ", ") + k;
        throw UsageError(where + ": unknown profile key " + quoted(key) + " (known keys: " + known + ")");
    }
    const std::string problem = valueProblem(key, value);
    if (!problem.empty()) throw UsageError(where + ": value of " + key + " " + problem);
    for (Entry& e : entries_)
        if (e.key == key) {
            e.value = value;
            return;
        }
    entries_.push_back({key, value});
}

void ProfileSettings::setFromText(const std::string& setting, const std::string& where) {
    const size_t eq = setting.find('=');
    if (eq == std::string::npos) throw UsageError(where + ": expected key=value, got " + quoted(setting));
    set(setting.substr(0, eq), setting.substr(eq + 1), where);
}

void ProfileSettings::readText(std::istream& in, const std::string& sourceName) {
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string trimmed = trimBlanks(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        setFromText(line, sourceName + " line " + std::to_string(number));
    }
    if (in.bad()) throw Failure("cannot read " + sourceName);
}

void ProfileSettings::checkConsistency() const {
    const std::string* size = find("size");
    const std::string* inactive = find("inactive");
    if (size && inactive) {
        std::vector<uint64_t> numbers;
        inactiveProblem(*inactive, &numbers);
        const uint64_t count = std::stoull(*size);
        for (uint64_t n : numbers)
            if (n >= count)
                throw UsageError("inactive actuator " + std::to_string(n) + " is not below size " + *size);
    }
    const std::string* sn = find("driver_sn");
    const std::string* sn2 = find("driver_sn2");
    // Frames for the two units would both go to the one unit with that number; the kit refuses such a profile.
    if (sn && sn2 && !sn->empty() && *sn == *sn2)
        throw UsageError("driver_sn2 " + quoted(*sn2) + " is the serial number of driver_sn; each unit has its own");
    const std::string* maxv = find("maxv");
    const std::string* vlim = find("vlim");
    // A limit above the maximum voltage would make full-scale commands exceed the 16-bit driver range.
    if (maxv && vlim && std::stoull(*vlim) > std::stoull(*maxv))
        throw UsageError("vlim " + *vlim + " is above maxv " + *maxv);
}

const std::string* ProfileSettings::find(const std::string& key) const {
    for (const Entry& e : entries_)
        if (e.key == key) return &e.value;
    return nullptr;
}

std::vector<ProfileSettings::Entry> ProfileSettings::ordered() const {
    std::vector<Entry> out;
    for (const std::string& key : profileKeys())
        if (const std::string* value = find(key)) out.push_back({key, *value});
    return out;
}

void writeProfileFile(const std::string& path, const ProfileSettings& settings) {
    std::vector<std::string> lines;
    for (const auto& e : settings.ordered()) lines.push_back(e.key + "=" + e.value);
    std::vector<const char*> pointers;
    for (const auto& l : lines) pointers.push_back(l.c_str());
    errno = 0;
    const KRVRC rc = KRVWriteProfile(path.c_str(), pointers.data(), static_cast<uint32_t>(pointers.size()));
    const int err = errno;
    if (rc == ERR_BADARG) throw UsageError("cannot store these settings in " + path);
    // The system's own words for what failed (as for any other file krvctl writes), else the kit's.
    if (rc == ERR_FILE_PERMISSIONS) throw Failure("cannot write " + path + ": " + std::strerror(err ? err : EACCES));
    if (rc != NO_ERR) throw Failure("cannot write " + path + ": " + (err ? std::strerror(err) : KRVErrorString(rc)));
}

std::vector<ProfileLine> readProfileFile(const std::string& path) {
    std::vector<ProfileLine> lines;
    const KRVRC rc = KRVReadProfileLines(
        path.c_str(),
        [](void* context, uint32_t number, const char* text, uint32_t length) {
            ProfileLine line;
            line.number = number;
            if (!text) {
                line.problem = "shorter than 2 bytes; the reader skips it";
            } else {
                line.text.assign(text, length);
                const std::string key = line.text.substr(0, line.text.find('='));
                if (!isProfileKey(key)) line.problem = "unknown key " + quoted(key) + "; the reader ignores this line";
            }
            static_cast<std::vector<ProfileLine>*>(context)->push_back(std::move(line));
        },
        &lines);
    if (rc != NO_ERR) throw Failure("cannot read " + path + ": " + KRVErrorString(rc));
    return lines;
}

}  // namespace krvctl
