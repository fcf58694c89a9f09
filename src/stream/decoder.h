// The decoder: writes the points of each assembled frame into the decode grid frame_, using two
// decode workers per frame, then publishes the grid and calls the frame callback.
#ifndef TARN_STREAM_DECODER_H
#define TARN_STREAM_DECODER_H

#include <cstddef>
#include <list>
#include <string>

#include "KESOApi.h"

// The decoder's thread body; returns once linkDeviceFlag is false, after finishing the frame in
// hand (decoded, published and handed to the frame callback).
void threadGetPointCloud();

namespace tarn::stream {

using Grid = KESOPointData (*)[KESO_COLUMNS];
using FrameIterator = std::list<std::string>::const_iterator;

// Writes the points of one point datagram into grid, reading pixelBytes-byte pixels. Points
// outside the grid and bytes past the datagram's end are never touched. False when the datagram
// is not a point datagram (it then prints a message and writes nothing).
bool decodeDatagram(const std::string& datagram, int pixelBytes, Grid grid);

// Decodes datagrams [begin, end) in order; stops at the first that is not a point datagram.
void decodeHalf(FrameIterator begin, FrameIterator end, int pixelBytes, Grid grid);

// True when a datagram in [begin, middle) and one in [middle, end) address the same cell.
// Looks at the headers and lengths only.
bool halvesShareCells(FrameIterator begin, FrameIterator middle, FrameIterator end, int pixelBytes);

// Decodes a whole frame into grid: the first n / 2 datagrams and the rest on two workers at once,
// or one half after the other when the halves share cells, so that every record stays whole.
// Decodes nothing while no pixel size has been recorded.
void decodeFrame(const std::list<std::string>& frame, Grid grid);

}  // namespace tarn::stream

#endif  // TARN_STREAM_DECODER_H
