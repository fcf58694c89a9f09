// Process-wide state of the control channel, the default channel of the KESO functions
// (control/channel.h). Defined in KESOApi.cpp. It has no lock: the KESO control functions run on
// one application thread at a time, and only that thread reads or writes these.
#ifndef TARN_CONTROL_CONTROL_STATE_H
#define TARN_CONTROL_CONTROL_STATE_H

#include <cstdint>

constexpr uint32_t kInitialMaxPkgLen = 1024;

// Control connection's TCP socket; -1 when there is none. Written by the link and break calls.
extern int sock_ctrl;
// True from a successful link until the link is broken. Written by the link and break calls.
extern bool g_link_net;
// Negotiated maximum package size, written at every successful link (0 when the negotiation
// failed); the reply buffer is max(g_max_pkg_len, 1024) bytes.
extern uint32_t g_max_pkg_len;

#endif  // TARN_CONTROL_CONTROL_STATE_H
