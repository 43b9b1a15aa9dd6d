// Fault soak: two emulated USB units and two emulated PCIe cards, one sending process per mirror, while units are
// unplugged, plugged back in either order and stalled, and senders are killed and started again. At the end every
// frame a sender was told had gone out is looked for in what the units and cards themselves recorded.
//
//   krv_soak run SECONDS        the whole soak (under umockdev-wrapper); prints counts and "N passed, M failed"
//   krv_soak send MIRROR RESTART [FRAMES]   one sender (started by run)
//
// A sender that ends without being asked (a crash, a sanitizer's report) fails the soak. KRV_SOAK_SENDER_EXIT=N
// makes every sender end by itself with status 9 after N frames, which the soak must report.
#include <KRV.h>
#include <pexlink.h>

#include "krv/dravix/IHostDrv.h"
#include "krv/emu/UsbUnits.h"
#include "krv/emu/pexcard.h"
#include "support/KrvTestSupport.h"

#include <krv/platform/com.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace Emu = MirrorKit::Emu;

constexpr int kMirrors = 4;  // 0, 1 on USB units; 2, 3 on PCIe cards 1 and 2
constexpr uint32_t kActuators = 140;
constexpr uint32_t kUsbChannels = 160;
constexpr uint16_t kMagic = 0xC000;
const char* const kMirrorSerial[kMirrors] = {"SOAKUSB0001", "SOAKUSB0002", "SOAKPCI0001", "SOAKPCI0002"};
const char* const kUnitSerial[2] = {"SOAKUNIT00A", "SOAKUNIT00B"};

bool isUsb(int mirror) { return mirror < 2; }

// What a sender writes for each frame it tried, appended whole to its own file.
struct Attempt {
    uint32_t restart;
    uint32_t sequence;
    int32_t rc;
};

// A frame that can be told apart from every other: sender, restart, sequence, a pattern and a checksum.
std::array<uint16_t, kActuators> frameCodes(int mirror, uint32_t restart, uint32_t sequence) {
    std::array<uint16_t, kActuators> c{};
    c[0] = uint16_t(kMagic | mirror);
    c[1] = uint16_t(restart);
    c[2] = uint16_t(sequence);
    c[3] = uint16_t(sequence >> 16);
    uint32_t x = (uint32_t(mirror) * 2654435761u) ^ (restart * 40503u) ^ (sequence * 2246822519u);
    for (uint32_t k = 4; k + 1 < kActuators; ++k) {
        x = x * 1664525u + 1013904223u;
        c[k] = uint16_t(x >> 16);
    }
    uint32_t sum = 0;
    for (uint32_t k = 0; k + 1 < kActuators; ++k) sum += c[k];
    c[kActuators - 1] = uint16_t(sum);
    return c;
}

// The frame a block of codes carries. ok is false for a block that is no soak frame (zeros of a clear, say);
// intact is false for one that looks like a soak frame but differs from what its sender would have sent.
struct Decoded {
    bool ok = false;
    bool intact = false;
    int mirror = -1;
    uint32_t restart = 0;
    uint32_t sequence = 0;
};

Decoded decode(const uint16_t* codes) {
    Decoded d;
    if ((codes[0] & 0xFFF0) != kMagic) return d;
    d.ok = true;
    d.mirror = codes[0] & 0xF;
    d.restart = codes[1];
    d.sequence = uint32_t(codes[2]) | uint32_t(codes[3]) << 16;
    if (d.mirror >= kMirrors) return d;
    const auto expected = frameCodes(d.mirror, d.restart, d.sequence);
    d.intact = std::equal(expected.begin(), expected.end(), codes);
    return d;
}

uint64_t key(uint32_t restart, uint32_t sequence) { return uint64_t(restart) << 32 | sequence; }

// ---- sender -----------------------------------------------------------------------------------------------------

volatile sig_atomic_t gStop = 0;
void onTerm(int) { gStop = 1; }

