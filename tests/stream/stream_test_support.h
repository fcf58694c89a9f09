// Helpers shared by the data path's tests: bounded waiting, grids, free ports, datagrams.
#ifndef TARN_TESTS_STREAM_STREAM_TEST_SUPPORT_H
#define TARN_TESTS_STREAM_STREAM_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "sim/datagram.h"

namespace tarn::stream::test {

constexpr auto kWaitLimit = std::chrono::seconds(5);

// Polls done() every millisecond until it holds or the limit passes; returns its last value.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A frame grid on the heap, zeroed.
class GridBuffer {
  public:
    GridBuffer() : cells_(new KESOPointData[KESO_ROWS][KESO_COLUMNS]()) {}
    KESOPointData (*get())[KESO_COLUMNS] { return cells_.get(); }
    KESOPointData& at(int row, int column) { return cells_[row][column]; }
    std::size_t bytes() const { return sizeof(KESOPointData) * KESO_ROWS * KESO_COLUMNS; }

  private:
    std::unique_ptr<KESOPointData[][KESO_COLUMNS]> cells_;
};

// A UDP port that is free on every local address at the moment of the call.
inline uint16_t freeUdpPort() {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// A point datagram whose pixel i is made from value + i in every field.
inline sim::Datagram pointDatagram(uint8_t frameFlag, uint16_t firstRow, uint16_t firstColumn,
                                   int points, int value,
                                   uint8_t pixelType = sim::kPixelType10Bytes,
                                   uint64_t timestamp = 0, uint8_t tag = 0) {
    sim::PointHeader header;
    header.frameFlag = frameFlag;
    header.firstRow = firstRow;
    header.firstColumn = firstColumn;
    header.pixelType = pixelType;
    header.timestamp = timestamp;
    header.tag = tag;
    std::vector<sim::RawPoint> raw;
    for (int i = 0; i < points; ++i) {
        const auto v = static_cast<int16_t>(value + i);
        raw.push_back(sim::RawPoint{v, static_cast<int16_t>(-v), static_cast<int16_t>(2 * v),
                                    static_cast<uint16_t>(v), static_cast<uint8_t>(v)});
    }
    return sim::encodePointDatagram(header, raw);
}

inline sim::Datagram imuDatagram(uint64_t timestamp, uint8_t sampleFlag = 1) {
    sim::ImuFields fields;
    fields.timestamp = timestamp;
    fields.sampleFlag = sampleFlag;
    return sim::encodeImuDatagram(fields);
}

}  // namespace tarn::stream::test

#endif  // TARN_TESTS_STREAM_STREAM_TEST_SUPPORT_H
