// Emulated PCIe interface card: image file layout, register and port semantics, transfer log and faults.
#include "krv/emu/pexcard.h"

#include <pexlink.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

namespace MirrorKit::Emu {

namespace {

constexpr char kMagic[16] = {'M', 'i', 'r', 'r', 'o', 'r', 'K', 'i', 't', 'P', 'e', 'x', 'C', 'a', 'r', 'd'};
constexpr uint32_t kFormat = 2;
constexpr int kMaxFaults = 8;

struct NthFault {
    uint64_t remaining;  // transfers still to go; fires when it reaches 1, then the slot is free (0)
    uint32_t status;
    uint32_t mode;
};

struct AddressFault {
    uint32_t active;
    uint32_t address;
    uint32_t status;
    uint32_t mode;
    uint32_t direction;
};

struct ReadFault {
    uint32_t active;
    uint32_t address;
    uint32_t clearMask;
    uint32_t setMask;
    uint32_t reads;      // reads left; 0 = forever
    uint32_t limited;
};

struct LogEntry {
    uint64_t sequence;
    uint64_t dataOffset;  // position in the data ring, counted from the last clear
    uint32_t command;
    uint32_t address;
    uint32_t count;
    uint32_t status;
    int32_t pid;
    uint32_t wordsStored;  // 0 when the words were too many for the ring or the transfer failed
    uint32_t complete;     // 0 while the entry is being written: still 0 if its process died inside the transfer
    uint32_t reserved;
};

bool isPort(uint32_t address) {
    return address == Reg::Lut || address == Reg::DitherWaveform || address == Reg::DitherGains ||
           address == Reg::SeqMemory;
}

bool isRead(uint32_t command) {
    return command == PEX_CMD_READ || command == PEX_CMD_READ_ALT || command == PEX_CMD_CFG_READ;
}

bool isWrite(uint32_t command) {
    return command == PEX_CMD_WRITE || command == PEX_CMD_WRITE_ALT || command == PEX_CMD_WRITE_BURST ||
           command == PEX_CMD_CFG_WRITE;
}

bool isConfig(uint32_t command) { return (command & 0x800u) != 0; }

// getpid() is a system call on current C libraries; the log asks for it on every transfer, so it is kept here
// and refreshed in the child after a fork.
std::atomic<int32_t> g_pid{0};

int32_t currentPid() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); });
        return true;
    }();
    (void)registered;
    int32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = int32_t(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

// Everything of one card, in the file. Only plain data: every process maps it at its own address.
struct Card::Image {
    char magic[16];
    uint32_t format;
    uint32_t imageSize;
    uint32_t revision;
    uint32_t driverRevision;
    uint64_t baseAddress;
    pthread_mutex_t lock;  // process-shared and robust: a process killed inside a transfer must not wedge the card
    uint32_t regs[kRegisterWords];
    uint32_t portIndex[kRegisterWords];
    uint32_t portOverflow[kRegisterWords];
    uint32_t config[kConfigWords];
    NthFault nthFaults[kMaxFaults];
    AddressFault addressFaults[kMaxFaults];
    ReadFault readFaults[kMaxFaults];
    uint64_t transferCount;
    uint64_t dataHead;
    uint64_t fiberCount;
    uint64_t recoveredLocks;  // times the state lock was found abandoned
    uint32_t lut[kLutEntries];
    uint32_t frame[kFrameWords];
    uint32_t sequence[kSeqWordsLarge];
    uint32_t waveform[kDitherWaveformWords];
    uint32_t gains[kDitherGainWords];
    uint32_t fiber[kFiberLogEntries];
    LogEntry log[kTransferLogEntries];
    uint32_t data[kTransferDataWords];
};

static_assert(std::is_trivially_copyable_v<LogEntry>);
static_assert(sizeof(Card::Image) < (1u << 31), "image size is stored in 32 bits");

namespace {

// Holds the card's state lock; an owner that died mid-transfer leaves the state as far as it got.
class StateLock {
public:
    explicit StateLock(Card::Image* image) : image_(image) {
        int rc = pthread_mutex_lock(&image_->lock);
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&image_->lock);
            ++image_->recoveredLocks;
            rc = 0;
        }
        held_ = rc == 0;
    }
    ~StateLock() {
        if (held_) pthread_mutex_unlock(&image_->lock);
    }
    bool held() const { return held_; }

private:
    Card::Image* image_;
    bool held_ = false;
};

