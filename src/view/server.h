// The viewer's HTTP and WebSocket server on one port, on a thread of its own: the page's files
// over HTTP, the Foxglove protocol over WebSocket, one bounded send slot per client and channel.
#ifndef TARN_SRC_VIEW_SERVER_H
#define TARN_SRC_VIEW_SERVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol.h"
#include "tarn/view.h"

namespace tarn::view {

struct ServerSettings {
    std::string listenAddress = "127.0.0.1";
    int port = TARN_VIEW_DEFAULT_PORT;
    int maxClients = TARN_VIEW_DEFAULT_MAX_CLIENTS;
    int stallTimeoutMs = 5000;
    size_t maxMessageBytes = 65536;
    std::string threeDirectory;
    std::vector<ChannelInfo> channels;  // ids 1 to channels.size(), in order
};

// One serialised message. The server takes its bytes over and sends them to every subscribed
// client without copying them.
struct Payload {
    uint32_t channel = 0;
    uint64_t stampNs = 0;
    std::string bytes;
};

class Server {
  public:
    // Binds and starts serving; returns TARN_OK or TARN_VIEW_ERR_LISTEN / _SERVER.
    static int open(const ServerSettings& settings, std::unique_ptr<Server>& out);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const;
    // True when some client subscribes to the channel. Any thread.
    bool wanted(uint32_t channel) const;
    // Hands the payload to the server thread for every subscriber. Any thread; does not wait.
    void publish(std::shared_ptr<Payload> payload);
    // Sends text as a status message to every open client. Any thread; does not wait.
    void broadcastStatus(int level, const std::string& text, const std::string& id);
    tarn_view_stats stats() const;

    struct Impl;

  private:
    explicit Server(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Whether a Host header's value names this server: localhost, a loopback address, or the listen
// address (any IPv4 address when listening on 0.0.0.0), with or without a port.
bool hostAllowed(const std::string& host, const std::string& listenAddress);

}  // namespace tarn::view

#endif  // TARN_SRC_VIEW_SERVER_H
