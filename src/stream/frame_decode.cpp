#include "stream/frame_decode.h"

#include <cstdint>

#include "api/log.h"
#include "format/datagram_format.h"
#include "stream/frame_strips.h"

namespace tarn::stream {

namespace {

bool isPointDatagram(const uint8_t* datagram, std::size_t length) {
    return length >= kCommonHeaderBytes && datagram[kDataTypeOffset] == kPointDataType;
}

}  // namespace

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

void describeFrame(const QueuedFrame& frame, uint32_t cellsWritten, tarn_frame_info& info) {
    info.cells_written = cellsWritten;
    info.datagrams = static_cast<uint32_t>(frame.count());
    info.complete = info.cells_written == TARN_CELLS ? 1 : 0;
    info.merged = frame.merged ? 1 : 0;
    info.redelivered = frame.redelivered ? 1 : 0;
    info.receive_monotonic_ns = frame.lastReceived.monotonicNs;
    info.receive_realtime_ns = frame.lastReceived.realtimeNs;
}

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
    FrameStrips::Strip strip;
    if (FrameStrips::stripOf(readPointHeader(datagram), datagram, length, strip)) {
        FrameStrips::writeStrip(strip, grid);
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
    // In arrival order: where datagrams address the same cell, the later one wins. The frame is
    // taken in two halves, the first n / 2 datagrams and the rest; a datagram that is not a point
    // datagram ends its half. The datagrams taken are written once all are known (see
    // FrameStrips), which keeps that order.
    const std::size_t datagrams = frame.count();
    FrameStrips strips(datagrams);
    const std::size_t middle = datagrams / 2;
    std::size_t index = 0;
    bool halfEnded = false;
    bool first = true;
    tarn_frame_info info{};
    frame.forEach([&](const uint8_t* datagram, std::size_t length) {
        if (index++ == middle) {
            halfEnded = false;
        }
        if (halfEnded || length < kCommonHeaderBytes) {
            return true;
        }
        if (!isPointDatagram(datagram, length)) {
            log::line(logStream, log::Destination::kStandardOutput, "head->dataType != 0x01");
            halfEnded = true;
            return true;
        }
        if (length < kPointHeaderBytes) {
            return true;
        }
        strips.add(readPointHeader(datagram), datagram, length);
        describeDatagram(datagram, length, first, info);
        first = false;
        return true;
    });
    describeFrame(frame, strips.write(grid), info);
    return info;
}

}  // namespace tarn::stream
