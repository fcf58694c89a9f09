// The decoder: writes the points of each assembled frame into a decode grid, then the stream
// publishes the grid and calls the frame callback.
#ifndef TARN_STREAM_DECODER_H
#define TARN_STREAM_DECODER_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "KESOApi.h"
#include "stream/frame_strips.h"
#include "stream/stream_state.h"
#include "tarn/tarn.h"

// The default stream's decoder thread body; returns once linkDeviceFlag is false, after finishing
// the frame in hand (decoded, published and handed to the frame callback).
void threadGetPointCloud();

namespace tarn::stream {

using FrameIterator = std::list<std::string>::const_iterator;

// Writes the points of one point datagram into grid, reading pixels of the size its own header's
// pixel type gives. Points outside the grid and bytes past the datagram's end are never touched;
// a datagram of an unknown pixel type writes nothing. False when the datagram is not a point
// datagram (it then prints a message for logStream and writes nothing).
bool decodeDatagram(const uint8_t* datagram, std::size_t length, Grid grid,
                    tarn_stream* logStream);
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

// The same for a bare list of datagrams.
void decodeFrame(const std::list<std::string>& frame, Grid grid);

}  // namespace tarn::stream

#endif  // TARN_STREAM_DECODER_H
