// mirrorkit-server: the mirrors of this computer over gRPC. See Server.cpp for the options.
#include "Server.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv) {
    using namespace MirrorKit::Server;
    // Signals wait for the main thread alone, so that the server's threads never run a handler.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ServerOptions options;
    std::string error;
    bool help = false;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error, help)) {
        std::cerr << "mirrorkit-server: " << error << "\n\n" << kUsage;
        return 2;
    }
    if (help) {
        std::cout << kUsage;
        return 0;
    }
    auto server = MirrorServer::start(options, error);
    if (!server) {
        std::cerr << "mirrorkit-server: " << error << "\n";
        return 1;
    }
    std::cout << "mirrorkit-server: listening on port " << server->port() << std::endl;

    int signal = 0;
    sigwait(&stop, &signal);
    std::cout << "mirrorkit-server: signal " << signal << ", zeroing and closing the mirrors" << std::endl;
    server->shutdown();
    server.reset();
    return 0;
}