uint32_t* portMemory(Card::Image* image, uint32_t port, uint32_t* capacity) {
    switch (port) {
    case Reg::Lut: *capacity = kLutEntries; return image->lut;
    case Reg::DitherWaveform: *capacity = kDitherWaveformWords; return image->waveform;
    case Reg::DitherGains: *capacity = kDitherGainWords; return image->gains;
    case Reg::SeqMemory:
        *capacity = image->revision >= 0x20000502u ? kSeqWordsLarge : kSeqWordsSmall;
        return image->sequence;
    default: *capacity = 0; return nullptr;
    }
}

void writeWord(Card::Image* image, uint32_t address, uint32_t word) {
    if (address >= Reg::FrameMemory) {
        image->frame[address - Reg::FrameMemory] = word;
        return;
    }
    if (isPort(address)) {
        if (word == kPortReset) {
            // The write that closes a table load also puts the orientation back to its default.
            if (address == Reg::Lut && image->portIndex[address] > 0) image->regs[Reg::Orientation] = 0;
            image->portIndex[address] = 0;
            return;
        }
        uint32_t capacity = 0;
        uint32_t* memory = portMemory(image, address, &capacity);
        uint32_t& index = image->portIndex[address];
        if (index < capacity)
            memory[index++] = word;
        else
            ++image->portOverflow[address];
        return;
    }
    switch (address) {
    case Reg::Revision: return;  // read only
    case Reg::FiberChannel:
        image->fiber[image->fiberCount % kFiberLogEntries] = word;
        ++image->fiberCount;
        image->regs[address] = word;
        return;
    case Reg::SeqControl:
        // The stop bit ends trigger sequencing, so bit 0 no longer reads back as set.
        image->regs[address] = (word & 0x80000000u) ? 0 : word;
        return;
    default: image->regs[address] = word; return;
    }
}

uint32_t readWord(Card::Image* image, uint32_t address) {
    uint32_t value;
    if (address >= Reg::FrameMemory)
        value = image->frame[address - Reg::FrameMemory];
    else if (address == Reg::Revision)
        value = image->revision;
    else if (isPort(address))
        value = image->portIndex[address];
    else
        value = image->regs[address];
    for (ReadFault& f : image->readFaults) {
        if (!f.active || f.address != address) continue;
        value = (value & ~f.clearMask) | f.setMask;
        if (f.limited && --f.reads == 0) f.active = 0;
    }
    return value;
}

// Moves the words of one transfer; returns the driver status.
uint32_t perform(Card::Image* image, const PexRequest& request, uint32_t* buffer) {
    const uint32_t command = request.Command;
    if (!isRead(command) && !isWrite(command)) return kStatusBadRequest;
    if (request.Count == 0) return 0;
    if (buffer == nullptr) return kStatusBadRequest;
    const uint64_t end = uint64_t(request.Address) + request.Count;
    if (isConfig(command)) {
        if (end > kConfigWords) return kStatusBadAddress;
        for (uint32_t i = 0; i < request.Count; ++i) {
            uint32_t a = request.Address + i;
            if (isRead(command))
                buffer[i] = image->config[a];
            else if (a != 0)  // word 0 holds the identifiers
                image->config[a] = buffer[i];
        }
        return 0;
    }
    // A block to a port feeds the port word after word; any other block covers consecutive addresses.
    const bool toPort = isPort(request.Address);
    if (!toPort && end > kWindowWords) return kStatusBadAddress;
    for (uint32_t i = 0; i < request.Count; ++i) {
        uint32_t a = toPort ? request.Address : request.Address + i;
        if (isRead(command))
            buffer[i] = readWord(image, a);
        else
            writeWord(image, a, buffer[i]);
    }
    return 0;
}

