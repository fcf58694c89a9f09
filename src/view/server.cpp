#include "server.h"

#define ASIO_STANDALONE
#define _WEBSOCKETPP_CPP11_STL_
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "page.h"

namespace tarn::view {
namespace {

using Endpoint = websocketpp::server<websocketpp::config::asio>;
using Connection = Endpoint::connection_ptr;
using Handle = websocketpp::connection_hdl;
using Message = websocketpp::config::asio::message_type;
using Clock = std::chrono::steady_clock;

// A client's socket may hold this much unsent before its newer messages wait in their slots.
constexpr size_t kHighWaterBytes = 4u << 20;
// How often waiting messages are retried and stalls looked for.
constexpr auto kFlushPeriod = std::chrono::milliseconds(10);
// How often each client is told what it skipped.
constexpr auto kStatusPeriod = std::chrono::seconds(1);
constexpr int kHandshakeTimeoutMs = 3000;
constexpr int kCloseTimeoutMs = 1000;

// A published message as every client gets it: its serialised bytes once, in a prepared
// websocketpp message without a frame header of its own that goes to each subscriber's socket
// after that client's own frame header and message data header (send() below).
struct Shared {
    uint32_t channel = 0;
    uint64_t stampNs = 0;
    Endpoint::message_ptr body;
};
using SharedPtr = std::shared_ptr<const Shared>;

struct Client {
    bool open = false;
    std::map<uint32_t, uint32_t> subscriptions;  // subscription id to channel
    // Per subscription, the newest message not yet handed to the socket.
    std::map<uint32_t, SharedPtr> waiting;
    uint64_t skipped = 0;
    uint64_t skippedReported = UINT64_MAX;
    size_t lastBuffered = 0;
    Clock::time_point lastProgress = Clock::now();
    bool closing = false;
};

std::string stripPort(const std::string& host) {
    if (!host.empty() && host.front() == '[') {
        const size_t end = host.find(']');
        return end == std::string::npos ? std::string() : host.substr(0, end + 1);
    }
    const size_t colon = host.find(':');
    return colon == std::string::npos ? host : host.substr(0, colon);
}

}  // namespace

bool hostAllowed(const std::string& host, const std::string& listenAddress) {
    std::string name = stripPort(host);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "localhost" || name == "[::1]") {
        return true;
    }
    asio::error_code ec;
    const asio::ip::address_v4 address = asio::ip::make_address_v4(name, ec);
    if (ec) {
        return false;
    }
    return address.is_loopback() || name == listenAddress || listenAddress == "0.0.0.0";
}

struct Server::Impl {
    ServerSettings settings;
    std::vector<PageFile> files;
    Endpoint endpoint;
    std::thread thread;
    int port = 0;
    std::string sessionId;
    std::string serverInfo;
    std::string advertise;

    // Written on the server thread, read by publishers.
    std::vector<std::atomic<int>> subscribers;
    // The counters of tarn_view_stats, written on the server thread (serialised: publishers).
    std::atomic<uint64_t> accepted{0}, refused{0}, closedBad{0}, dropped{0}, serialised{0}, sent{0},
        skipped{0}, httpRequests{0};

    // Server thread only.
    std::map<Handle, Client, std::owner_less<Handle>> clients;
    std::unique_ptr<asio::steady_timer> flushTimer;
    Clock::time_point lastStatus = Clock::now();

    explicit Impl(const ServerSettings& s) : settings(s), subscribers(s.channels.size() + 1) {}

    Connection connection(Handle h) {
        websocketpp::lib::error_code ec;
        Connection c = endpoint.get_con_from_hdl(h, ec);
        return ec ? nullptr : c;
    }

    bool hostOk(const Connection& c) {
        return hostAllowed(c->get_request_header("Host"), settings.listenAddress);
    }

    bool validate(Handle h) {
        Connection c = connection(h);
        if (!c) {
            return false;
        }
        websocketpp::http::status_code::value refusal = websocketpp::http::status_code::ok;
        const auto& protocols = c->get_requested_subprotocols();
        if (!hostOk(c)) {
            refusal = websocketpp::http::status_code::forbidden;
        } else if (std::find(protocols.begin(), protocols.end(), kSubprotocol) == protocols.end()) {
            refusal = websocketpp::http::status_code::bad_request;
        } else if (clients.size() >= static_cast<size_t>(settings.maxClients)) {
            refusal = websocketpp::http::status_code::service_unavailable;
        }
        if (refusal != websocketpp::http::status_code::ok) {
            c->set_status(refusal);
            ++refused;
            return false;
        }
        c->select_subprotocol(kSubprotocol);
        clients.emplace(h, Client{});
        return true;
    }

