#include "stream/decoder.h"

#include <cstdint>
#include <iterator>
#include <system_error>
#include <thread>

#include "api/log.h"
#include "stream/cell_coverage.h"
#include "stream/datagram_format.h"
#include "stream/engine.h"

namespace tarn::stream {

namespace {

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

const uint8_t* bytesOf(const std::string& datagram) {
    return reinterpret_cast<const uint8_t*>(datagram.data());
}

bool isPointDatagram(const std::string& datagram) {
    return datagram.size() >= kCommonHeaderBytes &&
           bytesOf(datagram)[kDataTypeOffset] == kPointDataType;
}

// Adds the cells of [begin, end) up to the first datagram that is not a point datagram, as
// decodeHalf writes them.
void coverHalf(FrameIterator begin, FrameIterator end, CellCoverage& coverage) {
    for (FrameIterator it = begin; it != end && isPointDatagram(*it); ++it) {
        coverage.add(*it);
    }
}

void runHalvesInParallel(FrameIterator begin, FrameIterator middle, FrameIterator end, Grid grid,
                         tarn_stream* logStream) {
    std::thread worker0;
    std::thread worker1;
    try {
        worker0 = std::thread(decodeHalf, begin, middle, grid, logStream);
        worker1 = std::thread(decodeHalf, middle, end, grid, logStream);
    } catch (const std::system_error&) {
        // Without a thread the decoder does the work itself; the halves share no cell.
        if (!worker0.joinable()) {
            decodeHalf(begin, middle, grid, logStream);
        }
        decodeHalf(middle, end, grid, logStream);
    }
    if (worker0.joinable()) {
        worker0.join();
    }
    if (worker1.joinable()) {
        worker1.join();
    }
}

// Pixel type, timestamps and count of the frame's point datagrams with a known pixel type.
void describeDatagrams(const std::list<std::string>& datagrams, tarn_frame_info& info) {
    bool first = true;
    for (const std::string& datagram : datagrams) {
        if (!isPointDatagram(datagram) || datagram.size() < kPointHeaderBytes) {
            continue;
        }
        const PointHeader header = readPointHeader(bytesOf(datagram));
        if (first) {
            info.first_timestamp = header.timestamp;
        } else if (header.pixelType != info.pixel_type) {
            info.mixed_pixel_types = 1;
        }
        info.pixel_type = header.pixelType;
        info.last_timestamp = header.timestamp;
        first = false;
    }
}

}  // namespace

bool decodeDatagram(const std::string& datagram, Grid grid, tarn_stream* logStream) {
    if (datagram.size() < kCommonHeaderBytes) {
        return true;
    }
    if (!isPointDatagram(datagram)) {
        log::line(logStream, log::Destination::kStandardOutput, "head->dataType != 0x01");
        return false;
    }
    if (datagram.size() < kPointHeaderBytes) {
        return true;
    }
    const PointHeader header = readPointHeader(bytesOf(datagram));
    const int pixelBytes = pixelBytesOfType(header.pixelType);
    const std::size_t points = pixelCount(datagram.size(), pixelBytes);
    const uint8_t* pixels = bytesOf(datagram) + kPointHeaderBytes;
    for (std::size_t i = 0; i < points; ++i) {
        const std::size_t row = header.firstRow + i / kStripColumns;
        const std::size_t column = header.firstColumn + i % kStripColumns;
        if (row >= KESO_ROWS || column >= KESO_COLUMNS) {
            continue;
        }
        KESOPointData point{};
        point.row = static_cast<uint16_t>(row);
        point.column = static_cast<uint16_t>(column);
        point.timestamp = header.timestamp;
        point.tag = header.tag;
        readPixel(pixels + i * static_cast<std::size_t>(pixelBytes), pixelBytes, point);
        grid[row][column] = point;
    }
    return true;
}

void decodeHalf(FrameIterator begin, FrameIterator end, Grid grid, tarn_stream* logStream) {
    for (FrameIterator it = begin; it != end; ++it) {
        if (!decodeDatagram(*it, grid, logStream)) {
            return;
        }
    }
}

bool halvesShareCells(FrameIterator begin, FrameIterator middle, FrameIterator end) {
    CellCoverage firstHalf;
    coverHalf(begin, middle, firstHalf);
    if (firstHalf.empty()) {
        return false;
    }
    for (FrameIterator it = middle; it != end && isPointDatagram(*it); ++it) {
        if (firstHalf.overlaps(*it)) {
            return true;
        }
    }
    return false;
}

tarn_frame_info decodeFrame(const QueuedFrame& frame, Grid grid, tarn_stream* logStream) {
    const std::list<std::string>& datagrams = frame.datagrams;
    const FrameIterator middle =
        std::next(datagrams.begin(), static_cast<long>(datagrams.size() / 2));

    CellCoverage coverage;
    coverHalf(datagrams.begin(), middle, coverage);
    const CellCoverage firstHalf = coverage;
    bool shared = false;
    for (FrameIterator it = middle; it != datagrams.end() && isPointDatagram(*it); ++it) {
        shared = shared || firstHalf.overlaps(*it);
        coverage.add(*it);
    }
    if (shared) {
        decodeHalf(datagrams.begin(), middle, grid, logStream);
        decodeHalf(middle, datagrams.end(), grid, logStream);
    } else {
        runHalvesInParallel(datagrams.begin(), middle, datagrams.end(), grid, logStream);
    }

    tarn_frame_info info{};
    info.datagrams = static_cast<uint32_t>(datagrams.size());
    info.cells_written = coverage.count();
    info.complete = info.cells_written == TARN_CELLS ? 1 : 0;
    info.merged = frame.merged ? 1 : 0;
    info.receive_monotonic_ns = frame.lastReceived.monotonicNs;
    info.receive_realtime_ns = frame.lastReceived.realtimeNs;
    describeDatagrams(datagrams, info);
    return info;
}

void decodeFrame(const std::list<std::string>& frame, Grid grid) {
    QueuedFrame queued;
    queued.datagrams = frame;
    decodeFrame(queued, grid, defaultStream().handle());
}

}  // namespace tarn::stream

void threadGetPointCloud() {
    tarn::stream::defaultStream().runDecoder();
}
