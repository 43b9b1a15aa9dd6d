// mirrorkit-server's options and the running server: see Server.h.
#include "Server.h"

#include "MirrorService.h"
#include "Security.h"

#include <grpcpp/grpcpp.h>
#if defined(__SANITIZE_THREAD__)
#include <opencv2/core/utility.hpp>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace MirrorKit::Server {

const char* const kUsage =
    "usage: mirrorkit-server [options]\n"
    "\n"
    "Serves the mirrors of this computer over gRPC (service mirrorkit.v1.MirrorService).\n"
    "\n"
    "  --listen ADDR          address to listen on (default 127.0.0.1:50061; port 0 picks a free port)\n"
    "  --tls-cert FILE        TLS certificate chain (PEM); with --tls-key, clients must use TLS\n"
    "  --tls-key FILE         TLS private key (PEM)\n"
    "  --token-file FILE      every call must carry 'authorization: Bearer <token>' with the token on the\n"
    "                         file's first line; the file must not be readable by other users\n"
    "  --on-idle zero|hold    when the last client of a mirror goes away without closing it: zero and close it\n"
    "                         (default), or hold its shape until a client attaches and closes it\n"
    "  --insecure             allow a non-loopback address without TLS and a token\n"
    "  --profiles DIR         profiles folder (default: the kit's install directory)\n"
    "  --maps DIR             actuator maps folder (default: Map beside the profiles folder when that\n"
    "                         is given, else the kit's install directory)\n"
    "  --calibrations DIR     calibration tables folder (default: Calibration beside the profiles folder\n"
    "                         when that is given, else the kit's install directory)\n"
    "  --port-file FILE       write the port listened on to FILE once listening\n"
    "  --config FILE          read options from FILE first: 'name = value' lines with the names above\n"
    "                         (without --), 'insecure = true', '#' comments\n"
    "  --help                 this text\n"
    "\n"
    "A non-loopback address needs --tls-cert, --tls-key and --token-file, or --insecure.\n"
    "SIGTERM and SIGINT zero and close every open mirror, then stop the server.\n";

namespace {

bool readFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

bool setOption(ServerOptions& o, const std::string& name, const std::string& value, bool hasValue,
               std::string& error) {
    static const std::map<std::string, std::string ServerOptions::*> strings = {
        {"listen", &ServerOptions::listen},       {"tls-cert", &ServerOptions::tlsCert},
        {"tls-key", &ServerOptions::tlsKey},      {"token-file", &ServerOptions::tokenFile},
        {"port-file", &ServerOptions::portFile}};
    static const std::map<std::string, std::string SessionSettings::*> folders = {
        {"profiles", &SessionSettings::profiles},
        {"maps", &SessionSettings::maps},
        {"calibrations", &SessionSettings::calibrations}};
    if (name == "insecure") {
        if (!hasValue || value == "true" || value == "yes" || value == "1") o.insecure = true;
        else if (value == "false" || value == "no" || value == "0") o.insecure = false;
        else return error = "insecure takes true or false, got '" + value + "'", false;
        return true;
    }
    if (!hasValue || value.empty()) return error = "option " + name + " needs a value", false;
    if (auto s = strings.find(name); s != strings.end()) {
        o.*(s->second) = value;
    } else if (auto f = folders.find(name); f != folders.end()) {
        o.sessions.*(f->second) = value;
    } else if (name == "on-idle") {
        if (value == "zero") o.sessions.holdOnIdle = false;
        else if (value == "hold") o.sessions.holdOnIdle = true;
        else return error = "on-idle takes zero or hold, got '" + value + "'", false;
    } else {
        return error = "unknown option " + name, false;
    }
    return true;
}

bool readConfig(const std::string& path, ServerOptions& o, std::string& error) {
    std::string text;
    if (!readFile(path, text, error)) return false;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        const auto eq = line.find('=');
        auto trim = [](std::string s) {
            const auto a = s.find_first_not_of(" \t\r");
            const auto b = s.find_last_not_of(" \t\r");
            return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
        };
        const std::string name = trim(line.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : trim(line.substr(eq + 1));
        if (!setOption(o, name, value, eq != std::string::npos, error)) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, ServerOptions& options, std::string& error, bool& help) {
    help = false;
    // The config file comes first, whatever its place, so that the command line overrides it.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--config" || args[i].rfind("--config=", 0) == 0) {
            std::string path = args[i] == "--config" ? (i + 1 < args.size() ? args[i + 1] : "") : args[i].substr(9);
            if (path.empty()) return error = "--config needs a file", false;
            if (!readConfig(path, options, error)) return false;
        }
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            help = true;
            return true;
        }
        if (a.rfind("--", 0) != 0) return error = "unexpected argument '" + a + "'", false;
        std::string name = a.substr(2), value;
        bool hasValue = false;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
            hasValue = true;
        } else if (name != "insecure") {
            if (i + 1 >= args.size()) return error = "option --" + name + " needs a value", false;
            value = args[++i];
            hasValue = true;
        }
        if (name == "config") continue;
        if (!setOption(options, name, value, hasValue, error)) return false;
    }
    if (options.tlsCert.empty() != options.tlsKey.empty())
        return error = "--tls-cert and --tls-key go together", false;
    return true;
}

