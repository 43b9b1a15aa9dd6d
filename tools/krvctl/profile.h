// Profile files as krvctl writes and shows them: key checks, scrambling and unscrambling of whole files.
#pragma once

#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace krvctl {

// A mistake in what the user asked for: reported in one line, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Something went wrong while doing what was asked (a file could not be read or written): exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// s in single quotes, with line breaks and other control bytes escaped so that a message stays one line.
std::string quoted(const std::string& s);

// The keys the profile reader knows, in the order it tests them.
const std::vector<std::string>& profileKeys();
bool isProfileKey(const std::string& key);

// Why value cannot be stored under key, or empty when it can. Only known keys are checked.
std::string valueProblem(const std::string& key, const std::string& value);

// The settings of one profile, at most one value per key; a later set replaces an earlier one, as a later
// line replaces an earlier one in the reader.
class ProfileSettings {
public:
    struct Entry {
        std::string key;
        std::string value;
    };

    // Throws UsageError for an unknown key or a value the reader would misread; where names the source
    // ("argument 3", "settings.txt line 4") in the message.
    void set(const std::string& key, const std::string& value, const std::string& where);
    // Parses "key=value" (the key is everything before the first '=').
    void setFromText(const std::string& setting, const std::string& where);
    // Reads "key=value" lines; blank lines and lines starting with '#' are skipped, a trailing CR dropped.
    void readText(std::istream& in, const std::string& sourceName);
    // Checks that need more than one key (inactive actuators against size, vlim against maxv).
    void checkConsistency() const;

    bool empty() const { return entries_.empty(); }
    const std::string* find(const std::string& key) const;
    // Entries in the reader's key order.
    std::vector<Entry> ordered() const;

private:
    std::vector<Entry> entries_;
};

// Writes the settings as the profile file at path, in the reader's key order, replacing it whole. Throws Failure
// when the file cannot be written.
void writeProfileFile(const std::string& path, const ProfileSettings& settings);

// One line of a profile file, unscrambled.
struct ProfileLine {
    size_t number = 0;    // 1-based line number in the file
    std::string text;     // plain "key=value"; empty for a line the reader skips
    std::string problem;  // why the reader skips or ignores the line; empty when it reads it
};

// The lines of the profile file at path exactly as the reader takes them (LF-terminated lines, one trailing CR
// dropped, lines shorter than 2 bytes skipped). Throws Failure when the file cannot be read.
std::vector<ProfileLine> readProfileFile(const std::string& path);

}  // namespace krvctl
