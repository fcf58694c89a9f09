// Opening and closing the control connection to the sensor's port 6501.
#ifndef TARN_CONTROL_LINK_H
#define TARN_CONTROL_LINK_H

#include <netinet/in.h>

#include <cstdint>

constexpr uint16_t kCtrlPort = 6501;
// Every link and break ends with this pause, so the sensor sees the connections apart.
constexpr uint32_t kCtrlPauseMs = 100;

// Connects fd to peer, waiting at most timeout_ms. On success the socket is back in blocking
// mode; on failure errno tells why (ETIMEDOUT when the wait ran out) and the caller closes fd.
bool UnblockConnect(int fd, const sockaddr_in* peer, uint32_t timeout_ms);

#endif  // TARN_CONTROL_LINK_H