std::unique_ptr<MirrorServer> MirrorServer::start(const ServerOptions& options, std::string& error) {
#if defined(__SANITIZE_THREAD__)
    // OpenCV's worker pool (calibration loads) hands work between threads inside a library the sanitizer cannot
    // see into, so every parallel loop would be reported; under it, OpenCV runs its loops on the calling thread.
    cv::setNumThreads(0);
#endif
    const bool tls = !options.tlsCert.empty();
    const bool token = !options.tokenFile.empty();
    if (!options.insecure && !isLoopbackAddress(options.listen) && !(tls && token)) {
        error = "refusing to listen on " + options.listen +
                ", which is not a loopback address, without TLS (--tls-cert, --tls-key) and a token "
                "(--token-file); give --insecure to do it anyway";
        return nullptr;
    }
    std::string secret;
    if (token && !readTokenFile(options.tokenFile, secret, error)) return nullptr;

    std::shared_ptr<grpc::ServerCredentials> credentials = grpc::InsecureServerCredentials();
    if (tls) {
        grpc::SslServerCredentialsOptions ssl;
        grpc::SslServerCredentialsOptions::PemKeyCertPair pair;
        if (!readFile(options.tlsKey, pair.private_key, error) || !readFile(options.tlsCert, pair.cert_chain, error))
            return nullptr;
        ssl.pem_key_cert_pairs.push_back(std::move(pair));
        credentials = grpc::SslServerCredentials(ssl);
    }

    // A profiles folder alone brings its neighbours: Map and Calibration beside it when they exist, else the
    // profiles folder itself (as the Python package does).
    SessionSettings folders = options.sessions;
    if (!folders.profiles.empty()) {
        namespace fs = std::filesystem;
        const fs::path parent = fs::absolute(fs::path(folders.profiles)).parent_path();
        auto beside = [&](const char* name) {
            std::error_code ignored;
            return fs::is_directory(parent / name, ignored) ? (parent / name).string() : folders.profiles;
        };
        if (folders.maps.empty()) folders.maps = beside("Map");
        if (folders.calibrations.empty()) folders.calibrations = beside("Calibration");
    }
    std::unique_ptr<MirrorServer> server(new MirrorServer);
    server->registry_ = std::make_unique<SessionRegistry>(folders);
    server->service_ = std::make_unique<MirrorService>(*server->registry_, secret);

    grpc::ServerBuilder builder;
    builder.AddListeningPort(options.listen, credentials, &server->port_);
    // A second server on a port in use must fail, not share the port and split the clients between two sets of
    // sessions (gRPC would otherwise set SO_REUSEPORT).
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    builder.RegisterService(server->service_.get());
    // Calibration tables travel whole.
    builder.SetMaxReceiveMessageSize(65 * 1024 * 1024);
    // A client that vanishes without closing its connection (power, cable) is found by keep-alive pings within
    // about half a minute; clients may ping every ten seconds.
    builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIME_MS, 15000);
    builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 10000);
    builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
    builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, 10000);
    server->server_ = builder.BuildAndStart();
    if (!server->server_ || server->port_ == 0) {
        error = "cannot listen on " + options.listen;
        server->server_.reset();
        return nullptr;
    }
    if (!options.portFile.empty()) {
        std::ofstream out(options.portFile + ".part");
        out << server->port_ << "\n";
        out.close();
        if (!out || std::rename((options.portFile + ".part").c_str(), options.portFile.c_str()) != 0) {
            error = "cannot write " + options.portFile;
            server->shutdown();
            return nullptr;
        }
    }
    return server;
}

void MirrorServer::shutdown() {
    if (stopped_) return;
    stopped_ = true;
    registry_->shutdown();
    // The mirrors are closed by now, so calls still in flight can only be refused; gRPC also waits this long for
    // clients to drop idle connections, which they need not do.
    if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(250));
}

MirrorServer::~MirrorServer() {
    shutdown();
    if (server_) server_->Wait();
}

}  // namespace MirrorKit::Server
