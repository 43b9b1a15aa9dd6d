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

// Writes bytes to path through a temporary file and a rename, so a failed write leaves the old file intact.
void writeFileAtomically(const std::string& path, const std::string& bytes);

}  // namespace krvctl
