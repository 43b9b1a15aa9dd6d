// Emulated PCIe interface card: one card per memory-mapped image file, seen alike by every process that maps it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MirrorKit::Emu {

// Word addresses of the card's registers and memories.
namespace Reg {
constexpr uint32_t Revision = 0;        // read only
constexpr uint32_t HvaConfig = 1;
constexpr uint32_t Poke = 4;            // (actuator << 16) | value
constexpr uint32_t Lut = 6;             // port, 4096 entries
constexpr uint32_t Orientation = 7;     // 0 after every lookup table load
constexpr uint32_t DitherPeriod = 8;
constexpr uint32_t DitherWaveform = 9;  // port
constexpr uint32_t DitherGains = 10;    // port
constexpr uint32_t FiberChannel = 16;   // every write is one command to the amplifier link
constexpr uint32_t SeqPeriod = 17;
constexpr uint32_t SeqControl = 18;     // 1 = trigger sequencing on (bit 0 reads back set), 0x80000000 = stop
constexpr uint32_t SeqMemory = 19;      // port, capacity by revision
constexpr uint32_t SeqDelay = 20;
constexpr uint32_t SyncActuator = 21;
constexpr uint32_t SyncControl = 22;
constexpr uint32_t SyncWidth = 23;
constexpr uint32_t FrameMemory = 32;    // first word of the frame memory
}  // namespace Reg

// A port write of this value sets the port's address back to its first word.
constexpr uint32_t kPortReset = 0x80000000u;

constexpr uint32_t kRegisterWords = 32;         // addresses 0..31 are registers
constexpr uint32_t kFrameWords = 4096;          // frame memory: FrameMemory .. FrameMemory + 4095
constexpr uint32_t kWindowWords = Reg::FrameMemory + kFrameWords;
constexpr uint32_t kLutEntries = 4096;
constexpr uint32_t kSeqWordsLarge = 65536;      // revisions from 0x20000502 on
constexpr uint32_t kSeqWordsSmall = 4096;       // older revisions
constexpr uint32_t kDitherWaveformWords = 2048;
constexpr uint32_t kDitherGainWords = 4096;
constexpr uint32_t kConfigWords = 64;           // configuration space, in words
// Configuration space word 0 (device identifier << 16 | vendor identifier): a made-up value that no maker's
// device carries, so that nothing mistakes an emulated card for real hardware.
constexpr uint32_t kEmulatedCardId = 0xD0D0D0D0u;
constexpr uint32_t kFiberLogEntries = 32768;    // last fiber commands kept
constexpr uint32_t kTransferLogEntries = 65536; // last transfers kept
constexpr uint32_t kTransferDataWords = 1u << 20; // words of the transfers kept, shared by the entries

// Status words of the emulated driver (any nonzero status is a failure to the caller).
constexpr uint32_t kStatusBadAddress = 0xE0000001u; // outside the register window
constexpr uint32_t kStatusBadRequest = 0xE0000002u; // null buffer, unknown command, wrong record sizes

// How an injected fault shows: as the driver's status word in the reply, or as a failed device-control call
// whose system error code is the chosen value.
// ProcessDies: the card serves the transfer, and the process that made it is killed (SIGKILL) while the card is
// still logging it, as a kill at the worst moment would; the status given with it is ignored.
enum class FaultMode : uint32_t { DriverStatus = 0, SystemError = 1, ProcessDies = 2 };
// Which transfers to one address a fault hits.
enum class Direction : uint32_t { Any = 0, Read = 1, Write = 2 };

struct CardOptions {
    uint32_t revision = 0x20000600;      // what REG_REVISION reads; chosen once, when the image is made
    uint64_t baseAddress = 0xF7000000u;  // bus address of the register window, from the driver information
    uint32_t driverRevision = 300;       // the driver's software revision
};

// One transfer as the card saw it, in the order the card served them.
struct Transfer {
    uint64_t sequence = 0;   // 0 for the first transfer since the image was made or its log cleared
    uint32_t command = 0;    // PEX_CMD_*
    uint32_t address = 0;
    uint32_t count = 0;
    uint32_t status = 0;     // status replied (or the system error code of an injected SystemError fault)
    int32_t pid = 0;         // process that made the transfer
    bool wordsKept = true;   // false when the words have been pushed out of the bounded data store
    bool abandoned = false;  // its process died inside the transfer: the entry (and its words) may be partial
    std::vector<uint32_t> words; // words written, or read back; empty for failed transfers
};

