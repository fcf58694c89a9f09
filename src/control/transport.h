// The byte stream that the command exchange talks over. The library uses the channel's control
// socket; tests and the fuzz targets put a scripted peer in its place (control/transport_seam.h).
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

// The stream over a channel's control socket, whichever descriptor it holds at the time.
class SocketTransport final : public Transport {
  public:
    explicit SocketTransport(const int& sock) : sock_(sock) {}

    void discardPending() override;
    // A sensor that stops reading cannot hold the send up beyond the deadline, and a closed
    // connection fails the send instead of raising SIGPIPE.
    bool sendAll(const unsigned char* bytes, std::size_t count,
                 Clock::time_point deadline) override;
    bool readExactly(unsigned char* buffer, std::size_t count, Clock::time_point deadline) override;
    void pause(uint32_t milliseconds) override;

  private:
    const int& sock_;
};

}  // namespace tarn::control

#endif  // TARN_CONTROL_TRANSPORT_H
