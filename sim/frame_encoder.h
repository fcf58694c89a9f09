// Cuts one frame of the simulated scene into point datagrams: strips four columns wide, each
// strip from row 0 down in as many rows per datagram as fit into one datagram, strip after strip
// from column 0. The first datagram is flagged first, the last one last, all others middle.
#ifndef TARN_SIM_FRAME_ENCODER_H
#define TARN_SIM_FRAME_ENCODER_H

#include <cstdint>
#include <vector>

#include "sim/datagram.h"
#include "sim/scene.h"

namespace tarn::sim {

constexpr int kStripColumns = 4;

struct FrameFormat {
    uint8_t pixelType = kPixelType10Bytes;
    uint8_t tag = 0;
    uint64_t timestamp = 0;  // carried by every datagram of the frame
};

// Rows of one strip that fit into one datagram with the given pixel type (89, 44 or 35).
int rowsPerDatagram(uint8_t pixelType);

// Number of datagrams that encodeFrame makes for one frame with the given pixel type.
int datagramsPerFrame(uint8_t pixelType);

// Frame number frameIndex of scene as datagrams, in sending order. Throws std::invalid_argument
// for an unknown pixel type.
std::vector<Datagram> encodeFrame(const Scene& scene, uint64_t frameIndex,
                                  const FrameFormat& format);

}  // namespace tarn::sim

#endif  // TARN_SIM_FRAME_ENCODER_H
