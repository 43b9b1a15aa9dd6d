// krvctl remote: mirrors served by mirrorkit-server, through the remote client library.
#include "commands.h"
#include "profile.h"

#include <KRVRemote.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace krvctl {
namespace {

const char kRemoteUsage[] =
    "\n"
    "mirrors served by mirrorkit-server (HOST:PORT, e.g. 127.0.0.1:50061):\n"
    "  remote list HOST:PORT                 the mirrors the server can open, and their sessions\n"
    "  remote send HOST:PORT SERIAL (--all V | V1 V2 ...)\n"
    "                                        open (or attach to) the mirror's session and send one frame;\n"
    "                                        the frame stays while other clients have the session open, or\n"
    "                                        when the server holds idle mirrors (--on-idle=hold)\n"
    "  remote watch HOST:PORT SESSION [--count N]\n"
    "                                        print each frame applied to the session (sequence, writer,\n"
    "                                        clamped actuators, smallest, mean and largest value), until N\n"
    "                                        frames were printed or the session closes\n"
    "  options of all three: --session NAME (send: the session to use, default the serial number),\n"
    "  --token-file FILE, --ca FILE (PEM of the server's certificate authority: TLS), --timeout SECONDS\n";

struct RemoteArgs {
    std::string target;
    std::vector<std::string> positional;
    std::string session;
    std::string token;
    std::string ca;
    double all = -1.0;
    bool hasAll = false;
    long count = -1;
    uint32_t timeoutMs = 10000;
};

double number(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw UsageError(what + " must be a number, got " + quoted(text));
}

RemoteArgs parse(const Args& args) {
    RemoteArgs r;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--session") r.session = value();
        else if (a == "--token-file") {
            std::string token = readWholeFile(value());
            token.erase(std::find(token.begin(), token.end(), '\n'), token.end());
            while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
            r.token = token;
        } else if (a == "--ca") r.ca = value();
        else if (a == "--all") {
            r.all = number(value(), "--all");
            r.hasAll = true;
        } else if (a == "--count") {
            r.count = static_cast<long>(number(value(), "--count"));
            if (r.count < 1) throw UsageError("--count must be at least 1");
        } else if (a == "--timeout") {
            const double s = number(value(), "--timeout");
            if (!(s > 0 && s < 3600)) throw UsageError("--timeout takes seconds between 0 and 3600");
            r.timeoutMs = static_cast<uint32_t>(s * 1000);
        } else if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
            throw UsageError("unknown option " + quoted(a));
        } else if (r.target.empty()) {
            r.target = a;
        } else {
            r.positional.push_back(a);
        }
    }
    if (r.target.empty()) throw UsageError("remote commands need the server's HOST:PORT");
    return r;
}

std::string failure(const std::string& what, KRVRC rc) {
    return what + ": " + std::to_string(rc) + " " + KRVRemoteLastError();
}

using Connection = std::unique_ptr<KRVRemote, void (*)(KRVRemote*)>;

Connection connect(const RemoteArgs& r) {
    KRVRemoteOptions options{};
    options.Token = r.token.empty() ? nullptr : r.token.c_str();
    options.RootCertificates = r.ca.empty() ? nullptr : r.ca.c_str();
    options.ClientName = "krvctl";
    options.TimeoutMs = r.timeoutMs;
    KRVRemote* remote = nullptr;
    KRVRC rc = KRVRemoteConnect(r.target.c_str(), &options, &remote);
    if (rc != NO_ERR) throw Failure(failure("cannot connect to " + r.target, rc));
    return Connection(remote, KRVRemoteDisconnect);
}

const char* driverName(DRVTYPE type) {
    switch (type) {
    case KRV_USB: return "USB";
    case KRV_PCIE: return "PCIe";
    case KRV_DUMMY_DRV: return "dummy";
    default: return "?";
    }
}

int list(const RemoteArgs& r) {
    if (!r.positional.empty()) throw UsageError("remote list takes only HOST:PORT");
    Connection remote = connect(r);
    uint32_t count = 0;
    KRVRC rc = KRVRemoteListMirrors(remote.get(), nullptr, 0, &count);
    std::vector<KRVRemoteMirrorEntry> entries(count);
    if (rc == NO_ERR) rc = KRVRemoteListMirrors(remote.get(), entries.data(), count, &count);
    if (rc != NO_ERR) throw Failure(failure("list", rc));
    entries.resize(std::min<size_t>(count, entries.size()));
    for (const auto& e : entries) {
        std::cout << e.Serial;
        if (e.ProfileRead) std::cout << "  " << driverName(e.DriverType) << ", " << e.ActCount << " actuators";
        if (e.Open)
            std::cout << "  open in session " << quoted(e.Session) << ", " << e.Clients << " client"
                      << (e.Clients == 1 ? "" : "s") << (e.Reserved ? ", reserved" : "");
        std::cout << "\n";
    }
    if (entries.empty()) std::cout << "no mirrors\n";
    return 0;
}

