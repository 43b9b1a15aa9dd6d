// `krvctl doctor`: where the kit looks for its files and hardware, and what it finds there.
#pragma once

#include <ostream>

namespace krvctl {

// Writes the report to out. Returns 0 when every profile found can be opened, 1 when one cannot (or when no
// install directory is known, so that no profile can be opened at all).
int runDoctor(std::ostream& out);

}  // namespace krvctl
