#include "grid.h"

#include <cstdint>

namespace tarn::python {
namespace {

constexpr int kGridDimensions = 2;

py::bytes bytesOf(const uint8_t* bytes, std::size_t length) {
    return py::bytes(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace

tarn_point* gridOf(const py::object& object, bool writable) {
    if (!py::array_t<tarn_point>::check_(object)) {
        throw py::type_error(
            "expected a NumPy array of tarn.POINT_DTYPE (for example Frame.points)");
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.ndim() != kGridDimensions || array.shape(0) != TARN_ROWS ||
        array.shape(1) != TARN_COLUMNS) {
        throw py::value_error("expected a grid of shape (150, 360)");
    }
    const int flags = array.flags();
    if ((flags & py::array::c_style) == 0 ||
        (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) == 0) {
        throw py::value_error("expected a C-contiguous, aligned grid (not a slice or a view)");
    }
    if (writable && (flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_) == 0) {
        throw py::value_error("expected a writable grid");
    }
    // The library takes grids by non-const pointer; it only reads the ones passed read-only here.
    return static_cast<tarn_point*>(const_cast<void*>(array.data()));
}

py::array newGrid() {
    return py::array(py::dtype::of<tarn_point>(), {TARN_ROWS, TARN_COLUMNS});
}

py::array adoptGrid(std::unique_ptr<tarn_point[]> cells) {
    const py::capsule owner(cells.get(),
                            [](void* owned) { delete[] static_cast<tarn_point*>(owned); });
    tarn_point* data = cells.release();
    return py::array(py::dtype::of<tarn_point>(), {TARN_ROWS, TARN_COLUMNS}, data, owner);
}

py::dict infoDict(const tarn_frame_info& info) {
    py::dict dict;
    dict["sequence"] = info.sequence;
    dict["datagrams"] = info.datagrams;
    dict["cells_written"] = info.cells_written;
    dict["complete"] = info.complete != 0;
    dict["merged"] = info.merged != 0;
    dict["pixel_type"] = info.pixel_type;
    dict["mixed_pixel_types"] = info.mixed_pixel_types != 0;
    dict["redelivered"] = info.redelivered != 0;
    dict["first_timestamp"] = info.first_timestamp;
    dict["last_timestamp"] = info.last_timestamp;
    dict["receive_monotonic_ns"] = info.receive_monotonic_ns;
    dict["receive_realtime_ns"] = info.receive_realtime_ns;
    return dict;
}

py::dict statsDict(const tarn_stream_stats& stats) {
    py::dict dict;
    dict["datagrams_read"] = stats.datagrams_read;
    dict["datagrams_rejected"] = stats.datagrams_rejected;
    dict["datagrams_queue_full"] = stats.datagrams_queue_full;
    dict["invalid_magic"] = stats.invalid_magic;
    dict["invalid_type"] = stats.invalid_type;
    dict["invalid_version"] = stats.invalid_version;
    dict["invalid_pixel_type"] = stats.invalid_pixel_type;
    dict["invalid_frame_flag"] = stats.invalid_frame_flag;
    dict["invalid_short"] = stats.invalid_short;
    dict["invalid_imu_flag"] = stats.invalid_imu_flag;
    dict["frames_completed"] = stats.frames_completed;
    dict["frames_queue_full"] = stats.frames_queue_full;
    dict["frames_lost_last"] = stats.frames_lost_last;
    dict["frames_merged"] = stats.frames_merged;
    dict["frames_too_long"] = stats.frames_too_long;
    dict["frames_decoded"] = stats.frames_decoded;
    dict["frames_incomplete"] = stats.frames_incomplete;
    dict["imu_samples"] = stats.imu_samples;
    dict["kernel_drops"] = stats.kernel_drops;
    dict["receive_buffer_bytes"] = stats.receive_buffer_bytes;
    dict["frames_redelivered"] = stats.frames_redelivered;
    return dict;
}

py::tuple imuTuple(const tarn_imu_sample& sample) {
    const uint64_t timestamp = sample.timestamp;  // by value: the member is unaligned
    return py::make_tuple(timestamp, sample.sample_flag,
                          bytesOf(sample.header, sizeof sample.header),
                          bytesOf(sample.reserved, sizeof sample.reserved),
                          bytesOf(sample.sample, sizeof sample.sample));
}

void bindGrid(py::module_& module) {
    PYBIND11_NUMPY_DTYPE(tarn_point, row, column, distance, intensity, x, y, z, timestamp, tag);
    module.attr("POINT_DTYPE") = py::dtype::of<tarn_point>();
    module.attr("ROWS") = TARN_ROWS;
    module.attr("COLUMNS") = TARN_COLUMNS;
}

}  // namespace tarn::python