bool matchesDirection(uint32_t direction, uint32_t command) {
    if (direction == uint32_t(Direction::Read)) return isRead(command);
    if (direction == uint32_t(Direction::Write)) return isWrite(command);
    return true;
}

// The image is shared memory and a process may be killed at any instruction: the entry is marked incomplete
// before anything else of it is written and complete after everything, and the compiler may not move stores across
// those marks, so a reader (after recovering the lock) can tell a transfer cut short by its process's death.
void logTransfer(Card::Image* image, const PexRequest& request, uint32_t status, const uint32_t* words,
                 bool dieInside = false) {
    LogEntry& e = image->log[image->transferCount % kTransferLogEntries];
    e.complete = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    e.sequence = image->transferCount;
    e.command = request.Command;
    e.address = request.Address;
    e.count = request.Count;
    e.status = status;
    e.pid = currentPid();
    e.dataOffset = image->dataHead;
    e.wordsStored = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    ++image->transferCount;
    if (status == 0 && words != nullptr && request.Count != 0 && request.Count <= kTransferDataWords) {
        uint64_t at = image->dataHead % kTransferDataWords;
        uint64_t first = std::min<uint64_t>(request.Count, kTransferDataWords - at);
        std::memcpy(image->data + at, words, first * sizeof(uint32_t));
        if (dieInside) raise(SIGKILL);
        std::memcpy(image->data, words + first, (request.Count - first) * sizeof(uint32_t));
        std::atomic_signal_fence(std::memory_order_seq_cst);
        image->dataHead += request.Count;
        e.wordsStored = 1;
    }
    if (dieInside) raise(SIGKILL);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    e.complete = 1;
}

}  // namespace

std::string cardDevicePath(const std::string& dir, int card) {
    return dir + "/" + PEX_DEVICE_STEM + std::to_string(card);
}

bool createCardImage(const std::string& path, const CardOptions& options, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    };
    const std::string temp = path + ".new." + std::to_string(getpid());
    int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kImageMode);
    if (fd < 0) return fail("cannot create " + temp);
    // The card is its creator's and its group's, whatever the umask: the users who share the cards share a
    // group, as with the real device, and no one else may write it.
    if (fchmod(fd, kImageMode) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return fail("cannot set the mode of " + temp);
    }
    const size_t size = sizeof(Card::Image);
    if (ftruncate(fd, off_t(size)) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return fail("cannot size " + temp);
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        ::unlink(temp.c_str());
        return fail("cannot map " + temp);
    }
    auto* image = static_cast<Card::Image*>(map);
    image->format = kFormat;
    image->imageSize = uint32_t(size);
    image->revision = options.revision;
    image->driverRevision = options.driverRevision;
    image->baseAddress = options.baseAddress;
    image->config[0] = kEmulatedCardId;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&image->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    std::memcpy(image->magic, kMagic, sizeof kMagic);
    munmap(map, size);
    // The rename makes the image appear whole; mappings of a replaced image keep the old card.
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return fail("cannot install " + path);
    }
    return true;
}

bool createCards(const std::string& dir, int count, const CardOptions& options, std::string* error) {
    // The folder and its missing parents, as mkdir -p makes them (the umask applies).
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create the folder " + part + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos) break;
    }
    for (int n = 1; n <= count; ++n) {
        CardOptions card = options;
        card.baseAddress = options.baseAddress + uint64_t(n - 1) * 0x100000u;
        if (!createCardImage(cardDevicePath(dir, n), card, error)) return false;
    }
    return true;
}

bool isCardImage(int fd) {
    char head[sizeof kMagic];
    return ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) && std::memcmp(head, kMagic, sizeof head) == 0;
}

