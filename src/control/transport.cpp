#include "control/transport.h"

#include <poll.h>
#include <sys/socket.h>

#include "control/control_state.h"
#include "control/transport_seam.h"

namespace tarn::control {
namespace {

class SocketTransport final : public Transport {
  public:
    void discardPending() override { tarn::control::discardPending(sock_ctrl); }

    // A sensor that stops reading cannot hold the send up beyond the deadline, and a closed
    // connection fails the send instead of raising SIGPIPE.
    bool sendAll(const unsigned char* bytes, std::size_t count,
                 Clock::time_point deadline) override {
        if (waitFor(sock_ctrl, POLLOUT, deadline) != WaitResult::ready) {
            return false;
        }
        const ssize_t sent = send(sock_ctrl, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent == static_cast<ssize_t>(count);
    }

    bool readExactly(unsigned char* buffer, std::size_t count,
                     Clock::time_point deadline) override {
        return tarn::control::readExactly(sock_ctrl, buffer, count, deadline);
    }

    void pause(uint32_t milliseconds) override { pauseMilliseconds(milliseconds); }
};

SocketTransport socketTransport;
// A scripted peer put in place by ScopedTransport; null in the library's own use. Read and
// written only by the thread that runs the control functions.
Transport* replacement = nullptr;

}  // namespace

Transport& activeTransport() {
    return replacement != nullptr ? *replacement : socketTransport;
}

ScopedTransport::ScopedTransport(Transport& transport) : previous_(replacement) {
    replacement = &transport;
}

ScopedTransport::~ScopedTransport() {
    replacement = previous_;
}

}  // namespace tarn::control
