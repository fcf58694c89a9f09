#include "stream/decoder.h"

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <system_error>
#include <thread>

#include "stream/assembler.h"
#include "stream/datagram_format.h"
#include "stream/pause.h"
#include "stream/stream_state.h"

namespace tarn::stream {

namespace {

constexpr std::size_t kGridCells = static_cast<std::size_t>(KESO_ROWS) * KESO_COLUMNS;
constexpr float kRawCoordinateDivisor = 10.0f;
constexpr float kRawCoordinateFactor = 2.0f;

float decodeCoordinate(const uint8_t* bytes) {
    return static_cast<float>(readI16Le(bytes)) / kRawCoordinateDivisor * kRawCoordinateFactor;
}

void readPixel(const uint8_t* pixel, int pixelBytes, KESOPointData& point) {
    switch (pixelBytes) {
        case kDistancePixelBytes:
            point.distance = readU16Le(pixel + kDistancePixelDistance);
            point.intensity = pixel[kDistancePixelIntensity];
            break;
        case kXyzPixelBytes:
            point.x = decodeCoordinate(pixel + kXyzPixelX);
            point.y = decodeCoordinate(pixel + kXyzPixelY);
            point.z = decodeCoordinate(pixel + kXyzPixelZ);
            point.intensity = pixel[kXyzPixelIntensity];
            break;
        case kDistanceXyzPixelBytes:
            point.distance = readU16Le(pixel + kDistanceXyzPixelDistance);
            point.x = decodeCoordinate(pixel + kDistanceXyzPixelX);
            point.y = decodeCoordinate(pixel + kDistanceXyzPixelY);
            point.z = decodeCoordinate(pixel + kDistanceXyzPixelZ);
            point.intensity = pixel[kDistanceXyzPixelIntensity];
            break;
        default:
            break;
    }
}

// Row and column of point `index` of a datagram whose strip starts at (firstRow, firstColumn).
struct Cell {
    std::size_t row;
    std::size_t column;
    bool insideGrid() const { return row < KESO_ROWS && column < KESO_COLUMNS; }
    std::size_t flatIndex() const { return row * KESO_COLUMNS + column; }
};

Cell cellOfPoint(const PointHeader& header, std::size_t index) {
    return Cell{header.firstRow + index / kStripColumns,
                header.firstColumn + index % kStripColumns};
}

const uint8_t* bytesOf(const std::string& datagram) {
    return reinterpret_cast<const uint8_t*>(datagram.data());
}

// Calls visit(header, cell, pointIndex) for each point of a datagram that lies inside the grid.
template <typename Visit>
void forEachCell(const std::string& datagram, int pixelBytes, Visit visit) {
    const std::size_t points = pixelCount(datagram.size(), pixelBytes);
    if (points == 0) {
        return;
    }
    const PointHeader header = readPointHeader(bytesOf(datagram));
    for (std::size_t i = 0; i < points; ++i) {
        const Cell cell = cellOfPoint(header, i);
        if (cell.insideGrid()) {
            visit(header, cell, i);
        }
    }
}

void runHalvesInParallel(FrameIterator begin, FrameIterator middle, FrameIterator end,
                         int pixelBytes, Grid grid) {
    std::thread worker0;
    std::thread worker1;
    try {
        worker0 = std::thread(decodeHalf, begin, middle, pixelBytes, grid);
        worker1 = std::thread(decodeHalf, middle, end, pixelBytes, grid);
    } catch (const std::system_error&) {
        // Without a thread the decoder does the work itself; the halves share no cell.
        if (!worker0.joinable()) {
            decodeHalf(begin, middle, pixelBytes, grid);
        }
        decodeHalf(middle, end, pixelBytes, grid);
    }
    if (worker0.joinable()) {
        worker0.join();
    }
    if (worker1.joinable()) {
        worker1.join();
    }
}

}  // namespace

bool decodeDatagram(const std::string& datagram, int pixelBytes, Grid grid) {
    if (datagram.size() < kCommonHeaderBytes) {
        return true;
    }
    if (bytesOf(datagram)[kDataTypeOffset] != kPointDataType) {
        std::puts("head->dataType != 0x01");
        std::fflush(stdout);
        return false;
    }
    const uint8_t* pixels = bytesOf(datagram) + kPointHeaderBytes;
    forEachCell(
        datagram, pixelBytes, [&](const PointHeader& header, const Cell& cell, std::size_t index) {
            KESOPointData point{};
            point.row = static_cast<uint16_t>(cell.row);
            point.column = static_cast<uint16_t>(cell.column);
            point.timestamp = header.timestamp;
            point.tag = header.tag;
            readPixel(pixels + index * static_cast<std::size_t>(pixelBytes), pixelBytes, point);
            grid[cell.row][cell.column] = point;
        });
    return true;
}

void decodeHalf(FrameIterator begin, FrameIterator end, int pixelBytes, Grid grid) {
    for (FrameIterator it = begin; it != end; ++it) {
        if (!decodeDatagram(*it, pixelBytes, grid)) {
            return;
        }
    }
}

bool halvesShareCells(FrameIterator begin, FrameIterator middle, FrameIterator end,
                      int pixelBytes) {
    std::bitset<kGridCells> firstHalfCells;
    for (FrameIterator it = begin; it != middle; ++it) {
        forEachCell(*it, pixelBytes, [&](const PointHeader&, const Cell& cell, std::size_t) {
            firstHalfCells.set(cell.flatIndex());
        });
    }
    if (firstHalfCells.none()) {
        return false;
    }
    bool shared = false;
    for (FrameIterator it = middle; it != end && !shared; ++it) {
        forEachCell(*it, pixelBytes, [&](const PointHeader&, const Cell& cell, std::size_t) {
            shared = shared || firstHalfCells.test(cell.flatIndex());
        });
    }
    return shared;
}

void decodeFrame(const std::list<std::string>& frame, Grid grid) {
    // One pixel size for the whole frame, so that the overlap check and both workers agree on
    // which cells each datagram addresses.
    const int pixelBytes = m_one_pixel_len.load(std::memory_order_relaxed);
    if (pixelBytes == 0) {
        return;
    }
    const FrameIterator middle = std::next(frame.begin(), static_cast<long>(frame.size() / 2));
    if (halvesShareCells(frame.begin(), middle, frame.end(), pixelBytes)) {
        decodeHalf(frame.begin(), middle, pixelBytes, grid);
        decodeHalf(middle, frame.end(), pixelBytes, grid);
        return;
    }
    runHalvesInParallel(frame.begin(), middle, frame.end(), pixelBytes, grid);
}

}  // namespace tarn::stream

void threadGetPointCloud() {
    while (linkDeviceFlag.load()) {
        const std::list<std::string> frame = FrontPackgedData();
        if (frame.empty()) {
            tarn::stream::pauseMicroseconds(tarn::stream::kDecoderIdleMicroseconds);
            continue;
        }
        tarn::stream::decodeFrame(frame, frame_);
        KESOSetFrame(frame_);
        if (KESOFrameCallback callback = frameUpdateFunc.load()) {
            callback(frame_);
        }
    }
}
