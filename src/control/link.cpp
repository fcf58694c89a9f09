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
#include "control/control_state.h"
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

int KESOLinkDeviceNetControl(std::string ip, uint32_t timeoutMs) {
    // An unreadable address must not turn into some other host (255.255.255.255 or the local
    // host): nothing is connected and the link state stays as it was.
    const std::optional<in_addr> address = tarn::control::controlAddress(ip);
    if (!address) {
        tarn::log::format(nullptr, Destination::kStandardOutput,
                          "ctrl-server address %s is not a dotted-quad IPv4 address",
                          quotedAddress(ip).c_str());
        return KESO_LINK_FAILED;
    }
    if (sock_ctrl == -1) {
        sock_ctrl = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(kCtrlPort);
    peer.sin_addr = *address;

    // A socket that could not be made keeps the errno of its failure for the message.
    if (sock_ctrl == -1 || !UnblockConnect(sock_ctrl, &peer, timeoutMs)) {
        tarn::log::format(nullptr, Destination::kStandardOutput, "connect to ctrl-server error %d",
                          errno);
        if (sock_ctrl != -1) {
            close(sock_ctrl);
        }
        sock_ctrl = -1;
        return KESO_LINK_FAILED;
    }
    g_link_net = true;
    g_max_pkg_len = get_max_pkg_size();
    return KESO_OK;
}

void KESOBreakLinkDeviceNetControl() {
    g_link_net = false;
    if (sock_ctrl != -1) {
        shutdown(sock_ctrl, SHUT_RDWR);
        close(sock_ctrl);
    }
    sock_ctrl = -1;
    tarn::control::pauseMilliseconds(kCtrlPauseMs);
}
