#include "stream/decoder.h"

#include <cstdint>
#include <iterator>

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

// The pixel layouts, one type each, so that the per-point loop has no branch on the layout.
struct DistancePixel {
    static constexpr std::size_t kBytes = kDistancePixelBytes;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistancePixelDistance);
        point.intensity = pixel[kDistancePixelIntensity];
    }
};

struct XyzPixel {
    static constexpr std::size_t kBytes = kXyzPixelBytes;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.x = decodeCoordinate(pixel + kXyzPixelX);
        point.y = decodeCoordinate(pixel + kXyzPixelY);
        point.z = decodeCoordinate(pixel + kXyzPixelZ);
        point.intensity = pixel[kXyzPixelIntensity];
    }
};

struct DistanceXyzPixel {
    static constexpr std::size_t kBytes = kDistanceXyzPixelBytes;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistanceXyzPixelDistance);
        point.x = decodeCoordinate(pixel + kDistanceXyzPixelX);
        point.y = decodeCoordinate(pixel + kDistanceXyzPixelY);
        point.z = decodeCoordinate(pixel + kDistanceXyzPixelZ);
        point.intensity = pixel[kDistanceXyzPixelIntensity];
    }
};

// Writes the datagram's points strip row by strip row; the grid's edges are checked once per row.
template <typename Pixel>
void decodePoints(const PointHeader& header, const uint8_t* pixels, std::size_t points,
                  Grid grid) {
    const std::size_t firstColumn = header.firstColumn;
    if (firstColumn >= KESO_COLUMNS) {
        return;
    }
    const std::size_t columnsInGrid = KESO_COLUMNS - firstColumn;
    for (std::size_t first = 0; first < points; first += kStripColumns) {
        const std::size_t row = header.firstRow + first / kStripColumns;
        if (row >= KESO_ROWS) {
            return;
        }
        const std::size_t inRow = points - first < std::size_t{kStripColumns}
                                      ? points - first
                                      : std::size_t{kStripColumns};
        const std::size_t columns = inRow < columnsInGrid ? inRow : columnsInGrid;
        KESOPointData* cell = &grid[row][firstColumn];
        const uint8_t* pixel = pixels + first * Pixel::kBytes;
        for (std::size_t c = 0; c < columns; ++c, ++cell, pixel += Pixel::kBytes) {
            KESOPointData point{};
            point.row = static_cast<uint16_t>(row);
            point.column = static_cast<uint16_t>(firstColumn + c);
            point.timestamp = header.timestamp;
            point.tag = header.tag;
            Pixel::read(pixel, point);
            *cell = point;
        }
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
    const std::size_t points = pixelCount(datagram.size(), pixelBytesOfType(header.pixelType));
    const uint8_t* pixels = bytesOf(datagram) + kPointHeaderBytes;
    switch (header.pixelType) {
        case kDistancePixelType:
            decodePoints<DistancePixel>(header, pixels, points, grid);
            break;
        case kXyzPixelType:
            decodePoints<XyzPixel>(header, pixels, points, grid);
            break;
        case kDistanceXyzPixelType:
            decodePoints<DistanceXyzPixel>(header, pixels, points, grid);
            break;
        default:
            break;
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

tarn_frame_info decodeFrame(const QueuedFrame& frame, Grid grid, tarn_stream* logStream) {
    const std::list<std::string>& datagrams = frame.datagrams;
    const FrameIterator middle =
        std::next(datagrams.begin(), static_cast<long>(datagrams.size() / 2));

    // One thread, in arrival order: where datagrams address the same cell, the later one wins.
    // A datagram that is not a point datagram ends its half, as it always has.
    decodeHalf(datagrams.begin(), middle, grid, logStream);
    decodeHalf(middle, datagrams.end(), grid, logStream);

    CellCoverage coverage;
    coverHalf(datagrams.begin(), middle, coverage);
    coverHalf(middle, datagrams.end(), coverage);
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
