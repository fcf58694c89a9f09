#include "control/transport.h"

#include <poll.h>
#include <sys/socket.h>

#include "control/channel.h"
#include "control/transport_seam.h"

namespace tarn::control {

void SocketTransport::discardPending() {
    tarn::control::discardPending(sock_);
}

bool SocketTransport::sendAll(const unsigned char* bytes, std::size_t count,
                              Clock::time_point deadline) {
    if (waitFor(sock_, POLLOUT, deadline) != WaitResult::ready) {
        return false;
    }
    const ssize_t sent = send(sock_, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == static_cast<ssize_t>(count);
}

bool SocketTransport::readExactly(unsigned char* buffer, std::size_t count,
                                  Clock::time_point deadline) {
    return tarn::control::readExactly(sock_, buffer, count, deadline);
}

void SocketTransport::pause(uint32_t milliseconds) {
    pauseMilliseconds(milliseconds);
}

ScopedTransport::ScopedTransport(Transport& transport)
    : channel_(defaultChannel()), previous_(channel_.replacement) {
    channel_.replacement = &transport;
}

ScopedTransport::ScopedTransport(Channel& channel, Transport& transport)
    : channel_(channel), previous_(channel.replacement) {
    channel_.replacement = &transport;
}

ScopedTransport::~ScopedTransport() {
    channel_.replacement = previous_;
}

}  // namespace tarn::control