    void onOpen(Handle h) {
        auto it = clients.find(h);
        Connection c = connection(h);
        if (it == clients.end() || !c) {
            return;
        }
        it->second.open = true;
        ++accepted;
        c->send(serverInfo, websocketpp::frame::opcode::text);
        c->send(advertise, websocketpp::frame::opcode::text);
    }

    void forget(Handle h) {
        auto it = clients.find(h);
        if (it == clients.end()) {
            return;
        }
        for (const auto& s : it->second.subscriptions) {
            --subscribers[s.second];
        }
        clients.erase(it);
    }

    void closeBad(Handle h, Client& client, const std::string& why) {
        if (client.closing) {
            return;
        }
        client.closing = true;
        ++closedBad;
        Connection c = connection(h);
        if (c) {
            websocketpp::lib::error_code ec;
            c->close(websocketpp::close::status::policy_violation, why, ec);
        }
    }

    void onMessage(Handle h, Endpoint::message_ptr message) {
        auto it = clients.find(h);
        if (it == clients.end() || it->second.closing) {
            return;
        }
        Client& client = it->second;
        if (message->get_opcode() != websocketpp::frame::opcode::text) {
            closeBad(h, client, "binary client messages are not accepted");
            return;
        }
        const ParseResult parsed = parseClientMessage(message->get_payload());
        if (!parsed.ok) {
            closeBad(h, client, parsed.error);
            return;
        }
        if (parsed.message.op == ClientMessage::Op::subscribe) {
            for (const Subscription& s : parsed.message.subscriptions) {
                if (s.channel == 0 || s.channel > settings.channels.size()) {
                    closeBad(h, client, "no channel " + std::to_string(s.channel));
                    return;
                }
                if (client.subscriptions.count(s.id) != 0) {
                    closeBad(h, client, "subscription " + std::to_string(s.id) + " exists");
                    return;
                }
            }
            for (const Subscription& s : parsed.message.subscriptions) {
                client.subscriptions[s.id] = s.channel;
                ++subscribers[s.channel];
            }
        } else {
            for (const uint32_t id : parsed.message.subscriptionIds) {
                if (client.subscriptions.count(id) == 0) {
                    closeBad(h, client, "no subscription " + std::to_string(id));
                    return;
                }
            }
            for (const uint32_t id : parsed.message.subscriptionIds) {
                --subscribers[client.subscriptions[id]];
                client.subscriptions.erase(id);
                client.waiting.erase(id);
            }
        }
    }

    static SharedPtr share(Payload& payload) {
        auto shared = std::make_shared<Shared>();
        shared->channel = payload.channel;
        shared->stampNs = payload.stampNs;
        shared->body = std::make_shared<Message>(Message::con_msg_man_ptr(),
                                                 websocketpp::frame::opcode::binary, 0);
        shared->body->get_raw_payload().swap(payload.bytes);
        shared->body->set_prepared(true);
        return shared;
    }

    // One binary frame: this client's WebSocket frame header and message data header, then the
    // shared bytes. Both parts join the connection's queue in this turn of the server thread, the
    // only one that sends, so nothing comes between them.
    void send(const Connection& c, uint32_t subscription, const Shared& message) {
        uint8_t header[kMessageDataHeaderBytes];
        messageDataHeader(subscription, message.stampNs, header);
        const uint64_t length = sizeof header + message.body->get_payload().size();
        std::string lead = websocketpp::frame::prepare_header(
            websocketpp::frame::basic_header(websocketpp::frame::opcode::binary, length, true,
                                             false),
            websocketpp::frame::extended_header(length));
        lead.append(reinterpret_cast<const char*>(header), sizeof header);
        Endpoint::message_ptr m = c->get_message(websocketpp::frame::opcode::binary, 0);
        m->set_header(lead);
        m->set_prepared(true);
        if (!c->send(m) && !c->send(message.body)) {
            ++sent;
        }
    }

