// WebSocket clients of tarn view in a process of their own, for the viewer benchmark
// (bench/view_bench.cpp), so that their work never counts as the server's.
//
// Usage: tarn_view_clients PORT N. Connects N Foxglove-protocol clients to ws://127.0.0.1:PORT/,
// each subscribing to /tarn/points, /tarn/depth and /tarn/intensity with the subscription ids 1,
// 2 and 3 (as the viewer page and Foxglove number theirs, from the start, per connection), and
// prints "ready" once every one has subscribed. At "quit" on its standard input (or its end) it
// closes them and prints, for every message received, "got CLIENT SUBSCRIPTION STAMP NS" (STAMP
// the message's receive time as sent, NS this machine's monotonic clock at its arrival), then
// "end".
#include <time.h>

#define ASIO_STANDALONE
#define _WEBSOCKETPP_CPP11_STL_
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace {

using Endpoint = websocketpp::client<websocketpp::config::asio_client>;
using Handle = websocketpp::connection_hdl;

constexpr const char* kSubprotocol = "foxglove.websocket.v1";
constexpr const char* kTopics[] = {"/tarn/points", "/tarn/depth", "/tarn/intensity"};
constexpr size_t kMessageDataHeaderBytes = 13;
constexpr size_t kLineBytes = 64;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Arrival {
    int client;
    uint32_t subscription;
    uint64_t stamp;
    int64_t ns;
};

// Everything here runs on the endpoint's one thread, but for what main reads once it has joined.
struct Clients {
    Endpoint endpoint;
    std::map<Handle, int, std::owner_less<Handle>> numbers;
    std::vector<Handle> handles;
    std::vector<Arrival> arrivals;
    int subscribed = 0;
    int count = 0;

    void onMessage(Handle h, const Endpoint::message_ptr& m) {
        const int client = numbers[h];
        const std::string& p = m->get_payload();
        if (m->get_opcode() == websocketpp::frame::opcode::binary) {
            const int64_t now = monotonicNs();
            if (p.size() >= kMessageDataHeaderBytes && p[0] == 1) {
                uint32_t subscription = 0;
                uint64_t stamp = 0;
                std::memcpy(&subscription, p.data() + 1, sizeof subscription);
                std::memcpy(&stamp, p.data() + 5, sizeof stamp);
                arrivals.push_back({client, subscription, stamp, now});
            }
            return;
        }
        const nlohmann::json j = nlohmann::json::parse(p, nullptr, false);
        if (j.is_discarded() || j.value("op", "") != "advertise") {
            return;
        }
        nlohmann::json subscriptions = nlohmann::json::array();
        for (const auto& channel : j["channels"]) {
            for (uint32_t i = 0; i < 3; ++i) {
                if (channel["topic"] == kTopics[i]) {
                    subscriptions.push_back({{"id", i + 1}, {"channelId", channel["id"]}});
                }
            }
        }
        websocketpp::lib::error_code ec;
        endpoint.send(h,
                      nlohmann::json{{"op", "subscribe"}, {"subscriptions", subscriptions}}.dump(),
                      websocketpp::frame::opcode::text, ec);
        if (++subscribed == count) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tarn_view_clients PORT N\n");
        return 2;
    }
    Clients c;
    c.count = std::atoi(argv[2]);
    const std::string uri = std::string("ws://127.0.0.1:") + argv[1] + "/";
    c.endpoint.clear_access_channels(websocketpp::log::alevel::all);
    c.endpoint.clear_error_channels(websocketpp::log::elevel::all);
    c.endpoint.init_asio();
    c.endpoint.set_max_message_size(64u << 20);
    c.endpoint.set_message_handler(
        [&c](Handle h, const Endpoint::message_ptr& m) { c.onMessage(h, m); });
    c.endpoint.set_fail_handler([](Handle) {
        std::fprintf(stderr, "tarn_view_clients: a connection failed\n");
        std::exit(1);
    });
    for (int i = 0; i < c.count; ++i) {
        websocketpp::lib::error_code ec;
        Endpoint::connection_ptr con = c.endpoint.get_connection(uri, ec);
        if (ec) {
            std::fprintf(stderr, "tarn_view_clients: %s\n", ec.message().c_str());
            return 1;
        }
        con->add_subprotocol(kSubprotocol);
        c.numbers[con->get_handle()] = i;
        c.handles.push_back(con->get_handle());
        c.endpoint.connect(con);
    }
    std::thread thread([&c] { c.endpoint.run(); });
    char line[kLineBytes];
    while (std::fgets(line, sizeof line, stdin) != nullptr && std::strncmp(line, "quit", 4) != 0) {
    }
    asio::post(c.endpoint.get_io_service(), [&c] {
        for (const Handle& h : c.handles) {
            websocketpp::lib::error_code ec;
            c.endpoint.close(h, websocketpp::close::status::going_away, "", ec);
        }
    });
    thread.join();
    for (const Arrival& a : c.arrivals) {
        std::printf("got %d %u %llu %lld\n", a.client, a.subscription,
                    static_cast<unsigned long long>(a.stamp), static_cast<long long>(a.ns));
    }
    std::printf("end\n");
    return 0;
}