bool isCardImage(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool yes = isCardImage(fd);
    ::close(fd);
    return yes;
}

Card::Card(Image* image, size_t size, uint64_t device, uint64_t inode)
    : image_(image), size_(size), device_(device), inode_(inode) {}

Card::~Card() { munmap(image_, size_); }

std::unique_ptr<Card> Card::attach(int fd, std::string* error) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        if (error) *error = std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) || size_t(st.st_size) != sizeof(Image) || !isCardImage(fd)) {
        if (error) *error = "not a card image of this emulator";
        return nullptr;
    }
    void* map = mmap(nullptr, sizeof(Image), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        if (error) *error = std::strerror(errno);
        return nullptr;
    }
    auto* image = static_cast<Image*>(map);
    if (image->format != kFormat || image->imageSize != sizeof(Image)) {
        munmap(map, sizeof(Image));
        if (error) *error = "card image of another format";
        return nullptr;
    }
    return std::unique_ptr<Card>(new Card(image, sizeof(Image), uint64_t(st.st_dev), uint64_t(st.st_ino)));
}

std::unique_ptr<Card> Card::open(const std::string& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto card = attach(fd, error);
    ::close(fd);
    if (!card && error) *error = path + ": " + *error;
    return card;
}

bool Card::sameFile(uint64_t device, uint64_t inode) const { return device == device_ && inode == inode_; }

uint32_t Card::revision() const { return image_->revision; }
uint32_t Card::sequenceCapacity() const { return image_->revision >= 0x20000502u ? kSeqWordsLarge : kSeqWordsSmall; }
uint64_t Card::baseAddress() const { return image_->baseAddress; }
uint32_t Card::driverRevision() const { return image_->driverRevision; }

uint32_t Card::reg(uint32_t index) const {
    StateLock hold(image_);
    if (index >= kWindowWords) return 0;
    if (index >= Reg::FrameMemory) return image_->frame[index - Reg::FrameMemory];
    if (index == Reg::Revision) return image_->revision;
    if (isPort(index)) return image_->portIndex[index];
    return image_->regs[index];
}

void Card::setReg(uint32_t index, uint32_t value) {
    StateLock hold(image_);
    if (index >= kWindowWords) return;
    if (index >= Reg::FrameMemory)
        image_->frame[index - Reg::FrameMemory] = value;
    else if (index == Reg::Revision)
        image_->revision = value;
    else
        image_->regs[index] = value;
}

uint32_t Card::portIndex(uint32_t port) const {
    StateLock hold(image_);
    return port < kRegisterWords ? image_->portIndex[port] : 0;
}

uint32_t Card::portOverflow(uint32_t port) const {
    StateLock hold(image_);
    return port < kRegisterWords ? image_->portOverflow[port] : 0;
}

namespace {
std::vector<uint32_t> copyOut(const uint32_t* from, uint32_t available, uint32_t first, uint32_t count) {
    if (first >= available) return {};
    count = std::min(count, available - first);
    return std::vector<uint32_t>(from + first, from + first + count);
}
}  // namespace

std::vector<uint32_t> Card::lut() const {
    StateLock hold(image_);
    return copyOut(image_->lut, kLutEntries, 0, kLutEntries);
}

std::vector<uint32_t> Card::frameWords(uint32_t first, uint32_t count) const {
    StateLock hold(image_);
    return copyOut(image_->frame, kFrameWords, first, count);
}

std::vector<uint16_t> Card::frameActuators(uint32_t actuators) const {
    actuators = std::min(actuators, 2 * kFrameWords);
    std::vector<uint32_t> words = frameWords(0, (actuators + 1) / 2);
    std::vector<uint16_t> out(actuators);
    for (uint32_t i = 0; i < actuators; ++i) out[i] = uint16_t(words[i / 2] >> ((i % 2) * 16));
    return out;
}

std::vector<uint32_t> Card::sequenceMemory(uint32_t count) const {
    StateLock hold(image_);
    return copyOut(image_->sequence, sequenceCapacity(), 0, count);
}

