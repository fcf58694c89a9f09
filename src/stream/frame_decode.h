// Frame decoding: writes the points of point datagrams and assembled frames into a grid and says
// what is known of the frame. Pure functions; the Decoder (decoder.h) runs them on a stream.
#ifndef TARN_STREAM_FRAME_DECODE_H
#define TARN_STREAM_FRAME_DECODE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "KESOApi.h"
#include "stream/frame_strips.h"
#include "stream/queued_frame.h"
#include "tarn/tarn.h"

namespace tarn::stream {

using FrameIterator = std::list<std::string>::const_iterator;

// Writes the points of one point datagram into grid, reading pixels of the size its own header's
// pixel type gives. Points outside the grid and bytes past the datagram's end are never touched;
// a datagram of an unknown pixel type writes nothing. False when the datagram is not a point
// datagram (it then prints a message for logStream and writes nothing).
bool decodeDatagram(const uint8_t* datagram, std::size_t length, Grid grid, tarn_stream* logStream);
bool decodeDatagram(const std::string& datagram, Grid grid, tarn_stream* logStream = nullptr);

// Decodes datagrams [begin, end) in order; stops at the first that is not a point datagram.
void decodeHalf(FrameIterator begin, FrameIterator end, Grid grid,
                tarn_stream* logStream = nullptr);

// Decodes a whole frame into grid in arrival order (the later datagram wins a shared cell): the
// first n / 2 datagrams, then the rest, each half ending at a datagram that is not a point
// datagram. Returns what is known of the frame; its sequence is left 0.
tarn_frame_info decodeFrame(const QueuedFrame& frame, Grid grid, tarn_stream* logStream);

// Notes a point datagram's pixel type and timestamp in info (the first datagram's timestamp when
// first is true; mixed_pixel_types when its pixel type differs from the one before).
void describeDatagram(const uint8_t* datagram, std::size_t length, bool first,
                      tarn_frame_info& info);
// Fills in what the frame itself tells (datagrams, merged, redelivered, arrival) and what its
// cells written make of it (complete).
void describeFrame(const QueuedFrame& frame, uint32_t cellsWritten, tarn_frame_info& info);

}  // namespace tarn::stream

#endif  // TARN_STREAM_FRAME_DECODE_H
