/* Exports of the USB back end: open, frame output, close, and the drive-unit serial-number tools. */
#ifndef KRV_USB_H
#define KRV_USB_H

#include <KRV.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Opens a record whose profile the core has read: finds every drive unit by the serial number in its EEPROM,
 * sets the units' channel counts, creates State, loads the default map and runs the common opening steps.
 */
KRVAPI KRVRC KRV_USBOpenDM(DM* dm);

/*
 * Sends one frame: values holds ActCount driver values by actuator; map is a channel-indexed map of the
 * record's total channel count (entry c = actuator on channel c, counted from the smallest entry), or null
 * for State's map. An entry of 4096 marks a channel without actuator, which receives 0.
 */
KRVAPI KRVRC KRV_USBSetArray(DM* dm, const uint32_t* values, const uint32_t* map);

/* Sends zeros to every unit and clears the applied frame. */
KRVAPI KRVRC KRV_USBClearArray(DM* dm);

/* Zeroes the outputs, switches the units off and returns the record to the closed state (also when closed). */
KRVAPI KRVRC KRV_USBClose(DM* dm);

/*
 * Releases the process-wide host-driver instance so that the USB devices are let go before the process ends
 * (test fixtures tearing down emulated units do this). Refused with ERR_DRIVER_ALREADY_OPEN while a USB record
 * is open. The next open creates a new instance. Without this call the instance lives until the library unloads.
 */
KRVAPI KRVRC KRV_USBReleaseHostDriver(void);

#ifdef __cplusplus
}

namespace MirrorKit::USB {

/* Reads the serial number of the unit at dm->DevId into dm->Driver.SerialNumber; the record need not be open. */
KRVAPI KRVRC ReadDriverSN(DM* dm);
/* Writes dm->Driver.SerialNumber (11 characters: digits, letters, '#') into the unit at dm->DevId. */
KRVAPI KRVRC WriteDriverSN(DM* dm);

}  /* namespace MirrorKit::USB */
#endif

#endif /* KRV_USB_H */
