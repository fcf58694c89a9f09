// tarn_stream_*: handle streams and the reading calls that also serve the default stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <memory>
#include <new>
#include <system_error>

#include "api/stream_registry.h"
#include "stream/engine.h"
#include "stream/workers.h"
#include "tarn/tarn.h"

namespace {

using tarn::stream::Engine;
using tarn::stream::Grid;

constexpr int64_t kDefaultReceiveBufferBytes = 0x4B000000;
constexpr int kHighestPort = 65535;

bool inPortRange(int port, int lowest) {
    return port >= lowest && port <= kHighestPort;
}

bool parseAddress(const char* text, in_addr* address) {
    return text != nullptr && inet_pton(AF_INET, text, address) == 1;
}

// The checked form of a configuration.
struct OpenRequest {
    sockaddr_in local{};
    tarn::stream::SourceFilter filter;
    int receiveBufferBytes = 0;
};

int checkConfig(const tarn_stream_config& config, OpenRequest& request) {
    request.local.sin_family = AF_INET;
    request.local.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool anyLocal = config.local_address == nullptr || config.local_address[0] == '\0';
    if (!anyLocal && !parseAddress(config.local_address, &request.local.sin_addr)) {
        return TARN_ERR_LOCAL_ADDRESS;
    }
    if (!inPortRange(config.local_port, 0)) {
        return TARN_ERR_LOCAL_PORT;
    }
    request.local.sin_port = htons(static_cast<uint16_t>(config.local_port));
    in_addr device{};
    if (!parseAddress(config.device_address, &device)) {
        return TARN_ERR_DEVICE_ADDRESS;
    }
    if (!inPortRange(config.device_port, 1)) {
        return TARN_ERR_DEVICE_PORT;
    }
    if (!inPortRange(config.alternate_port, 0)) {
        return TARN_ERR_ALTERNATE_PORT;
    }
    if (config.receive_buffer_bytes < 0) {
        return TARN_ERR_RECEIVE_BUFFER;
    }
    request.filter.address = device.s_addr;
    request.filter.port = static_cast<uint16_t>(config.device_port);
    request.filter.alternatePort = static_cast<uint16_t>(config.alternate_port);
    request.filter.acceptsNothing = false;
    const int64_t wanted =
        config.receive_buffer_bytes == 0 ? kDefaultReceiveBufferBytes : config.receive_buffer_bytes;
    // The kernel doubles what it is asked for; beyond this the doubling would overflow.
    request.receiveBufferBytes = static_cast<int>(wanted < INT_MAX / 2 ? wanted : INT_MAX / 2);
    return TARN_OK;
}

// Opens, sets up and binds the stream's socket; the stream owns it from then on.
int bindSocket(Engine& stream, const OpenRequest& request, bool wantDestination) {
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socket == -1) {
        return TARN_ERR_SOCKET;
    }
    stream.storage().socket.store(socket);
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &request.receiveBufferBytes,
               sizeof request.receiveBufferBytes);
    const int enable = 1;
    if (wantDestination && setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &enable, sizeof enable) != 0) {
        return TARN_ERR_SOCKET;
    }
    if (bind(socket, reinterpret_cast<const sockaddr*>(&request.local), sizeof request.local) != 0) {
        return TARN_ERR_BIND;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
    stream.receiver().setLocalPort(ntohs(bound.sin_port));
    return TARN_OK;
}

tarn::stream::StreamCallbacks callbacksOf(const tarn_stream_config& config) {
    tarn::stream::StreamCallbacks callbacks;
    callbacks.frame = config.on_frame;
    callbacks.frameUser = config.frame_user;
    callbacks.imu = config.on_imu;
    callbacks.imuUser = config.imu_user;
    callbacks.datagram = config.on_datagram;
    callbacks.datagramUser = config.datagram_user;
    return callbacks;
}

Grid asGrid(tarn_point* grid) {
    return reinterpret_cast<Grid>(grid);
}

}  // namespace