    void deliver(const SharedPtr& payload) {
        for (auto& [h, client] : clients) {
            if (!client.open || client.closing) {
                continue;
            }
            Connection c;
            for (const auto& [id, channel] : client.subscriptions) {
                if (channel != payload->channel) {
                    continue;
                }
                if (!c && !(c = connection(h))) {
                    break;
                }
                if (c->get_buffered_amount() < kHighWaterBytes && client.waiting.count(id) == 0) {
                    send(c, id, *payload);
                } else {
                    SharedPtr& slot = client.waiting[id];
                    if (slot) {
                        ++client.skipped;
                        ++skipped;
                    }
                    slot = payload;
                }
            }
        }
    }

    void flush() {
        const Clock::time_point now = Clock::now();
        const bool report = now - lastStatus >= kStatusPeriod;
        if (report) {
            lastStatus = now;
        }
        // Terminating runs the close handler, which forgets the client: not inside the loop.
        std::vector<Connection> stalled;
        for (auto& [h, client] : clients) {
            Connection c;
            if (!client.open || client.closing || !(c = connection(h))) {
                continue;
            }
            const size_t buffered = c->get_buffered_amount();
            if (buffered < client.lastBuffered || buffered < kHighWaterBytes) {
                client.lastProgress = now;
            }
            client.lastBuffered = buffered;
            if (now - client.lastProgress > std::chrono::milliseconds(settings.stallTimeoutMs)) {
                client.closing = true;
                ++dropped;
                stalled.push_back(c);
                continue;
            }
            for (auto w = client.waiting.begin();
                 w != client.waiting.end() && c->get_buffered_amount() < kHighWaterBytes;) {
                send(c, w->first, *w->second);
                w = client.waiting.erase(w);
            }
            if (report && client.skipped != client.skippedReported &&
                c->get_buffered_amount() < kHighWaterBytes) {
                client.skippedReported = client.skipped;
                c->send(statusMessage(client.skipped == 0 ? kStatusInfo : kStatusWarning,
                                      "skipped " + std::to_string(client.skipped) +
                                          " messages for this client",
                                      "tarn.skipped"),
                        websocketpp::frame::opcode::text);
            }
        }
        for (const Connection& c : stalled) {
            // A reset, not a close: what it never read would hold the closing socket forever.
            asio::error_code ignored;
            c->get_raw_socket().set_option(asio::socket_base::linger(true, 0), ignored);
            c->get_raw_socket().close(ignored);
            c->terminate(websocketpp::lib::error_code());
        }
        armFlush();
    }

    void armFlush() {
        flushTimer->expires_after(kFlushPeriod);
        flushTimer->async_wait([this](const asio::error_code& ec) {
            if (!ec) {
                flush();
            }
        });
    }

    void onHttp(Handle h) {
        Connection c = connection(h);
        if (!c) {
            return;
        }
        ++httpRequests;
        if (!hostOk(c)) {
            c->set_status(websocketpp::http::status_code::forbidden);
            c->set_body("forbidden host\n");
            return;
        }
        const std::string& method = c->get_request().get_method();
        if (method != "GET" && method != "HEAD") {
            c->set_status(websocketpp::http::status_code::method_not_allowed);
            return;
        }
        std::string path = c->get_resource();
        path = path.substr(0, path.find('?'));
        if (path == "/") {
            path = "/index.html";
        }
        for (const PageFile& f : files) {
            if (f.path == path) {
                c->set_status(websocketpp::http::status_code::ok);
                c->replace_header("Content-Type", f.contentType);
                c->replace_header("Cache-Control", "no-cache");
                c->replace_header("X-Content-Type-Options", "nosniff");
                c->set_body(f.body);
                return;
            }
        }
        c->set_status(websocketpp::http::status_code::not_found);
        c->set_body("not found\n");
    }
};

