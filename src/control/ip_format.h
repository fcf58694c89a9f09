// The form check of IPv4 address texts offered to applications, and the reading of the control
// link's address.
#ifndef TARN_CONTROL_IP_FORMAT_H
#define TARN_CONTROL_IP_FORMAT_H

#include <netinet/in.h>

#include <optional>
#include <string>

namespace tarn::control {

// True exactly when the whole text matches
// ^((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$
// that is four components of one to three ASCII digits with a value of at most 255, separated by
// single dots.
bool isDottedQuad(const std::string& text);

// The address a control link connects to: text must pass isDottedQuad and read as an IPv4
// address with inet_pton, which refuses components with leading zeros ("010", "08") that other
// readers would take as octal. Nothing when it does not.
std::optional<in_addr> controlAddress(const std::string& text);

}  // namespace tarn::control

#endif  // TARN_CONTROL_IP_FORMAT_H