std::vector<uint32_t> Card::ditherWaveform(uint32_t count) const {
    StateLock hold(image_);
    return copyOut(image_->waveform, kDitherWaveformWords, 0, count);
}

std::vector<uint32_t> Card::ditherGains(uint32_t count) const {
    StateLock hold(image_);
    return copyOut(image_->gains, kDitherGainWords, 0, count);
}

std::vector<uint32_t> Card::configSpace() const {
    StateLock hold(image_);
    return copyOut(image_->config, kConfigWords, 0, kConfigWords);
}

std::vector<uint32_t> Card::fiberCommands() const {
    StateLock hold(image_);
    uint64_t total = image_->fiberCount;
    uint64_t first = total > kFiberLogEntries ? total - kFiberLogEntries : 0;
    std::vector<uint32_t> out;
    out.reserve(size_t(total - first));
    for (uint64_t i = first; i < total; ++i) out.push_back(image_->fiber[i % kFiberLogEntries]);
    return out;
}

uint64_t Card::fiberCommandCount() const {
    StateLock hold(image_);
    return image_->fiberCount;
}

std::vector<Transfer> Card::transfers(uint64_t from) const {
    StateLock hold(image_);
    const uint64_t total = image_->transferCount;
    const uint64_t first = std::min(total, std::max(from, total > kTransferLogEntries ? total - kTransferLogEntries : 0));
    std::vector<Transfer> out;
    out.reserve(size_t(total - first));
    for (uint64_t s = first; s < total; ++s) {
        const LogEntry& e = image_->log[s % kTransferLogEntries];
        Transfer t;
        t.sequence = e.sequence;
        t.command = e.command;
        t.address = e.address;
        t.count = e.count;
        t.status = e.status;
        t.pid = e.pid;
        t.abandoned = e.complete == 0;
        // The data ring is shared by all entries: older words are overwritten by newer transfers.
        t.wordsKept = e.wordsStored && image_->dataHead - e.dataOffset <= kTransferDataWords;
        if (e.wordsStored && t.wordsKept) {
            t.words.resize(e.count);
            for (uint32_t i = 0; i < e.count; ++i) t.words[i] = image_->data[(e.dataOffset + i) % kTransferDataWords];
        } else if (e.status != 0) {
            t.wordsKept = true;  // a failed transfer moved no words, so none are missing
        }
        out.push_back(std::move(t));
    }
    return out;
}

uint64_t Card::transferCount() const {
    StateLock hold(image_);
    return image_->transferCount;
}

void Card::clearLog() {
    StateLock hold(image_);
    image_->transferCount = 0;
    image_->dataHead = 0;
    image_->fiberCount = 0;
}

bool Card::failNthTransfer(uint64_t n, uint32_t status, FaultMode mode) {
    if (n == 0) return false;
    StateLock hold(image_);
    for (NthFault& f : image_->nthFaults) {
        if (f.remaining != 0) continue;
        f = NthFault{n, status, uint32_t(mode)};
        return true;
    }
    return false;
}

bool Card::failAddress(uint32_t address, uint32_t status, Direction direction, FaultMode mode) {
    StateLock hold(image_);
    for (AddressFault& f : image_->addressFaults) {
        if (f.active) continue;
        f = AddressFault{1, address, status, uint32_t(mode), uint32_t(direction)};
        return true;
    }
    return false;
}

bool Card::overrideReads(uint32_t address, uint32_t clearMask, uint32_t setMask, uint32_t reads) {
    StateLock hold(image_);
    for (ReadFault& f : image_->readFaults) {
        if (f.active) continue;
        f = ReadFault{1, address, clearMask, setMask, reads, reads != 0};
        return true;
    }
    return false;
}

