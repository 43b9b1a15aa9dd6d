// mirrorkit-server's options and the running server: listening socket, credentials, the service and its sessions.
#pragma once

#include "Sessions.h"

#include <memory>
#include <string>
#include <vector>

namespace grpc {
class Server;
}

namespace MirrorKit::Server {

class MirrorService;

struct ServerOptions {
    std::string listen = "127.0.0.1:50061";
    std::string tlsCert;
    std::string tlsKey;
    std::string tokenFile;
    bool insecure = false;
    std::string portFile;  // where the bound port is written once listening
    SessionSettings sessions;
};

// Reads the options: a config file first (--config, key = value lines with the long option names, '#' comments),
// then the command line. False with a message; help set when --help was asked.
bool parseOptions(const std::vector<std::string>& args, ServerOptions& options, std::string& error, bool& help);
extern const char* const kUsage;

class MirrorServer {
public:
    // Checks the security rules, reads credentials and starts listening. Null with a message on failure.
    static std::unique_ptr<MirrorServer> start(const ServerOptions& options, std::string& error);
    ~MirrorServer();

    int port() const { return port_; }
    SessionRegistry& registry() { return *registry_; }
    // Tells the clients, zeroes and closes every open mirror, then stops serving (calls still in flight are
    // cancelled after a quarter of a second). Safe to call more than once.
    void shutdown();

private:
    MirrorServer() = default;
    std::unique_ptr<SessionRegistry> registry_;
    std::unique_ptr<MirrorService> service_;
    std::unique_ptr<grpc::Server> server_;
    int port_ = 0;
    bool stopped_ = false;
};

}  // namespace MirrorKit::Server
