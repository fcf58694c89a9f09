// Grids, frame info, counters and IMU samples as Python objects.
#ifndef TARN_PYTHON_GRID_H
#define TARN_PYTHON_GRID_H

#include <pybind11/numpy.h>

#include <memory>

#include "bindings.h"
#include "tarn/tarn.h"

namespace tarn::python {

// The cells of a grid array: a C-contiguous, aligned NumPy array of shape (150, 360) whose dtype
// is the point dtype. Anything else is refused (TypeError for another type or dtype, ValueError
// for another shape, layout, or a read-only array when writable is asked), never copied.
tarn_point* gridOf(const py::object& array, bool writable);

// A new, uninitialised grid array.
py::array newGrid();
// A grid array that takes over cells (TARN_CELLS of them) without copying.
py::array adoptGrid(std::unique_ptr<tarn_point[]> cells);

py::dict infoDict(const tarn_frame_info& info);
py::dict statsDict(const tarn_stream_stats& stats);
// (timestamp, sample_flag, header, reserved, sample), the bytes as bytes.
py::tuple imuTuple(const tarn_imu_sample& sample);

}  // namespace tarn::python

#endif  // TARN_PYTHON_GRID_H
