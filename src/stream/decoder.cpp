#include "stream/decoder.h"

#include <cstdint>

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
// Each read sets every measured field of the point, zero where the layout has no value.
struct DistancePixel {
    static constexpr std::size_t kBytes = kDistancePixelBytes;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = readU16Le(pixel + kDistancePixelDistance);
        point.intensity = pixel[kDistancePixelIntensity];
        point.x = 0.0f;
        point.y = 0.0f;
        point.z = 0.0f;
    }
};

struct XyzPixel {
    static constexpr std::size_t kBytes = kXyzPixelBytes;
    static void read(const uint8_t* pixel, KESOPointData& point) {
        point.distance = 0.0f;
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
        // Every field of the record is written in place: a record assembled elsewhere and copied
        // in would be read back before its parts reached memory, which stalls the copy.
        for (std::size_t c = 0; c < columns; ++c, ++cell, pixel += Pixel::kBytes) {
            cell->row = static_cast<uint16_t>(row);
            cell->column = static_cast<uint16_t>(firstColumn + c);
            Pixel::read(pixel, *cell);
            cell->timestamp = header.timestamp;
            cell->tag = header.tag;
        }
    }
}

bool isPointDatagram(const uint8_t* datagram, std::size_t length) {
    return length >= kCommonHeaderBytes && datagram[kDataTypeOffset] == kPointDataType;
}

// The frame's pixel type, timestamps and mixing, from a point datagram's header.
void describeDatagram(const uint8_t* datagram, std::size_t length, bool first,
                      tarn_frame_info& info) {
    if (length < kPointHeaderBytes) {
        return;
    }
    const PointHeader header = readPointHeader(datagram);
    if (first) {
        info.first_timestamp = header.timestamp;
    } else if (header.pixelType != info.pixel_type) {
        info.mixed_pixel_types = 1;
    }
    info.pixel_type = header.pixelType;
    info.last_timestamp = header.timestamp;
}

}  // namespace

bool decodeDatagram(const uint8_t* datagram, std::size_t length, Grid grid,
                    tarn_stream* logStream) {
    if (length < kCommonHeaderBytes) {
        return true;
    }
    if (!isPointDatagram(datagram, length)) {
        log::line(logStream, log::Destination::kStandardOutput, "head->dataType != 0x01");
        return false;
    }
    if (length < kPointHeaderBytes) {
        return true;
    }
    const PointHeader header = readPointHeader(datagram);
    const std::size_t points = pixelCount(length, pixelBytesOfType(header.pixelType));
    const uint8_t* pixels = datagram + kPointHeaderBytes;
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

bool decodeDatagram(const std::string& datagram, Grid grid, tarn_stream* logStream) {
    return decodeDatagram(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size(), grid,
                          logStream);
}

void decodeHalf(FrameIterator begin, FrameIterator end, Grid grid, tarn_stream* logStream) {
    for (FrameIterator it = begin; it != end; ++it) {
        if (!decodeDatagram(*it, grid, logStream)) {
            return;
        }
    }
}

tarn_frame_info decodeFrame(const QueuedFrame& frame, Grid grid, tarn_stream* logStream) {
    // One thread, in arrival order: where datagrams address the same cell, the later one wins.
    // The frame is taken in two halves, the first n / 2 datagrams and the rest; a datagram that
    // is not a point datagram ends its half.
    const std::size_t datagrams = frame.count();
    const std::size_t middle = datagrams / 2;
    std::size_t index = 0;
    bool halfEnded = false;
    bool first = true;
    CellCoverage coverage;
    tarn_frame_info info{};
    frame.forEach([&](const uint8_t* datagram, std::size_t length) {
        if (index++ == middle) {
            halfEnded = false;
        }
        if (halfEnded) {
            return true;
        }
        if (!decodeDatagram(datagram, length, grid, logStream)) {
            halfEnded = true;
            return true;
        }
        coverage.add(datagram, length);
        describeDatagram(datagram, length, first, info);
        first = first && length < kPointHeaderBytes;
        return true;
    });
    info.datagrams = static_cast<uint32_t>(datagrams);
    info.cells_written = coverage.count();
    info.complete = info.cells_written == TARN_CELLS ? 1 : 0;
    info.merged = frame.merged ? 1 : 0;
    info.receive_monotonic_ns = frame.lastReceived.monotonicNs;
    info.receive_realtime_ns = frame.lastReceived.realtimeNs;
    return info;
}

void decodeFrame(const std::list<std::string>& frame, Grid grid) {
    RunPool& pool = spareRunPool();
    decodeFrame(queuedFrameOf(frame, pool), grid, defaultStream().handle());
}

}  // namespace tarn::stream

void threadGetPointCloud() {
    tarn::stream::defaultStream().runDecoder();
}
