// `krvctl profile write` and `krvctl profile show`.
#include "commands.h"
#include "profile.h"

#include <unistd.h>

#include <fstream>
#include <iostream>

namespace krvctl {
namespace {

void readSettingsFrom(ProfileSettings& settings, const std::string& source) {
    if (source == "-") {
        settings.readText(std::cin, "standard input");
        return;
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) throw Failure("cannot open " + source);
    settings.readText(in, source);
}

int writeProfile(const Args& args) {
    if (args.size() < 2) throw UsageError("profile write needs a file name: krvctl profile write <file> [key=value ...]");
    const std::string file = args[1];
    ProfileSettings settings;
    bool anySource = false;
    // Settings apply in the order given, so a later key=value overrides a value read from a file before it.
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::string where = "argument " + std::to_string(i + 2);
        if (arg == "--from") {
            if (i + 1 >= args.size()) throw UsageError("--from needs a file name (or - for standard input)");
            readSettingsFrom(settings, args[++i]);
        } else if (arg.rfind("--from=", 0) == 0) {
            readSettingsFrom(settings, arg.substr(7));
        } else if (arg == "-") {
            readSettingsFrom(settings, "-");
        } else if (arg.rfind("--", 0) == 0) {
            // --key value or --key=value, for the keys of the profile.
            const std::string option = arg.substr(2);
            const size_t eq = option.find('=');
            if (eq != std::string::npos) {
                settings.set(option.substr(0, eq), option.substr(eq + 1), where);
            } else {
                if (!isProfileKey(option)) settings.set(option, "", where);  // reports the unknown key
                if (i + 1 >= args.size()) throw UsageError(where + ": --" + option + " needs a value");
                settings.set(option, args[++i], where);
            }
        } else {
            settings.setFromText(arg, where);
        }
        anySource = true;
    }
    if (!anySource) {
        if (::isatty(STDIN_FILENO))
            throw UsageError("nothing to write: give key=value settings, --from <file>, or lines on standard input");
        readSettingsFrom(settings, "-");
    }
    if (settings.empty()) throw UsageError("no settings to write to " + file);
    settings.checkConsistency();
    try {
        writeProfileFile(file, settings);
    } catch (const Failure& e) {
        const size_t slash = file.find_last_of('/');
        const std::string advice = folderWriteAdvice(slash == std::string::npos ? "." : file.substr(0, slash + 1));
        if (advice.empty()) throw;
        throw Failure(std::string(e.what()) + " -- " + advice);
    }
    std::cout << "wrote " << settings.ordered().size() << " settings to " << file << "\n";
    return 0;
}

int showProfile(const Args& args) {
    if (args.size() != 2) throw UsageError("profile show takes one file name: krvctl profile show <file>");
    const std::string& file = args[1];
    const std::vector<ProfileLine> lines = readProfileFile(file);
    for (const ProfileLine& line : lines) {
        if (!line.text.empty()) std::cout << line.text << "\n";
        if (!line.problem.empty())
            std::cerr << "krvctl: " << file << " line " << line.number << ": " << line.problem << "\n";
    }
    return 0;
}

}  // namespace

int profileCommand(const Args& args) {
    if (args.empty()) throw UsageError("profile needs a subcommand: write or show");
    if (args[0] == "write") return writeProfile(args);
    if (args[0] == "show") return showProfile(args);
    throw UsageError("unknown profile subcommand " + quoted(args[0]) + " (use write or show)");
}

}  // namespace krvctl
