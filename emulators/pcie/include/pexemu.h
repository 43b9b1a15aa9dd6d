/* libpexemu: emulated PCIe interface cards for trying the kit without hardware.
 *
 * A card is an image file named PEXIO<n> in a folder; with PEXLINK_DEVICE_DIR naming that folder, libpexlink
 * loads this library and its transfers go to the images. The calls below make images and show what a card
 * holds, from any process. Every call returns PEXEMU_OK or a negative PEXEMU_ERR_* code and writes its outputs
 * only on success; messages go to the caller's buffer (may be null), never to the console. */
#ifndef PEXEMU_H
#define PEXEMU_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PEXEMU_SONAME "libpexemu.so.1"

#define PEXEMU_OK 0
#define PEXEMU_ERR_ARG (-1)   /* null pointer, count or index outside the card */
#define PEXEMU_ERR_FILE (-2)  /* the image cannot be made, opened or mapped, or is not a card image */

typedef struct PexEmuCard PexEmuCard;
typedef struct PexEmuLog PexEmuLog;

/* One transfer as the card served it. words points into the log it came from and lives as long as the log. */
typedef struct PexEmuTransfer {
    uint64_t sequence; /* 0 for the first transfer since the image was made or its log cleared */
    uint32_t command;  /* PEX_CMD_* */
    uint32_t address;
    uint32_t count;
    uint32_t status;   /* 0 for success */
    int32_t pid;       /* process that made it */
    uint32_t word_count; /* words kept: count, or 0 for a failed transfer or words pushed out of the log */
    const uint32_t* words;
} PexEmuTransfer;

/* Makes (or replaces) cards 1..count in dir: revision is what the revision register reads; card n's register
 * window lies at bus address 0xF7000000 + (n-1) MiB; driver revision 300. count 1 to 99. */
int pexemu_create_cards(const char* dir, int count, uint32_t revision, char* message, size_t message_size);

/* Maps the image at path; *card is freed with pexemu_card_close. */
int pexemu_card_open(const char* path, PexEmuCard** card, char* message, size_t message_size);
void pexemu_card_close(PexEmuCard* card);

/* Word `index` of the register window as a read would answer it (ports answer their current address), without
 * logging: 0..31 registers, 32..4127 frame memory. */
int pexemu_card_read(const PexEmuCard* card, uint32_t index, uint32_t* value);
/* count entries of the lookup table (4096 in all) or words of the frame memory (4096) from first. */
int pexemu_card_lut(const PexEmuCard* card, uint32_t first, uint32_t count, uint32_t* out);
int pexemu_card_frame(const PexEmuCard* card, uint32_t first, uint32_t count, uint32_t* out);

/* Transfers since the image was made or its log was cleared; the last 65536 of them are kept. */
int pexemu_card_transfer_count(const PexEmuCard* card, uint64_t* count);
int pexemu_card_clear_log(PexEmuCard* card);
/* A copy of the kept transfers, oldest first; freed with pexemu_log_free. */
int pexemu_card_log(const PexEmuCard* card, PexEmuLog** log);
size_t pexemu_log_size(const PexEmuLog* log);
int pexemu_log_entry(const PexEmuLog* log, size_t index, PexEmuTransfer* transfer);
void pexemu_log_free(PexEmuLog* log);

#ifdef __cplusplus
}
#endif

#endif
