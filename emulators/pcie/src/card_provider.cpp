// Device provider for emulated cards, handed to libpexlink's device layer as a C table: keeps each card image
// mapped between opens, so a transfer costs one open.
#include "krv/platform/device_provider.h"

#include "krv/emu/pexcard.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

namespace MirrorKit::Emu {

namespace {

class CardProvider {
public:
    bool attach(int fd, const struct stat& st, void** session) {
        if (!S_ISREG(st.st_mode)) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t device = uint64_t(st.st_dev), inode = uint64_t(st.st_ino);
        for (Slot& slot : slots_) {
            if (slot.card && slot.card->sameFile(device, inode)) return use(slot, session);
        }
        if (!isCardImage(fd)) return false;
        std::unique_ptr<Card> card = Card::attach(fd);
        if (!card) return false;
        Slot* victim = nullptr;
        for (Slot& slot : slots_) {
            if (slot.users.load() != 0) continue;
            if (!slot.card) {
                victim = &slot;
                break;
            }
            if (!victim || slot.lastUse < victim->lastUse) victim = &slot;
        }
        if (!victim) return false;  // every slot is in the middle of a transfer
        // The slot keeps its own descriptor so the file's inode cannot be reused while the mapping is cached.
        int keep = ::dup(fd);
        if (keep < 0) return false;
        if (victim->fd >= 0) ::close(victim->fd);
        victim->card = std::move(card);
        victim->fd = keep;
        return use(*victim, session);
    }

    bool control(void* session, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned, uint32_t* error) {
        return static_cast<Slot*>(session)->card->control(code, in, inSize, out, outSize, returned, error);
    }

    void detach(void* session) { static_cast<Slot*>(session)->users.fetch_sub(1); }

private:
    struct Slot {
        std::unique_ptr<Card> card;
        int fd = -1;
        std::atomic<int> users{0};
        uint64_t lastUse = 0;
    };

    bool use(Slot& slot, void** session) {
        slot.users.fetch_add(1);
        slot.lastUse = ++clock_;
        *session = &slot;
        return true;
    }

    std::mutex mutex_;
    uint64_t clock_ = 0;
    Slot slots_[32];
};

CardProvider& provider() {
    // Never destroyed: transfers may still run on other threads while the process exits.
    static CardProvider* instance = new CardProvider;
    return *instance;
}

// The table's calls answer failures, never exceptions, across the library boundary.
int attachCard(int fd, const struct stat* st, void** session) {
    try {
        return st && session && provider().attach(fd, *st, session) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int controlCard(void* session, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                uint32_t* returned, uint32_t* error) {
    try {
        return provider().control(session, code, in, inSize, out, outSize, returned, error) ? 1 : 0;
    } catch (...) {
        *error = EIO;
        return 0;
    }
}

void detachCard(void* session) { provider().detach(session); }

const KrvDeviceProviderTable kTable = {KRV_DEVICE_PROVIDER_ABI, sizeof(KrvDeviceProviderTable), "emulated PCIe cards",
                                       attachCard, controlCard, detachCard};

}  // namespace
}  // namespace MirrorKit::Emu

extern "C" __attribute__((visibility("default"))) const KrvDeviceProviderTable* pexemu_device_provider(void) {
    return &MirrorKit::Emu::kTable;
}
