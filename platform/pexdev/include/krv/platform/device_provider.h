/* A device provider that lives in a library of its own, loaded at run time: a plain C table of three calls, so
 * the device layer and the provider share no C++ types. The device layer wraps it as a DeviceProvider. */
#ifndef KRV_PLATFORM_DEVICE_PROVIDER_H
#define KRV_PLATFORM_DEVICE_PROVIDER_H

#include <stdint.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KRV_DEVICE_PROVIDER_ABI 1u

typedef struct KrvDeviceProviderTable {
    uint32_t abi;     /* KRV_DEVICE_PROVIDER_ABI of the provider's build; the layer refuses any other */
    uint32_t size;    /* sizeof(KrvDeviceProviderTable) of the provider's build */
    const char* name; /* for messages */
    /* 1 and a session when the provider serves the file open as fd (st is its status), 0 when it is not the
     * provider's kind of device. */
    int (*attach)(int fd, const struct stat* st, void** session);
    /* One control request: 1 on success, 0 with *error set (a system error code) when the request failed. */
    int (*control)(void* session, uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                   uint32_t* returned, uint32_t* error);
    void (*detach)(void* session);
} KrvDeviceProviderTable;

/* What a provider library exports under its entry name. The table lives as long as the library. */
typedef const KrvDeviceProviderTable* (*KrvDeviceProviderEntry)(void);

#ifdef __cplusplus
}
#endif

#endif
