// Publication of decoded grids for polling, and the registration of the application callbacks.
#ifndef TARN_STREAM_PUBLICATION_H
#define TARN_STREAM_PUBLICATION_H

#include "KESOApi.h"

namespace tarn::stream {

// Copies grid into realTimeData_; while connected also marks a grid as published. A null grid is
// ignored.
void publishFrame(KESOPointData (*grid)[KESO_COLUMNS]);

// Copies the published grid into grid: 0, or -1992 when nothing was published during the current
// connection (grid untouched) or when grid is null.
int copyPublishedFrame(KESOPointData (*grid)[KESO_COLUMNS]);

// Store the callback unless connected (-1995); a null callback keeps the registered one.
int registerFrameCallback(KESOFrameCallback callback);
int registerImuCallback(KESOImuCallback callback);

}  // namespace tarn::stream

#endif  // TARN_STREAM_PUBLICATION_H
