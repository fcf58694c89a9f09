// Negotiation of the sensor's maximum package size, run at every link.
#ifndef TARN_CONTROL_PACKAGE_SIZE_H
#define TARN_CONTROL_PACKAGE_SIZE_H

#include <cstdint>

// The library wants the sensor to send packages of at least this size, and asks for it.
constexpr uint32_t kWantedMaxPkgSize = 8192;

// Reads the sensor's package size (command 0x0001) and, when it is below 8192, asks for 8192
// (command 0x0002). Returns the size in force afterwards; 0 when it could not be read, or when
// the sensor reported a negative size and refused 8192.
uint32_t get_max_pkg_size();

// Asks the sensor to use size (command 0x0002); true when it confirmed with status 0.
bool set_max_pkg_size(uint32_t size);

namespace tarn::control {

class Channel;

// get_max_pkg_size and set_max_pkg_size on the given channel.
uint32_t negotiatePkgSize(Channel& channel);
bool requestPkgSize(Channel& channel, uint32_t size);

}  // namespace tarn::control

#endif  // TARN_CONTROL_PACKAGE_SIZE_H