void Card::clearFaults() {
    StateLock hold(image_);
    std::memset(image_->nthFaults, 0, sizeof image_->nthFaults);
    std::memset(image_->addressFaults, 0, sizeof image_->addressFaults);
    std::memset(image_->readFaults, 0, sizeof image_->readFaults);
}

void Card::reset() {
    StateLock hold(image_);
    // Everything after the lock is card state; the identity before it survives.
    auto* from = reinterpret_cast<char*>(&image_->regs);
    auto* to = reinterpret_cast<char*>(image_) + sizeof(Image);
    std::memset(from, 0, size_t(to - from));
    image_->config[0] = kEmulatedCardId;
}

bool Card::control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned,
                   uint32_t* systemError) {
    *returned = 0;
    switch (code) {
    case IOCTL_PEX_TRANSFER: {
        if (in == nullptr || out == nullptr || inSize < sizeof(PexRequest) || outSize < sizeof(PexReply)) {
            *systemError = EINVAL;
            return false;
        }
        PexRequest request;
        std::memcpy(&request, in, sizeof request);
        auto* buffer = reinterpret_cast<uint32_t*>(uintptr_t(request.Buffer));
        StateLock hold(image_);
        if (!hold.held()) {
            *systemError = EIO;
            return false;
        }
        // Injected faults take the place of the transfer: nothing is moved.
        uint32_t faultStatus = 0, faultMode = 0;
        bool faulted = false;
        for (NthFault& f : image_->nthFaults) {
            if (f.remaining == 0) continue;
            if (--f.remaining == 0 && !faulted) {
                faulted = true;
                faultStatus = f.status;
                faultMode = f.mode;
            }
        }
        const uint64_t span = std::max<uint32_t>(request.Count, 1);
        for (const AddressFault& f : image_->addressFaults) {
            if (faulted || !f.active || !matchesDirection(f.direction, request.Command)) continue;
            if (f.address >= request.Address && f.address < uint64_t(request.Address) + span) {
                faulted = true;
                faultStatus = f.status;
                faultMode = f.mode;
            }
        }
        if (faulted && faultMode == uint32_t(FaultMode::ProcessDies)) {
            logTransfer(image_, request, perform(image_, request, buffer), buffer, true);
            return false;  // not reached
        }
        if (faulted) {
            logTransfer(image_, request, faultStatus, nullptr);
            if (faultMode == uint32_t(FaultMode::SystemError)) {
                *systemError = faultStatus;
                return false;
            }
            PexReply reply{};
            reply.Status = faultStatus;
            std::memcpy(out, &reply, sizeof reply);
            *returned = sizeof reply;
            return true;
        }
        uint32_t status = perform(image_, request, buffer);
        logTransfer(image_, request, status, buffer);
        PexReply reply{};
        reply.Status = status;
        reply.Transferred = status == 0 ? request.Count : 0;
        std::memcpy(out, &reply, sizeof reply);
        *returned = sizeof reply;
        return true;
    }
    case IOCTL_PEX_DRIVER_INFO: {
        if (out == nullptr || outSize < sizeof(PexDriverInfo)) {
            *systemError = EINVAL;
            return false;
        }
        PexDriverInfo info{};
        info.DriverData[0] = sizeof(PexDriverInfo);
        info.DriverData[1] = image_->driverRevision;
        info.DriverData[2] = kWindowWords * 4;  // window length in bytes
        info.BaseAddressLow = uint32_t(image_->baseAddress);
        info.BaseAddressHigh = uint32_t(image_->baseAddress >> 32);
        std::memcpy(out, &info, sizeof info);
        *returned = sizeof info;
        return true;
    }
    case IOCTL_PEX_DRIVER_REV: {
        if (out == nullptr || outSize < sizeof(uint32_t)) {
            *systemError = EINVAL;
            return false;
        }
        uint32_t revision = image_->driverRevision;
        std::memcpy(out, &revision, sizeof revision);
        *returned = sizeof revision;
        return true;
    }
    default: *systemError = ENOTTY; return false;
    }
}

}  // namespace MirrorKit::Emu
