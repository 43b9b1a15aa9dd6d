// Test helpers: child processes with their output on a pipe, and mirrorkit-server run as one.
#pragma once

#include "support/KrvTestSupport.h"

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace servertest {

// A child process with its standard output on a pipe; killed at the end of the test if still running.
class Process {
public:
    explicit Process(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    // The next line of output, or what came of it when the time is up or the output ends.
    std::string readLine(int timeoutMs = 10000) {
        std::string line;
        char c;
        while (true) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0 || read(out_, &c, 1) != 1) return line;
            if (c == '\n') return line;
            line += c;
        }
    }
    // Everything until the output ends (or the time is up).
    std::string readAll(int timeoutMs = 10000) {
        std::string all;
        char buffer[4096];
        while (true) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return all;
            const ssize_t k = read(out_, buffer, sizeof buffer);
            if (k <= 0) return all;
            all.append(buffer, static_cast<size_t>(k));
        }
    }
    void signal(int s) { kill(pid_, s); }
    // Exit status, or -1 when the process did not end in time (or died of a signal).
    int wait(int timeoutMs = 10000) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// mirrorkit-server (SERVER_PATH) in a process of its own, on an install tree's folders.
class ServerProcess {
public:
    ServerProcess(const krvtest::InstallTree& tree, const std::string& listen = "127.0.0.1:0",
                  std::vector<std::string> extra = {})
        : process_(arguments(tree, listen, std::move(extra))) {
        const std::string line = process_.readLine();
        if (line.find("listening on port") == std::string::npos) throw std::runtime_error("server: " + line);
        port_ = std::stoi(line.substr(line.rfind(' ') + 1));
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    Process& process() { return process_; }

private:
    static std::vector<std::string> arguments(const krvtest::InstallTree& tree, const std::string& listen,
                                              std::vector<std::string> extra) {
        std::vector<std::string> args{SERVER_PATH, "--listen", listen, "--profiles", tree.profiles(),
                                      "--maps", tree.maps(), "--calibrations", tree.calibrations()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    Process process_;
    int port_ = 0;
};

}  // namespace servertest
