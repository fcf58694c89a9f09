// The byte stream that the command exchange talks over. The library uses the control socket;
// tests and the fuzz targets put a scripted peer in its place (control/transport_seam.h).
#ifndef TARN_CONTROL_TRANSPORT_H
#define TARN_CONTROL_TRANSPORT_H

#include <cstddef>
#include <cstdint>

#include "control/socket_io.h"

namespace tarn::control {

class Transport {
  public:
    virtual ~Transport() = default;

    // Throws away whatever the peer has already sent, without waiting.
    virtual void discardPending() = 0;
    // Sends all count bytes at once, waiting for room until deadline; false when they did not
    // all go out.
    virtual bool sendAll(const unsigned char* bytes, std::size_t count,
                         Clock::time_point deadline) = 0;
    // Reads exactly count bytes unless the deadline passes, the peer closes or the read fails.
    virtual bool readExactly(unsigned char* buffer, std::size_t count,
                             Clock::time_point deadline) = 0;
    // The pause after a failed send.
    virtual void pause(uint32_t milliseconds) = 0;
};

// The control socket sock_ctrl, unless a replacement is in place.
Transport& activeTransport();

}  // namespace tarn::control

#endif  // TARN_CONTROL_TRANSPORT_H