static_assert(sizeof(tarn_point) == sizeof(KESOPointData), "tarn_point is KESOPointData");
static_assert(offsetof(tarn_point, tag) == offsetof(KESOPointData, tag), "same layout");
static_assert(offsetof(tarn_point, x) == offsetof(KESOPointData, x), "same layout");
static_assert(sizeof(tarn_imu_sample) == sizeof(KESOImuData), "tarn_imu_sample is KESOImuData");
static_assert(offsetof(tarn_imu_sample, timestamp) == offsetof(KESOImuData, timestamp),
              "same layout");

void tarn_stream_config_init(tarn_stream_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = tarn_stream_config{};
    config->alternate_port = TARN_DEFAULT_ALTERNATE_PORT;
}

int tarn_stream_open(const tarn_stream_config* config, tarn_stream** out) {
    if (config == nullptr || out == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    OpenRequest request;
    const int checked = checkConfig(*config, request);
    if (checked != TARN_OK) {
        return checked;
    }
    std::shared_ptr<Engine> stream;
    try {
        stream = std::make_shared<Engine>();
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
    tarn_stream* const handle = tarn::api::newHandle();
    stream->setLogStream(handle);
    const int bound = bindSocket(*stream, request, config->on_datagram != nullptr);
    if (bound != TARN_OK) {
        return bound;
    }
    stream->discardLeftovers();
    stream->receiver().setUpSocket(stream->storage().socket.load());
    stream->setCallbacks(callbacksOf(*config));
    try {
        tarn::api::addStream(handle, stream);
    } catch (const std::bad_alloc&) {
        return TARN_ERR_NO_MEMORY;
    }
    try {
        stream->start(stream, request.filter);
    } catch (const std::system_error&) {
        tarn::api::removeStream(handle);
        return TARN_ERR_THREAD;
    }
    *out = handle;
    return TARN_OK;
}

int tarn_stream_close(tarn_stream* stream) {
    if (stream == tarn::stream::defaultStreamHandle()) {
        return TARN_ERR_DEFAULT_STREAM;
    }
    const std::shared_ptr<Engine> removed = tarn::api::removeStream(stream);
    if (removed == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    removed->stop();
    if (!tarn::stream::onWorkerThread()) {
        removed->workers().waitForAll();
    }
    return TARN_OK;
}

tarn_stream* tarn_stream_default(void) {
    return tarn::stream::defaultStreamHandle();
}

int tarn_stream_local_port(tarn_stream* stream, int* port) {
    if (port == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const std::shared_ptr<Engine> found = tarn::api::findStream(stream);
    if (found == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    *port = found->receiver().localPort();
    return TARN_OK;
}

int tarn_stream_get_frame(tarn_stream* stream, tarn_point* grid, tarn_frame_info* info) {
    const std::shared_ptr<Engine> found = tarn::api::findStream(stream);
    if (found == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    return found->publication().copy(asGrid(grid), info) == KESO_OK ? TARN_OK : TARN_ERR_NO_FRAME;
}

int tarn_stream_wait_frame(tarn_stream* stream, int timeout_ms, tarn_point* grid,
                           tarn_frame_info* info) {
    const std::shared_ptr<Engine> found = tarn::api::findStream(stream);
    if (found == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    return found->publication().wait(timeout_ms, asGrid(grid), info);
}

int tarn_stream_get_stats(tarn_stream* stream, tarn_stream_stats* stats) {
    if (stats == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const std::shared_ptr<Engine> found = tarn::api::findStream(stream);
    if (found == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    *stats = found->counters().snapshot();
    return TARN_OK;
}

int tarn_stream_get_rejected_sources(tarn_stream* stream, tarn_rejected_source* sources,
                                     size_t capacity, size_t* count) {
    if (count == nullptr || (sources == nullptr && capacity != 0)) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    const std::shared_ptr<Engine> found = tarn::api::findStream(stream);
    if (found == nullptr) {
        return TARN_ERR_INVALID_HANDLE;
    }
    *count = found->receiver().rejectedSources().copy(sources, capacity);
    return TARN_OK;
}
