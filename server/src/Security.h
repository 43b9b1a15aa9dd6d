// The server's security rules: token files and their comparison, and which listen addresses are loopback only.
#pragma once

#include <string>

namespace MirrorKit::Server {

// Compares a presented token with the server's in time that does not depend on where they differ.
bool tokenMatches(const std::string& presented, const std::string& expected);

// Reads a token file: the first line, without surrounding white space. Refuses files that other users may read
// and empty tokens. False with a message in error.
bool readTokenFile(const std::string& path, std::string& token, std::string& error);

// True when every address the listen address can mean is on the loopback interface (127.0.0.0/8, ::1,
// "localhost", a Unix socket). Host names are resolved.
bool isLoopbackAddress(const std::string& listen);

}  // namespace MirrorKit::Server
