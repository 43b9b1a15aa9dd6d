// The C interface of libpexemu: making card images and reading back what a card holds.
#include "pexemu.h"

#include "krv/emu/pexcard.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#define PEXEMU_EXPORT extern "C" __attribute__((visibility("default")))

struct PexEmuCard {
    std::unique_ptr<MirrorKit::Emu::Card> card;
};

struct PexEmuLog {
    std::vector<MirrorKit::Emu::Transfer> transfers;
};

namespace {

namespace Emu = MirrorKit::Emu;

void say(char* message, size_t size, const std::string& text) {
    if (message && size) std::snprintf(message, size, "%s", text.c_str());
}

// Whether first..first+count-1 lies inside total words (count 0 is allowed anywhere inside).
bool inside(uint32_t first, uint32_t count, uint32_t total) { return first <= total && count <= total - first; }

// No exception crosses the C boundary: a failed allocation is reported like any other refusal.
template <typename F>
int guarded(F&& body, char* message = nullptr, size_t size = 0) {
    try {
        return body();
    } catch (const std::exception& e) {
        say(message, size, e.what());
    } catch (...) {
        say(message, size, "unexpected failure");
    }
    return PEXEMU_ERR_FILE;
}

}  // namespace

PEXEMU_EXPORT int pexemu_create_cards(const char* dir, int count, uint32_t revision, char* message, size_t size) {
    if (!dir || !*dir || count < 1 || count > 99) {
        say(message, size, "a folder and a count of 1 to 99 cards are needed");
        return PEXEMU_ERR_ARG;
    }
    return guarded(
        [&] {
            Emu::CardOptions options;
            options.revision = revision;
            std::string error;
            if (!Emu::createCards(dir, count, options, &error)) {
                say(message, size, error);
                return PEXEMU_ERR_FILE;
            }
            return PEXEMU_OK;
        },
        message, size);
}

PEXEMU_EXPORT int pexemu_card_open(const char* path, PexEmuCard** card, char* message, size_t size) {
    if (!path || !card) {
        say(message, size, "a path and a place for the card are needed");
        return PEXEMU_ERR_ARG;
    }
    return guarded(
        [&] {
            std::string error;
            auto mapped = Emu::Card::open(path, &error);
            if (!mapped) {
                say(message, size, error);
                return PEXEMU_ERR_FILE;
            }
            *card = new PexEmuCard{std::move(mapped)};
            return PEXEMU_OK;
        },
        message, size);
}

PEXEMU_EXPORT void pexemu_card_close(PexEmuCard* card) { delete card; }

PEXEMU_EXPORT int pexemu_card_read(const PexEmuCard* card, uint32_t index, uint32_t* value) {
    if (!card || !value || index >= Emu::kWindowWords) return PEXEMU_ERR_ARG;
    *value = card->card->reg(index);
    return PEXEMU_OK;
}

PEXEMU_EXPORT int pexemu_card_lut(const PexEmuCard* card, uint32_t first, uint32_t count, uint32_t* out) {
    if (!card || (!out && count) || !inside(first, count, Emu::kLutEntries)) return PEXEMU_ERR_ARG;
    return guarded([&] {
        const auto lut = card->card->lut();
        std::copy(lut.begin() + first, lut.begin() + first + count, out);
        return PEXEMU_OK;
    });
}

PEXEMU_EXPORT int pexemu_card_frame(const PexEmuCard* card, uint32_t first, uint32_t count, uint32_t* out) {
    if (!card || (!out && count) || !inside(first, count, Emu::kFrameWords)) return PEXEMU_ERR_ARG;
    return guarded([&] {
        const auto words = card->card->frameWords(first, count);
        std::copy(words.begin(), words.end(), out);
        return PEXEMU_OK;
    });
}

PEXEMU_EXPORT int pexemu_card_transfer_count(const PexEmuCard* card, uint64_t* count) {
    if (!card || !count) return PEXEMU_ERR_ARG;
    *count = card->card->transferCount();
    return PEXEMU_OK;
}

PEXEMU_EXPORT int pexemu_card_clear_log(PexEmuCard* card) {
    if (!card) return PEXEMU_ERR_ARG;
    card->card->clearLog();
    return PEXEMU_OK;
}

PEXEMU_EXPORT int pexemu_card_log(const PexEmuCard* card, PexEmuLog** log) {
    if (!card || !log) return PEXEMU_ERR_ARG;
    return guarded([&] {
        *log = new PexEmuLog{card->card->transfers()};
        return PEXEMU_OK;
    });
}

PEXEMU_EXPORT size_t pexemu_log_size(const PexEmuLog* log) { return log ? log->transfers.size() : 0; }

PEXEMU_EXPORT int pexemu_log_entry(const PexEmuLog* log, size_t index, PexEmuTransfer* transfer) {
    if (!log || !transfer || index >= log->transfers.size()) return PEXEMU_ERR_ARG;
    const Emu::Transfer& t = log->transfers[index];
    *transfer = PexEmuTransfer{t.sequence, t.command, t.address, t.count, t.status, t.pid,
                               uint32_t(t.words.size()), t.words.empty() ? nullptr : t.words.data()};
    return PEXEMU_OK;
}

PEXEMU_EXPORT void pexemu_log_free(PexEmuLog* log) { delete log; }