// Device path of card n in a device directory: dir/PEXIO<n>.
std::string cardDevicePath(const std::string& dir, int card);

// Mode of a card image: read and write for its user and group, nothing for others.
constexpr unsigned kImageMode = 0660;
// Makes (or replaces) a card image at path, mode kImageMode. The file appears whole or not at all.
bool createCardImage(const std::string& path, const CardOptions& options, std::string* error = nullptr);
// Makes cards 1..count in dir with one revision; card n gets base address options.baseAddress + (n-1) * 1 MiB.
// A missing dir is created with its parents.
bool createCards(const std::string& dir, int count, const CardOptions& options, std::string* error = nullptr);
// Whether the first bytes read through fd (or of the file at path) are those of a card image.
bool isCardImage(int fd);
bool isCardImage(const std::string& path);

class Card {
public:
    // Maps an existing image; null (and a message in error) when the file is missing or not a card image.
    static std::unique_ptr<Card> open(const std::string& path, std::string* error = nullptr);
    // Maps the image open as fd (the descriptor stays the caller's); null when it is not a card image.
    static std::unique_ptr<Card> attach(int fd, std::string* error = nullptr);
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Whether this mapping still shows the file now at path (same device, inode and size).
    bool sameFile(uint64_t device, uint64_t inode) const;

    uint32_t revision() const;
    uint32_t sequenceCapacity() const;  // 65536 or 4096, by revision
    uint64_t baseAddress() const;
    uint32_t driverRevision() const;

    // A register as a read transfer would answer it (ports answer their current address), without logging.
    uint32_t reg(uint32_t index) const;
    // Sets a register directly, bypassing port semantics, the log and faults (tests use it to stage a state).
    void setReg(uint32_t index, uint32_t value);
    // Words stored through a port since its last reset, and words that went past the end of its memory.
    uint32_t portIndex(uint32_t portRegister) const;
    uint32_t portOverflow(uint32_t portRegister) const;

    std::vector<uint32_t> lut() const;                                  // all 4096 entries
    std::vector<uint32_t> frameWords(uint32_t first, uint32_t count) const; // relative to FrameMemory
    // Frame memory decoded per actuator: actuator 2k in the low half of word k, 2k+1 in the high half.
    std::vector<uint16_t> frameActuators(uint32_t actuators) const;
    std::vector<uint32_t> sequenceMemory(uint32_t count) const;
    std::vector<uint32_t> ditherWaveform(uint32_t count) const;
    std::vector<uint32_t> ditherGains(uint32_t count) const;
    std::vector<uint32_t> configSpace() const;
    // Commands written to the fiber channel register, oldest first (the last kFiberLogEntries of them),
    // and how many were written in all.
    std::vector<uint32_t> fiberCommands() const;
    uint64_t fiberCommandCount() const;

    // Transfer log, oldest first (the last kTransferLogEntries transfers); with from, only the transfers whose
    // sequence is at least from, so that a long run reads each transfer once instead of the whole log each time.
    std::vector<Transfer> transfers(uint64_t from = 0) const;
    uint64_t transferCount() const;  // transfers since the image was made or the log cleared
    void clearLog();                 // also clears the fiber command log

    // Fault injection. failNthTransfer(n): the n-th transfer from now (1 = the next one) fails once.
    // failAddress: every matching transfer touching address fails until clearFaults(). overrideReads: reads of
    // address answer (value & ~clearMask) | setMask, for the next `reads` reads (0 = until clearFaults()).
    // At most 8 faults of each kind are active; further ones are refused (false).
    bool failNthTransfer(uint64_t n, uint32_t status, FaultMode mode = FaultMode::DriverStatus);
    bool failAddress(uint32_t address, uint32_t status, Direction direction = Direction::Any,
                     FaultMode mode = FaultMode::DriverStatus);
    bool overrideReads(uint32_t address, uint32_t clearMask, uint32_t setMask, uint32_t reads = 0);
    void clearFaults();

    // Back to power-on state: registers, memories, logs and faults cleared; revision, base address and driver
    // revision kept.
    void reset();

    // Answers one device-control request of the card's driver. Transfers read and write the caller's buffer
    // at the address in the request, which must belong to the calling process. On false, *systemError holds
    // the code of the failed call.
    bool control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned,
                 uint32_t* systemError);

    struct Image;  // layout of the mapped file

private:
    Card(Image* image, size_t size, uint64_t device, uint64_t inode);
    Image* image_;
    size_t size_;
    uint64_t device_;
    uint64_t inode_;
};

}  // namespace MirrorKit::Emu
