// The sensor's network settings commands. The 44-byte record is moved as opaque bytes.
#ifndef TARN_CONTROL_NET_SETTINGS_H
#define TARN_CONTROL_NET_SETTINGS_H

#include "KESOApi.h"

namespace tarn::control {

class Channel;

// Links the channel for one settings call. A null address and a negative time-out are refused
// with a message before anything is connected; otherwise as KESOLinkDeviceNetControl. True when
// linked.
bool linkForSettings(Channel& channel, const char* ip, int timeoutMs);
// The same on the default channel.
bool linkForSettings(const char* ip, int timeoutMs);

// set_ipport and get_ipport on the given channel.
bool writeNetInfo(Channel& channel, const KESOIpInfo& info);
bool readNetInfo(Channel& channel, KESOIpInfo* info);

}  // namespace tarn::control

// Writes info to the sensor (command 0x0201); true when the sensor confirmed with status 0.
bool set_ipport(KESOIpInfo info);

// Reads the sensor's settings (command 0x0202) into *info; true when the sensor answered with
// status 0 and exactly 44 bytes. *info is untouched otherwise.
bool get_ipport(KESOIpInfo* info);

#endif  // TARN_CONTROL_NET_SETTINGS_H
