// The subcommands of krvctl; each returns the process exit status or throws UsageError / Failure.
#pragma once

#include <string>
#include <vector>

namespace krvctl {

using Args = std::vector<std::string>;

// krvctl profile write|show ...
int profileCommand(const Args& args);
// krvctl demo [--dir <path>] [--log-level <level>]
int demoCommand(const Args& args);

// Commands that parts of the kit add from their own source files (krvctl remote): name, the lines they add to
// the usage text, and the function.
using CommandFn = int (*)(const Args& args);
bool registerCommand(const char* name, const char* usage, CommandFn fn);
// The registered command of that name, or null; and the usage lines of them all.
CommandFn registeredCommand(const std::string& name);
std::string registeredUsage();

// Writes bytes to path through a temporary file and a rename, so a failed write leaves the old file intact.
void writeFileAtomically(const std::string& path, const std::string& bytes);
// The whole file; throws Failure when it cannot be read.
std::string readWholeFile(const std::string& path);
// Empty when this user may create files in the folder dir; otherwise why not and what to do (join the folder's
// group, log in again, have its mode or group fixed).
std::string folderWriteAdvice(const std::string& dir);

}  // namespace krvctl
