#include "control/link.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

#include "KESOApi.h"
#include "api/log.h"
#include "control/channel.h"
#include "control/ip_format.h"
#include "control/package_size.h"
#include "control/socket_io.h"

using tarn::control::WaitResult;
using tarn::log::Destination;

namespace {

bool setNonBlocking(int fd, bool nonBlocking) {
    int value = nonBlocking ? 1 : 0;
    return ioctl(fd, FIONBIO, &value) == 0;
}

// The connection's own outcome once the socket is ready; sets errno to it on failure.
bool connectionSucceeded(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return false;
    }
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

// At most this much of a refused address text goes into its message.
constexpr std::size_t kQuotedAddressLen = 40;

// The address text as it can appear on one line of output: other bytes than printable ASCII
// become '?', and a long text is cut short.
std::string quotedAddress(const std::string& text) {
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size() && i < kQuotedAddressLen; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        quoted += c >= ' ' && c <= '~' ? static_cast<char>(c) : '?';
    }
    quoted += text.size() > kQuotedAddressLen ? "...\"" : "\"";
    return quoted;
}

bool connectStarted(int fd, const sockaddr_in* peer) {
    return connect(fd, reinterpret_cast<const sockaddr*>(peer), sizeof *peer) == 0 ||
           errno == EINPROGRESS || errno == EISCONN;
}

}  // namespace

bool UnblockConnect(int fd, const sockaddr_in* peer, uint32_t timeout_ms) {
    if (!setNonBlocking(fd, true)) {
        return false;
    }
    const auto deadline = tarn::control::deadlineAfter(timeout_ms);
    if (!connectStarted(fd, peer)) {
        return false;
    }
    switch (tarn::control::waitFor(fd, POLLOUT, deadline)) {
        case WaitResult::timedOut:
            errno = ETIMEDOUT;
            return false;
        case WaitResult::failed:
            return false;
        case WaitResult::ready:
            break;
    }
    if (!connectionSucceeded(fd)) {
        return false;
    }
    setNonBlocking(fd, false);
    return true;
}

namespace tarn::control {
namespace {

// True when the channel's socket is connected to peer. A link to any other address must not
// reuse the socket: connect would answer EISCONN, taken for success, and the commands would go
// to the device linked before.
bool connectedTo(int fd, const sockaddr_in& peer) {
    sockaddr_in current{};
    socklen_t length = sizeof current;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&current), &length) == 0 &&
           length == sizeof current && current.sin_family == AF_INET &&
           current.sin_port == peer.sin_port && current.sin_addr.s_addr == peer.sin_addr.s_addr;
}

}  // namespace

int linkChannel(Channel& channel, const std::string& ip, uint32_t timeoutMs) {
    // An unreadable address must not turn into some other host (255.255.255.255 or the local
    // host): nothing is connected and the link state stays as it was.
    const std::optional<in_addr> address = controlAddress(ip);
    if (!address) {
        tarn::log::format(nullptr, Destination::kStandardOutput,
                          "ctrl-server address %s is not a dotted-quad IPv4 address",
                          quotedAddress(ip).c_str());
        return KESO_LINK_FAILED;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(kCtrlPort);
    peer.sin_addr = *address;

    // A link to the address already linked keeps its connection; anything else (another
    // address, or a socket that is no longer connected) is broken first.
    if (channel.sock != -1 && !connectedTo(channel.sock, peer)) {
        breakChannel(channel);
    }
    if (channel.sock == -1) {
        channel.sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
    // A socket that could not be made keeps the errno of its failure for the message.
    if (channel.sock == -1 || !UnblockConnect(channel.sock, &peer, timeoutMs)) {
        tarn::log::format(nullptr, Destination::kStandardOutput, "connect to ctrl-server error %d",
                          errno);
        if (channel.sock != -1) {
            close(channel.sock);
        }
        channel.sock = -1;
        return KESO_LINK_FAILED;
    }
    channel.linked = true;
    channel.maxPkgLen = negotiatePkgSize(channel);
    return KESO_OK;
}

void breakChannel(Channel& channel) {
    channel.linked = false;
    if (channel.sock != -1) {
        shutdown(channel.sock, SHUT_RDWR);
        close(channel.sock);
    }
    channel.sock = -1;
    pauseMilliseconds(kCtrlPauseMs);
}

}  // namespace tarn::control

int KESOLinkDeviceNetControl(std::string ip, uint32_t timeoutMs) {
    return tarn::control::linkChannel(tarn::control::defaultChannel(), ip, timeoutMs);
}

void KESOBreakLinkDeviceNetControl() {
    tarn::control::breakChannel(tarn::control::defaultChannel());
}