Server::Server(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

int Server::open(const ServerSettings& settings, std::unique_ptr<Server>& out) {
    try {
        auto impl = std::make_unique<Impl>(settings);
        Impl& s = *impl;
        s.files = loadPageFiles(settings.threeDirectory);
        Endpoint& e = s.endpoint;
        e.clear_access_channels(websocketpp::log::alevel::all);
        e.clear_error_channels(websocketpp::log::elevel::all);
        e.init_asio();
        e.set_reuse_addr(true);
        e.set_max_message_size(settings.maxMessageBytes);
        e.set_max_http_body_size(settings.maxMessageBytes);
        e.set_open_handshake_timeout(kHandshakeTimeoutMs);
        e.set_close_handshake_timeout(kCloseTimeoutMs);
        e.set_validate_handler([&s](Handle h) { return s.validate(h); });
        e.set_open_handler([&s](Handle h) { s.onOpen(h); });
        e.set_close_handler([&s](Handle h) { s.forget(h); });
        e.set_fail_handler([&s](Handle h) { s.forget(h); });
        e.set_message_handler(
            [&s](Handle h, Endpoint::message_ptr m) { s.onMessage(h, std::move(m)); });
        e.set_http_handler([&s](Handle h) { s.onHttp(h); });

        asio::error_code aec;
        const asio::ip::address_v4 address = asio::ip::make_address_v4(settings.listenAddress, aec);
        if (aec) {
            return TARN_VIEW_ERR_CONFIG;
        }
        websocketpp::lib::error_code ec;
        e.listen(asio::ip::tcp::endpoint(address, static_cast<uint16_t>(settings.port)), ec);
        if (ec) {
            return TARN_VIEW_ERR_LISTEN;
        }
        s.port = e.get_local_endpoint(aec).port();
        e.start_accept(ec);
        if (ec || aec) {
            return TARN_VIEW_ERR_SERVER;
        }
        s.sessionId = std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
        s.serverInfo = serverInfoMessage("tarn view", s.sessionId);
        s.advertise = advertiseMessage(settings.channels);
        s.flushTimer = std::make_unique<asio::steady_timer>(e.get_io_service());
        s.armFlush();
        s.thread = std::thread([&e] {
            try {
                e.run();
            } catch (...) {
                // The handlers catch nothing themselves; a throw ends serving.
            }
        });
        out.reset(new Server(std::move(impl)));
        return TARN_OK;
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    } catch (...) {
        return TARN_VIEW_ERR_SERVER;
    }
}

Server::~Server() {
    Impl& s = *impl_;
    asio::post(s.endpoint.get_io_service(), [&s] {
        websocketpp::lib::error_code ec;
        s.endpoint.stop_listening(ec);
        s.flushTimer->cancel();
        std::vector<Connection> open;
        for (auto& entry : s.clients) {
            if (Connection c = s.connection(entry.first)) {
                open.push_back(c);
            }
        }
        for (const Connection& c : open) {
            c->terminate(websocketpp::lib::error_code());
        }
        s.endpoint.stop();
    });
    if (s.thread.joinable()) {
        s.thread.join();
    }
}

int Server::port() const {
    return impl_->port;
}

bool Server::wanted(uint32_t channel) const {
    return channel < impl_->subscribers.size() && impl_->subscribers[channel].load() > 0;
}

void Server::publish(std::shared_ptr<Payload> payload) {
    ++impl_->serialised;
    Impl& s = *impl_;
    asio::post(s.endpoint.get_io_service(),
               [&s, p = std::move(payload)] { s.deliver(Impl::share(*p)); });
}

void Server::broadcastStatus(int level, const std::string& text, const std::string& id) {
    Impl& s = *impl_;
    asio::post(s.endpoint.get_io_service(), [&s, m = statusMessage(level, text, id)] {
        for (auto& [h, client] : s.clients) {
            Connection c;
            if (client.open && !client.closing && (c = s.connection(h)) &&
                c->get_buffered_amount() < kHighWaterBytes) {
                c->send(m, websocketpp::frame::opcode::text);
            }
        }
    });
}

tarn_view_stats Server::stats() const {
    const Impl& s = *impl_;
    tarn_view_stats out{};
    out.clients_accepted = s.accepted;
    out.clients_refused = s.refused;
    out.clients_closed_bad = s.closedBad;
    out.clients_dropped_stalled = s.dropped;
    out.messages_serialised = s.serialised;
    out.messages_sent = s.sent;
    out.messages_skipped = s.skipped;
    out.http_requests = s.httpRequests;
    return out;
}

}  // namespace tarn::view