int send(const RemoteArgs& r) {
    if (r.positional.empty()) throw UsageError("remote send needs the mirror's serial number");
    const std::string serial = r.positional[0];
    const std::vector<std::string> given(r.positional.begin() + 1, r.positional.end());
    if (r.hasAll == !given.empty()) throw UsageError("remote send takes --all V or one value per actuator");
    std::vector<double> frame;
    for (const auto& v : given) frame.push_back(number(v, "a frame value"));

    Connection remote = connect(r);
    KRVRemoteMirrorInfo info{};
    KRVRC rc = KRVRemoteOpen(remote.get(), serial.c_str(), r.session.c_str(), KRV_REMOTE_AUTO, &info);
    if (rc != NO_ERR) throw Failure(failure("open " + serial, rc));
    if (r.hasAll) frame.assign(info.ActCount, r.all);
    if (frame.size() != info.ActCount)
        throw UsageError(serial + " has " + std::to_string(info.ActCount) + " actuators; " +
                         std::to_string(frame.size()) + " values given");
    KRVRemoteFrameResult result{};
    rc = KRVRemoteSend(remote.get(), info.Session, frame.data(), static_cast<uint32_t>(frame.size()), &result);
    if (rc != NO_ERR) throw Failure(failure("send", rc));
    std::cout << "sent frame " << result.Sequence << " to session " << quoted(info.Session);
    if (result.Clamped) {
        std::cout << "; " << result.Clamped << " actuators clamped:";
        for (uint32_t k = 0; k < result.ListedCount; ++k) std::cout << " " << result.Actuators[k];
        if (result.ListedCount < result.Clamped) std::cout << " ...";
    }
    std::cout << "\n";
    return 0;
}

int watch(const RemoteArgs& r) {
    if (r.positional.size() != 1) throw UsageError("remote watch needs one session name");
    Connection remote = connect(r);
    KRVRemoteWatch* raw = nullptr;
    KRVRC rc = KRVRemoteWatchBegin(remote.get(), r.positional[0].c_str(), &raw);
    if (rc != NO_ERR) throw Failure(failure("watch", rc));
    std::unique_ptr<KRVRemoteWatch, void (*)(KRVRemoteWatch*)> w(raw, KRVRemoteWatchEnd);
    std::vector<double> values(MAX_DM_SIZE);
    for (long shown = 0; r.count < 0 || shown < r.count;) {
        KRVRemoteFrameEvent e{};
        rc = KRVRemoteWatchNext(w.get(), values.data(), static_cast<uint32_t>(values.size()), &e, 1000);
        if (rc == ERR_TIMEOUT) continue;
        if (rc != NO_ERR) throw Failure(failure("watch", rc));
        if (e.SessionClosed) {
            std::cout << "session closed\n";
            return 0;
        }
        double lo = 0, hi = 0, sum = 0;
        if (e.Count) {
            lo = *std::min_element(values.begin(), values.begin() + e.Count);
            hi = *std::max_element(values.begin(), values.begin() + e.Count);
            for (uint32_t i = 0; i < e.Count; ++i) sum += values[i];
        }
        char line[256];
        std::snprintf(line, sizeof line, "frame %llu  writer %s  clamped %u  min %.4f  mean %.4f  max %.4f%s",
                      static_cast<unsigned long long>(e.Sequence), e.Writer[0] ? e.Writer : "-", e.Clamped, lo,
                      e.Count ? sum / e.Count : 0.0, hi, e.Dropped ? "  (frames dropped)" : "");
        std::cout << line << std::endl;
        ++shown;
    }
    return 0;
}

int remoteCommand(const Args& args) {
    if (args.empty()) throw UsageError("remote needs list, send or watch");
    const RemoteArgs r = parse(Args(args.begin() + 1, args.end()));
    if (args[0] == "list") return list(r);
    if (args[0] == "send") return send(r);
    if (args[0] == "watch") return watch(r);
    throw UsageError("unknown remote command " + quoted(args[0]) + " (list, send or watch)");
}

const bool registered = registerCommand("remote", kRemoteUsage, remoteCommand);

}  // namespace
}  // namespace krvctl