int sendMain(int mirror, uint32_t restart, long frames, const std::string& work) {
    signal(SIGTERM, onTerm);
    const std::string logPath = work + "/sender" + std::to_string(mirror) + ".log";
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log < 0) return 3;
    krvtest::setEnv("LOCALAPPDATA", work + "/log" + std::to_string(mirror));
    KRVConfigureLog((work + "/sender" + std::to_string(mirror) + ".krvlog").c_str(), KRV_LOG_OFF);

    const char* exitAfter = std::getenv("KRV_SOAK_SENDER_EXIT");
    const long failAt = exitAfter != nullptr ? std::atol(exitAfter) : -1;

    DM dm{};
    bool open = false;
    uint32_t sequence = 0;
    long succeeded = 0;
    std::vector<double> values(kActuators);
    while (!gStop && (frames < 0 || succeeded < frames)) {
        if (!open) {
            dm = DM{};
            if (!isUsb(mirror)) dm.DevId = mirror - 1;  // cards 1 and 2
            if (KRVOpen(&dm, kMirrorSerial[mirror]) != NO_ERR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            open = true;
        }
        const auto codes = frameCodes(mirror, restart, sequence);
        for (uint32_t k = 0; k < kActuators; ++k) values[k] = codes[k] / 65535.0;
        const KRVRC rc = KRVSetArray(&dm, values.data(), nullptr);
        const Attempt a{restart, sequence, int32_t(rc)};
        if (write(log, &a, sizeof a) != sizeof a) return 3;
        ++sequence;
        if (rc == NO_ERR) {
            if (++succeeded == failAt) _exit(9);
        } else if (rc == ERR_NO_HW || rc == ERR_DRIVER_ALREADY_OPEN) {
            KRVClose(&dm);
            open = false;
        }
        // Leave the two processors some room for the bed and the other senders.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (open) KRVClose(&dm);
    close(log);
    return frames < 0 || succeeded >= frames ? 0 : 4;
}

// ---- the soak itself --------------------------------------------------------------------------------------------

std::string selfPath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

pid_t spawnSender(const std::string& self, int mirror, uint32_t restart, long frames = -1) {
    std::vector<std::string> args = {self, "send", std::to_string(mirror), std::to_string(restart),
                                     std::to_string(frames)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Waits for a process to end; false when it did not within the time.
bool waitEnd(pid_t pid, int timeoutMs, int* status = nullptr) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status) *status = st;
            return true;
        }
        if (r < 0) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct Arrivals {
    // Per mirror (by where the frame arrived): frames seen by (restart, sequence) and how often.
    std::array<std::map<uint64_t, int>, kMirrors> seen;
    uint64_t total = 0;
    uint64_t misdirected = 0;
    uint64_t corrupt = 0;
    uint64_t abandoned = 0;    // card transfers cut short by the death of their sender
    uint64_t lostRecords = 0;  // card log entries, or their words, gone before they were read

    void add(int at, const uint16_t* codes) {
        const Decoded d = decode(codes);
        if (!d.ok) {
            bool zero = std::all_of(codes, codes + kActuators, [](uint16_t c) { return c == 0; });
            if (!zero) ++corrupt;
            return;
        }
        ++total;
        if (!d.intact) {
            ++corrupt;
            return;
        }
        if (d.mirror != at) {
            ++misdirected;
            return;
        }
        ++seen[size_t(at)][key(d.restart, d.sequence)];
    }
};

class Soak {
public:
    explicit Soak(int seconds) : seconds_(seconds), rng_(std::random_device{}()) {}
    ~Soak() { stopCardReader(); }

    int run() {
        if (!bed_.available()) {
            std::fprintf(stderr, "krv_soak: needs umockdev-wrapper\n");
            return 77;
        }
        if (!setUp()) return 2;
        self_ = selfPath();
        for (int m = 0; m < kMirrors; ++m) start(m);
        startCardReader();

        const auto end = Clock::now() + std::chrono::seconds(seconds_);
        auto nextEvent = Clock::now();
        auto nextCollect = Clock::now();
        while (Clock::now() < end) {
            const auto now = Clock::now();
            reap();
            settle(now);
            if (now >= nextEvent) {
                event(now);
                nextEvent = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 400)(rng_));
            }
            if (now >= nextCollect) {
                collect();
                nextCollect = now + std::chrono::milliseconds(100);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return finish();
    }

private:
    bool setUp() {
        krvtest::writeMap(tree_.maps() + "/soak_usb.map", usbMap());
        for (int m = 0; m < kMirrors; ++m) {
            std::vector<std::string> lines;
            if (isUsb(m)) {
                lines = {"type=0", "size=140", "maxv=100", "vlim=100", "map=soak_usb.map",
                         std::string("driver_sn=") + kUnitSerial[m]};
            } else {
                lines = {"type=1", "size=140", "maxv=100", "vlim=100", "hva=2", "use_fiber=1", "use_CL=0",
                         "fiber_mode=1", "burst_mode=0"};
            }
            krvtest::writeProfile(tree_.profiles() + "/" + kMirrorSerial[m] + ".dm", lines);
        }
        krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent_in_soak.so");
        krvtest::setEnv("SOAK_WORK", work_.path());
        if (MirrorKit::com::registerServer(DRAVIX_PATH, false) != S_OK) {
            std::fprintf(stderr, "krv_soak: cannot register the host-driver server\n");
            return false;
        }
        for (int u = 0; u < 2; ++u) {
            MirrorKit::emu::UsbUnitConfig cfg;
            cfg.serialNumber = kUnitSerial[u];
            if (bed_.addUnit(cfg) != u) return false;
        }
        std::string error;
        Emu::CardOptions options;
        if (!Emu::createCards(cards_.path(), 2, options, &error)) {
            std::fprintf(stderr, "krv_soak: %s\n", error.c_str());
            return false;
        }
        krvtest::setEnv("PEXLINK_DEVICE_DIR", cards_.path());
        krvtest::setEnv("PEXLINK_LOCK_NAME", "krv-soak-" + std::to_string(getpid()));
        for (int c = 1; c <= 2; ++c) {
            card_[size_t(c - 1)] = Emu::Card::open(Emu::cardDevicePath(cards_.path(), c), &error);
            if (!card_[size_t(c - 1)]) return false;
        }
        return true;
    }

    static std::vector<uint32_t> usbMap() {
        std::vector<uint32_t> map(kUsbChannels, MAX_DM_SIZE);
        for (uint32_t c = 0; c < kActuators; ++c) map[c] = c;
        return map;
    }

    void start(int m) {
        pid_[size_t(m)] = spawnSender(self_, m, ++restarts_[size_t(m)]);
        startedAt_[size_t(m)] = Clock::now();
    }

    // Units plugged back and stalls released once their time is up.
    void settle(Clock::time_point now) {
        for (int u = 0; u < 2; ++u) {
            if (!bed_.plugged(u) && now >= replugAt_[size_t(u)]) replug(u);
            if (stalled_[size_t(u)] && now >= releaseAt_[size_t(u)]) {
                bed_.holdBulk(u, false);
                stalled_[size_t(u)] = false;
            }
        }
    }

    void replug(int u) {
        if (bed_.replug(u)) ++replugs_;
    }

    // Senders end only when the soak kills them or asks them to stop. One that ended by itself is counted and
    // started again.
    void reap() {
        for (int m = 0; m < kMirrors; ++m) {
            int status = 0;
            if (waitpid(pid_[size_t(m)], &status, WNOHANG) != pid_[size_t(m)]) continue;
            senderFailed(m, status);
            start(m);
        }
    }

    void senderFailed(int m, int status) {
        ++failedSenders_;
        if (WIFSIGNALED(status))
            std::printf("sender %d (restart %u) ended by signal %d\n", m, restarts_[size_t(m)], WTERMSIG(status));
        else
            std::printf("sender %d (restart %u) ended by itself with status %d\n", m, restarts_[size_t(m)],
                        WEXITSTATUS(status));
    }

    void event(Clock::time_point now) {
        const int what = std::uniform_int_distribution<int>(0, 9)(rng_);
        const int u = std::uniform_int_distribution<int>(0, 1)(rng_);
        if (what < 3) {
            if (!bed_.plugged(u)) return;
            bed_.unplug(u);
            ++unplugs_;
            // Both units may be out at once; they come back in whichever order their times fall.
            replugAt_[size_t(u)] = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(30, 600)(rng_));
        } else if (what < 5) {
            if (stalled_[size_t(u)] || !bed_.plugged(u)) return;
            bed_.holdBulk(u, true);
            stalled_[size_t(u)] = true;
            ++stalls_;
            releaseAt_[size_t(u)] = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 1500)(rng_));
        } else {
            const int m = std::uniform_int_distribution<int>(0, kMirrors - 1)(rng_);
            kill(pid_[size_t(m)], SIGKILL);
            // Unless it had ended by itself just before.
            int status = W_EXITCODE(0, SIGKILL);
            waitEnd(pid_[size_t(m)], 5000, &status);
            if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) senderFailed(m, status);
            ++kills_;
            start(m);
        }
    }

    void collect() {
        collectUnits();
        collectCards();
    }

    void collectUnits() {
        std::lock_guard<std::mutex> lock(arrivalsMutex_);
        for (int u = 0; u < 2; ++u) {
            for (const auto& block : bed_.takeBulkTransfers(u)) {
                std::vector<uint16_t> codes(kUsbChannels, 0);
                for (size_t c = 0; c < codes.size() && 2 * c + 1 < block.size(); ++c)
                    codes[c] = uint16_t(block[2 * c] | block[2 * c + 1] << 8);
                arrivals_.add(u, codes.data());
            }
        }
    }

    // The cards keep a bounded log: it is read on a thread of its own, so that a slow kill, replug or wait in the
    // main loop never lets transfers fall out of it unread.
    void collectCards() {
        std::lock_guard<std::mutex> lock(arrivalsMutex_);
        for (int c = 0; c < 2; ++c) {
            for (const Emu::Transfer& t : card_[size_t(c)]->transfers(cardSeen_[size_t(c)])) {
                // A transfer that fell out of the log before it was read shows as a gap in the sequence.
                if (t.sequence > cardSeen_[size_t(c)]) arrivals_.lostRecords += t.sequence - cardSeen_[size_t(c)];
                cardSeen_[size_t(c)] = t.sequence + 1;
                // A sender killed inside the transfer was never told it succeeded: its entry may be partial.
                if (t.abandoned) {
                    ++arrivals_.abandoned;
                    continue;
                }
                if (t.command != PEX_CMD_WRITE_BURST || t.address != Emu::Reg::FrameMemory || t.status != 0)
                    continue;
                if (!t.wordsKept) {
                    ++arrivals_.lostRecords;
                    continue;
                }
                std::vector<uint16_t> codes(kActuators, 0);
                for (size_t k = 0; k < t.words.size() && 2 * k + 1 < codes.size(); ++k) {
                    codes[2 * k] = uint16_t(t.words[k]);
                    codes[2 * k + 1] = uint16_t(t.words[k] >> 16);
                }
                arrivals_.add(2 + c, codes.data());
            }
        }
    }

    void startCardReader() {
        readingCards_ = true;
        cardReader_ = std::thread([this] {
            while (readingCards_) {
                collectCards();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }

    void stopCardReader() {
        readingCards_ = false;
        if (cardReader_.joinable()) cardReader_.join();
    }

    int finish() {
        stopCardReader();
        // Units back, stalls released, senders asked to stop: each must close its mirror and end.
        for (int u = 0; u < 2; ++u) {
            if (stalled_[size_t(u)]) bed_.holdBulk(u, false);
            if (!bed_.plugged(u)) replug(u);
        }
        int hung = 0;
        for (int m = 0; m < kMirrors; ++m) kill(pid_[size_t(m)], SIGTERM);
        for (int m = 0; m < kMirrors; ++m) {
            // Asked to stop, a sender closes its mirror and ends with 0; one started so recently that it had not
            // yet taken the signal ends by it.
            int status = W_EXITCODE(0, SIGTERM);
            if (waitEnd(pid_[size_t(m)], 15000, &status)) {
                const bool asked = WIFSIGNALED(status) ? WTERMSIG(status) == SIGTERM : WEXITSTATUS(status) == 0;
                if (!asked) senderFailed(m, status);
            } else {
                std::printf("sender %d did not end within 15 s of being asked\n", m);
                if (const char* trace = std::getenv("KRV_SOAK_TRACE"))
                    if (std::system((std::string(trace) + " " + std::to_string(pid_[size_t(m)])).c_str()) != 0)
                        std::printf("the trace of sender %d failed\n", m);
                ++hung;
                kill(pid_[size_t(m)], SIGKILL);
                waitEnd(pid_[size_t(m)], 5000);
            }
        }
        collect();

        // Every mirror opens again and takes frames: no unit, card lock or claim was left blocked.
        int blocked = 0;
        for (int m = 0; m < kMirrors; ++m) {
            const pid_t last = spawnSender(self_, m, ++restarts_[size_t(m)], 20);
            int status = 0;
            if (!waitEnd(last, 30000, &status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::printf("mirror %d could not be opened and driven after the soak\n", m);
                ++blocked;
                kill(last, SIGKILL);
                waitEnd(last, 5000);
            }
        }
        collect();
        return check(hung, blocked);
    }

    int check(int hung, int blocked) {
        uint64_t sent = 0, succeeded = 0, refused = 0, missing = 0, duplicated = 0, arrivedAfterRefusal = 0;
        for (int m = 0; m < kMirrors; ++m) {
            std::FILE* f = std::fopen((work_.path() + "/sender" + std::to_string(m) + ".log").c_str(), "rb");
            if (!f) continue;
            Attempt a;
            auto& seen = arrivals_.seen[size_t(m)];
            while (std::fread(&a, sizeof a, 1, f) == 1) {
                ++sent;
                const auto it = seen.find(key(a.restart, a.sequence));
                const int times = it == seen.end() ? 0 : it->second;
                if (a.rc == NO_ERR) {
                    ++succeeded;
                    if (times == 0) ++missing;
                    if (times > 1) ++duplicated;
                } else {
                    ++refused;
                    if (times > 0) ++arrivedAfterRefusal;
                }
            }
            std::fclose(f);
        }
        std::printf("frames sent %llu, succeeded %llu, refused %llu, arrived %llu\n", (unsigned long long)sent,
                    (unsigned long long)succeeded, (unsigned long long)refused, (unsigned long long)arrivals_.total);
        std::printf("unplugs %d, replugs %d, stalls %d, kills %d (card transfers cut short by a kill %llu)\n",
                    unplugs_, replugs_, stalls_, kills_, (unsigned long long)arrivals_.abandoned);

        int passed = 0, failed = 0;
        auto expect = [&](bool ok, const char* what, uint64_t count) {
            std::printf("%s %s (%llu)\n", ok ? "PASS" : "FAIL", what, (unsigned long long)count);
            (ok ? passed : failed)++;
        };
        expect(succeeded > 0 && arrivals_.total > 0, "frames went out", succeeded);
        expect(missing == 0, "every frame reported as success arrived", missing);
        expect(duplicated == 0, "no frame arrived twice", duplicated);
        expect(arrivals_.corrupt == 0, "every frame arrived intact", arrivals_.corrupt);
        expect(arrivals_.misdirected == 0, "every frame arrived at its own unit or card", arrivals_.misdirected);
        expect(arrivedAfterRefusal == 0, "no refused frame arrived", arrivedAfterRefusal);
        expect(arrivals_.lostRecords == 0, "every card transfer was read back", arrivals_.lostRecords);
        expect(hung == 0, "no sender hung", uint64_t(hung));
        expect(failedSenders_ == 0, "no sender failed", uint64_t(failedSenders_));
        expect(blocked == 0, "no lock or unit was left blocked", uint64_t(blocked));
        std::printf("%d passed, %d failed\n", passed, failed);
        return failed == 0 ? 0 : 1;
    }

    int seconds_;
    std::mt19937 rng_;
    krvtest::InstallTree tree_;
    krvtest::TempDir work_{"krvsoak"};
    krvtest::TempDir cards_{"krvsoakcards"};
    MirrorKit::emu::UsbUnitBed bed_;
    std::array<std::unique_ptr<Emu::Card>, 2> card_;
    std::array<uint64_t, 2> cardSeen_{};
    std::mutex arrivalsMutex_;  // arrivals_ and cardSeen_, shared with the card reader
    std::thread cardReader_;
    std::atomic<bool> readingCards_{false};
    std::string self_;
    std::array<pid_t, kMirrors> pid_{};
    std::array<uint32_t, kMirrors> restarts_{};
    std::array<Clock::time_point, kMirrors> startedAt_{};
    std::array<Clock::time_point, 2> replugAt_{};
    std::array<Clock::time_point, 2> releaseAt_{};
    std::array<bool, 2> stalled_{};
    Arrivals arrivals_;
    int unplugs_ = 0, replugs_ = 0, stalls_ = 0, kills_ = 0;
    int failedSenders_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "run" && argc == 3) {
        // Output goes straight out, line by line, even into a pipe.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return Soak(std::atoi(argv[2])).run();
    }
    if (mode == "send" && argc == 5) {
        const char* work = std::getenv("SOAK_WORK");
        if (!work) return 2;
        return sendMain(std::atoi(argv[2]), uint32_t(std::strtoul(argv[3], nullptr, 10)), std::atol(argv[4]), work);
    }
    std::fprintf(stderr, "usage: krv_soak run SECONDS | krv_soak send MIRROR RESTART FRAMES\n");
    return 2;
}
