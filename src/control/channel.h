// One control channel's state: its socket, whether it is linked, the negotiated package size and
// the byte stream its exchanges run over. The KESO functions use the default channel, made of the
// process-wide globals of control_state.h; each control handle (tarn/control.h) has its own.
#ifndef TARN_CONTROL_CHANNEL_H
#define TARN_CONTROL_CHANNEL_H

#include <cstdint>
#include <string>

#include "control/control_state.h"
#include "control/transport.h"

namespace tarn::control {

// Used by one thread at a time: the channel has no lock of its own.
class Channel {
  public:
    // A channel with its own state, unlinked.
    Channel();
    // A channel whose state lives in the given variables (the KESO globals).
    Channel(int& sock, bool& linked, uint32_t& maxPkgLen);
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The control socket, unless a replacement transport is in place.
    Transport& transport() { return replacement != nullptr ? *replacement : socket_; }

  private:
    int ownSock_ = -1;
    bool ownLinked_ = false;
    uint32_t ownMaxPkgLen_ = kInitialMaxPkgLen;

  public:
    int& sock;            // -1 when there is none
    bool& linked;         // true from a successful link until the link is broken
    uint32_t& maxPkgLen;  // negotiated at every successful link
    // Whether the data CRC of the last valid reply matched its data.
    bool dataCrcMatched = true;
    // A scripted peer in place of the socket (control/transport_seam.h); null otherwise.
    Transport* replacement = nullptr;

  private:
    SocketTransport socket_{sock};
};

// The channel of the KESO functions: sock_ctrl, g_link_net and g_max_pkg_len.
Channel& defaultChannel();

// Opens the channel's connection to port 6501 of ip within timeoutMs and negotiates the package
// size, as KESOLinkDeviceNetControl. While the channel is linked to the same address the
// connection is kept; a link to another address breaks the old one first.
int linkChannel(Channel& channel, const std::string& ip, uint32_t timeoutMs);

// Closes the channel's connection, then pauses 100 ms, as KESOBreakLinkDeviceNetControl.
void breakChannel(Channel& channel);

}  // namespace tarn::control

#endif  // TARN_CONTROL_CHANNEL_H
