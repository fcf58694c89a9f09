/*
 * tarn/net_settings.h: the members of a sensor's 44-byte network settings (KESOIpInfo), for
 * reading and changing single settings.
 *
 * KESOGetNetInfo and KESOSetNetInfo move the record as 44 opaque bytes. The tarn tool and the
 * simulated sensor lay them out as follows (addresses in dotted order, that is network byte
 * order; ports little-endian):
 *
 *   offset  size  member
 *        0     4  address       the sensor's IPv4 address
 *        4     4  netmask
 *        8     4  gateway
 *       12     4  host_address  where the sensor sends its measurements
 *       16     2  data_port     the sensor's UDP source port
 *       18     2  host_port     the UDP port the measurements go to
 *       20     6  mac           the sensor's hardware address
 *       26    18  reserved      kept as read; zero in the simulated sensor's record
 *
 * A sensor whose firmware lays its settings out otherwise still reads and writes its record
 * whole, byte for byte; only the members mean something else there.
 *
 * The functions are pure: they touch only their arguments, and any thread may call them.
 */
#ifndef TARN_NET_SETTINGS_H
#define TARN_NET_SETTINGS_H

#include <stdint.h>

#include "tarn/tarn.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TARN_NET_SETTINGS_BYTES 44 /* sizeof(KESOIpInfo) */

/* The members of the record, ports in host byte order. Every byte of the record is a member or
 * reserved, so reading and writing back gives the same 44 bytes. */
typedef struct tarn_net_settings {
    uint8_t address[4];
    uint8_t netmask[4];
    uint8_t gateway[4];
    uint8_t host_address[4];
    uint16_t data_port;
    uint16_t host_port;
    uint8_t mac[6];
    uint8_t reserved[18];
} tarn_net_settings;

/* Reads the members from the 44 bytes at record (the bytes of a KESOIpInfo). Returns TARN_OK, or
 * TARN_ERR_NULL_ARGUMENT when an argument is null (*settings unchanged). */
int tarn_net_settings_read(const uint8_t* record, tarn_net_settings* settings);

/* Writes the members into the 44 bytes at record. Returns TARN_OK, or TARN_ERR_NULL_ARGUMENT
 * when an argument is null (record unchanged). */
int tarn_net_settings_write(const tarn_net_settings* settings, uint8_t* record);

#ifdef __cplusplus
}
#endif

#endif /* TARN_NET_SETTINGS_H */
