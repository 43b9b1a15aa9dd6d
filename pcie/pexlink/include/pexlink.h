/* pexlink: user-mode access to the registers and on-board memory of the PCIe interface cards. Plain C. */
#ifndef PEXLINK_H
#define PEXLINK_H

#include <stdint.h>

#if defined(__GNUC__)
#define PEXAPI __attribute__((visibility("default")))
#else
#define PEXAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the library itself. Any other nonzero result is either the operating system's error
 * code of a failed device-control call or the driver's status word, so callers must treat every nonzero
 * value as failure. */
#define PEX_SUCCESS 0u
#define PEX_ERR_TIMER 3u           /* the time-out timer of a wait-for-bits call could not be created */
#define PEX_ERR_NULL_ARG 4u        /* a required buffer or result pointer is null; nothing is sent */
#define PEX_ERR_OPEN 12u           /* the card's device could not be opened */
#define PEX_ERR_MUTEX_RELEASE 14u  /* the lock could not be released; replaces the transfer's own result */
#define PEX_ERR_MUTEX_TIMEOUT 15u  /* the lock was not obtained within PEX_LOCK_TIMEOUT_MS */
#define PEX_ERR_MUTEX_ABANDONED 16u /* the last holder of the lock ended while holding it */
#define PEX_ERR_INIT 17u           /* PEXInit could not create the lock */
#define PEX_ERR_WAIT_TIMEOUT 18u   /* the bits did not reach the wanted state before the time-out */
#define PEX_ERR_MUTEX_WAIT 19u     /* the lock could not be waited for (no lock handle, or the wait itself
                                    * failed); nothing is sent */

/* Transfer commands: bit 0x100 marks a burst, 0x200 the alternate block mode, 0x800 configuration space;
 * low byte 0x51 reads, 0x52 writes. */
#define PEX_CMD_READ 0x51u
#define PEX_CMD_WRITE 0x52u
#define PEX_CMD_READ_ALT 0x251u
#define PEX_CMD_WRITE_ALT 0x252u
#define PEX_CMD_WRITE_BURST 0x152u
#define PEX_CMD_CFG_READ 0x851u
#define PEX_CMD_CFG_WRITE 0x852u

/* Device control codes: device type 0x22, buffered, any access; function numbers 0x902, 0x906, 0x908. */
#define PEX_CTL_CODE(function) ((0x22u << 16) | ((uint32_t)(function) << 2))
#define IOCTL_PEX_TRANSFER 0x222408u    /* in PexRequest (24 bytes), out PexReply (16 bytes) */
#define IOCTL_PEX_DRIVER_INFO 0x222418u /* in 16 zero bytes, out PexDriverInfo (52 bytes) */
#define IOCTL_PEX_DRIVER_REV 0x222420u  /* no input, out one u32 */
#define PEX_DRIVER_INFO_INPUT_SIZE 16u

#define PEX_DEVICE_STEM "PEXIO"     /* card n is the device PEXIO<n>, n from 1 */
#define PEX_MAX_CARDS 10            /* GetNumDevices counts at most this many */
#define PEX_SW_REVISION 110u        /* what GetSWRev reports */
#define PEX_LOCK_NAME "PexComMutex" /* the system-wide transfer lock */
#define PEX_LOCK_TIMEOUT_MS 5000u

/* Input of every transfer; the driver reads or writes Count words at Buffer in the calling process. */
typedef struct PexRequest {
    uint32_t Address;  /* word index in the card's register window */
    uint32_t Reserved; /* always 0 */
    uint64_t Buffer;   /* virtual address of the caller's data */
    uint32_t Count;    /* 32-bit words */
    uint32_t Command;  /* PEX_CMD_* */
} PexRequest;

/* Output of every transfer. */
typedef struct PexReply {
    uint32_t Unused[2];
    uint32_t Transferred; /* words the driver moved */
    uint32_t Status;      /* 0 for success, else the driver's error code */
} PexReply;

/* Answer to IOCTL_PEX_DRIVER_INFO. Only the bus base address of the register window is interpreted; it sits
 * at byte 44 and is split in two words so that the record keeps its natural 4-byte alignment. */
typedef struct PexDriverInfo {
    uint32_t DriverData[11];
    uint32_t BaseAddressLow;
    uint32_t BaseAddressHigh;
} PexDriverInfo;

/* Life cycle; both run by themselves when the library is loaded and unloaded. */
PEXAPI uint32_t PEXInit(void);
PEXAPI void PEXCleanUp(void);

/* The system-wide lock as this process has it: 0 when the process holds a handle of it, PEX_ERR_INIT when it
 * could not be opened (every locked transfer then fails with PEX_ERR_MUTEX_WAIT). When text is not null, up
 * to size bytes (terminator included) receive one line for people: the lock's name, file, owner and mode, and
 * when it cannot be used, why and what to do (join its group, log in again, fix its group or mode, ...). */
PEXAPI uint32_t PEXLockStatus(char* text, uint32_t size);

/* Cards and revisions. */
PEXAPI uint32_t GetNumDevices(int16_t* count);
PEXAPI uint32_t GetSWRev(uint32_t* revision);
PEXAPI uint32_t GetDrvSWRev(uint32_t* revision);
PEXAPI uint32_t GetDriverInfo(int32_t card);
PEXAPI uint32_t GetPCIAddress(int32_t card, uint32_t index, uint64_t* address);

/* Transfers under the system-wide lock. */
PEXAPI uint32_t ReadReg(int32_t card, uint32_t address, uint32_t* value);
PEXAPI uint32_t WriteReg(int32_t card, uint32_t address, uint32_t value);
PEXAPI uint32_t ReadMem(int32_t card, uint32_t address, uint32_t alternate, uint32_t count, uint32_t* buffer);
PEXAPI uint32_t WriteMem(int32_t card, uint32_t address, uint32_t alternate, uint32_t count,
                         const uint32_t* buffer);
PEXAPI uint32_t WriteMemBurst(int32_t card, uint32_t address, uint32_t count, const uint32_t* buffer);
PEXAPI uint32_t ReadConfigReg(int32_t card, uint32_t address, uint32_t* value);
PEXAPI uint32_t WriteConfigReg(int32_t card, uint32_t address, uint32_t value);

/* Read-modify-write: the read and the write are two separate lock holds. */
PEXAPI uint32_t SetBits(int32_t card, uint32_t address, uint32_t bits);
PEXAPI uint32_t ClearBits(int32_t card, uint32_t address, uint32_t bits);
PEXAPI uint32_t SetBitsWait(int32_t card, uint32_t address, uint32_t bits, uint32_t timeoutMs);
PEXAPI uint32_t ClearBitsWait(int32_t card, uint32_t address, uint32_t bits, uint32_t timeoutMs);

/* Transfers without the lock. */
PEXAPI uint32_t ReadRegNoMutex(int32_t card, uint32_t address, uint32_t* value);
PEXAPI uint32_t WriteRegNoMutex(int32_t card, uint32_t address, uint32_t value);

/* Bracketing several calls: the lock is recursive for the thread that holds it. */
PEXAPI uint32_t AcquireMutex(void);
PEXAPI uint32_t MutexRelease(void);

#ifdef __cplusplus
}
#endif

#endif /* PEXLINK_H */
