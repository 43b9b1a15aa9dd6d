// Layout checks of the records exchanged with the card's driver: their sizes and offsets are fixed by the driver.
#include <pexlink.h>

#include <cstddef>

static_assert(sizeof(PexRequest) == 24, "PexRequest is 24 bytes");
static_assert(offsetof(PexRequest, Address) == 0);
static_assert(offsetof(PexRequest, Reserved) == 4);
static_assert(offsetof(PexRequest, Buffer) == 8);
static_assert(offsetof(PexRequest, Count) == 16);
static_assert(offsetof(PexRequest, Command) == 20);

static_assert(sizeof(PexReply) == 16, "PexReply is 16 bytes");
static_assert(offsetof(PexReply, Transferred) == 8);
static_assert(offsetof(PexReply, Status) == 12);

static_assert(sizeof(PexDriverInfo) == 52, "PexDriverInfo is 52 bytes");
static_assert(offsetof(PexDriverInfo, BaseAddressLow) == 44);
static_assert(offsetof(PexDriverInfo, BaseAddressHigh) == 48);

static_assert(IOCTL_PEX_TRANSFER == PEX_CTL_CODE(0x902));
static_assert(IOCTL_PEX_DRIVER_INFO == PEX_CTL_CODE(0x906));
static_assert(IOCTL_PEX_DRIVER_REV == PEX_CTL_CODE(0x908));
