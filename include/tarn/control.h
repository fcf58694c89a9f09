/*
 * tarn/control.h: control handles, one per sensor, for reading and writing sensors' network
 * settings from several threads at once.
 *
 * KESOGetNetInfo and KESOSetNetInfo share one process-wide control channel and must not run on
 * two threads at once. A control handle has a channel of its own: different handles may be used
 * on different threads at the same time (and one handle from several threads, which take turns).
 * Each call runs the same exchange as its KESO function: it connects to port 6501 of the
 * handle's address within the handle's time-out, negotiates the package size, sends its command,
 * closes the connection and pauses 100 ms. It returns the same codes, and besides them
 * TARN_ERR_DATA_CRC when the reply's data CRC does not match its data (which the KESO functions
 * accept).
 *
 * The record is the 44 bytes of a KESOIpInfo; tarn/net_settings.h names its members.
 *
 * This header compiles as C99 and as C++11 and later.
 */
#ifndef TARN_CONTROL_H
#define TARN_CONTROL_H

#include <stdint.h>

#include "tarn/net_settings.h"
#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The KESO functions' codes, which the control calls return as they do. */
#define TARN_CONTROL_SET_LINK_FAILED (-1990) /* as KESOSetNetInfo: connection not made */
#define TARN_CONTROL_GET_LINK_FAILED (-1989) /* as KESOGetNetInfo: connection not made */
#define TARN_CONTROL_SET_NOT_APPLIED (-1988) /* the sensor did not confirm the settings */
#define TARN_CONTROL_GET_NOT_READ (-1987)    /* the settings were not read */

typedef struct tarn_control tarn_control;

/* Opens a handle for the sensor at address (dotted decimal without leading zeros, copied) whose
 * connections are made within timeout_ms. Nothing is connected yet. Returns TARN_OK and sets
 * *control; TARN_ERR_NULL_ARGUMENT when an argument is null; TARN_ERR_DEVICE_ADDRESS when address
 * is not such an address; TARN_ERR_NO_MEMORY. A negative timeout_ms is accepted here and makes
 * every call fail to link, with the message KESOGetNetInfo prints. */
int tarn_control_open(const char* address, int timeout_ms, tarn_control** control);

/* Reads the sensor's settings into the TARN_NET_SETTINGS_BYTES bytes at record. Returns TARN_OK;
 * TARN_CONTROL_GET_LINK_FAILED; TARN_CONTROL_GET_NOT_READ (record unchanged); TARN_ERR_DATA_CRC
 * when the record arrived but its data CRC does not match: record then holds the bytes as
 * received, which must not be trusted (nor written back unchecked); TARN_ERR_NULL_ARGUMENT. */
int tarn_control_get_net_info(tarn_control* control, uint8_t* record);

/* Writes the TARN_NET_SETTINGS_BYTES bytes at record to the sensor. Returns TARN_OK;
 * TARN_CONTROL_SET_LINK_FAILED; TARN_CONTROL_SET_NOT_APPLIED; TARN_ERR_DATA_CRC when the
 * sensor's confirmation arrived with a data CRC that does not match (the settings may or may not
 * have been applied: read them back); TARN_ERR_NULL_ARGUMENT. */
int tarn_control_set_net_info(tarn_control* control, const uint8_t* record);

/* The address the handle was opened with; valid until tarn_control_close. Null for null. */
const char* tarn_control_address(const tarn_control* control);

/* Closes the handle; null is ignored. No call on it may be running or start afterwards. */
void tarn_control_close(tarn_control* control);

#ifdef __cplusplus
}
#endif

#endif /* TARN_CONTROL_H */
