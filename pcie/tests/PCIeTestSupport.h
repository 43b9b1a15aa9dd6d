// Test fixtures for the PCIe back end: emulated cards in a temporary device folder and hand-filled records.
#pragma once

#include <KRV.h>

#include <krv/emu/pexcard.h>

#include "PCIeCards.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MirrorKit::PCIeTest {

// A temporary folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A set of emulated cards that the card access library finds for as long as the object lives.
class Cards {
public:
    explicit Cards(int count, uint32_t revision = 0x20000600);
    // One revision per card, card 1 first.
    explicit Cards(const std::vector<uint32_t>& revisions);
    ~Cards();

    int count() const { return static_cast<int>(cards_.size()); }
    const std::string& dir() const { return dir_.path(); }
    Emu::Card& card(int number) { return *cards_.at(number - 1); }
    // Forgets the transfers of every card.
    void clearLogs();
    uint64_t totalTransfers() const;

private:
    TempDir dir_;
    std::vector<std::unique_ptr<Emu::Card>> cards_;
};

struct UnitSetup {
    uint32_t hva = 2;
    uint8_t useFiber = 1;
    uint8_t useCL = 0;
    uint8_t fiberMode = 1;
};

// A record as the profile reader leaves it for a PCIe mirror (voltage limit equal to the maximum).
class Record {
public:
    Record(uint32_t actCount, const std::vector<UnitSetup>& units = {UnitSetup{}}, const std::string& serial = "");
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    DM* operator->() { return &dm_; }
    DM* get() { return &dm_; }
    void setMapFile(const std::string& path);
    void setInactive(const std::vector<uint32_t>& actuators);

private:
    DM dm_{};
};

// A fresh 11-character serial number each call.
std::string freshSerial();

// Writes a map file, one entry per line.
void writeMap(const std::string& path, const std::vector<uint32_t>& entries);
// The identity map 0..count-1.
std::vector<uint32_t> identityMap(uint32_t count);

// Moves the back end's automatic card number back to card 1, with cards present, without touching them.
void resetAutomaticCard(Cards& cards);

// Log helpers: the transfers of one kind, and the values written to one register in order.
std::vector<Emu::Transfer> transfersOf(const Emu::Card& card, uint32_t command);
std::vector<uint32_t> writesTo(const Emu::Card& card, uint32_t reg);
// Every transfer that wrote to the card (single writes, blocks and bursts), in order.
std::vector<Emu::Transfer> writesOf(const Emu::Card& card);

// Card numbers the back end keeps for an open record, in unit order.
inline const std::vector<uint32_t>& cardsOf(const DM& dm) {
    return static_cast<const PCIe::PCIeRecord*>(dm.State->BackendState)->CardIds;
}

}  // namespace MirrorKit::PCIeTest
