// MCAP files (tarn/mcap.h) for tarn.mcap.Writer and tarn.open: frames and IMU samples recorded as
// ROS 2 messages, and the frames of such a file read back. Writing and reading release the GIL.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "grid.h"
#include "tarn/mcap.h"

namespace tarn::python {
namespace {

constexpr std::size_t kErrorBytes = 512;
constexpr std::size_t kImuBatch = 256;

[[noreturn]] void raiseOsError(const std::string& text) {
    PyErr_SetString(PyExc_OSError, text.c_str());
    throw py::error_already_set();
}

// A namespace that is no ROS 2 name is a ValueError; other codes are tarn.McapError.
void checkNamespace(int code, const std::string& topicNamespace) {
    if (code == TARN_ERR_MCAP_NAMESPACE) {
        throw py::value_error("namespace '" + topicNamespace + "' is not a ROS 2 name");
    }
    check(code);
}

template <typename T>
T item(const py::dict& dict, const char* key) {
    return dict.contains(key) ? dict[key].cast<T>() : T{};
}

tarn_frame_info infoOf(const py::dict& d) {
    tarn_frame_info info{};
    info.sequence = item<uint64_t>(d, "sequence");
    info.datagrams = item<uint32_t>(d, "datagrams");
    info.cells_written = item<uint32_t>(d, "cells_written");
    info.complete = item<bool>(d, "complete") ? 1 : 0;
    info.merged = item<bool>(d, "merged") ? 1 : 0;
    info.pixel_type = item<uint8_t>(d, "pixel_type");
    info.mixed_pixel_types = item<bool>(d, "mixed_pixel_types") ? 1 : 0;
    info.redelivered = item<bool>(d, "redelivered") ? 1 : 0;
    info.first_timestamp = item<uint64_t>(d, "first_timestamp");
    info.last_timestamp = item<uint64_t>(d, "last_timestamp");
    info.receive_monotonic_ns = item<int64_t>(d, "receive_monotonic_ns");
    info.receive_realtime_ns = item<int64_t>(d, "receive_realtime_ns");
    return info;
}

void copyBytes(const py::bytes& from, uint8_t* to, std::size_t size, const char* name) {
    const std::string bytes = from;
    if (bytes.size() != size) {
        throw py::value_error(std::string("an IMU sample's ") + name + " holds " +
                              std::to_string(size) + " bytes, not " + std::to_string(bytes.size()));
    }
    std::memcpy(to, bytes.data(), size);
}

class McapWriter {
  public:
    McapWriter(const std::string& path, const std::string& topicNamespace, int compression,
               uint64_t chunkBytes, uint32_t queueMessages, const std::string& frameId,
               int stampSource, uint64_t sensorTickNs) {
        tarn_mcap_config config;
        tarn_mcap_config_init(&config);
        config.topic_namespace = textArgument(topicNamespace);
        config.compression = compression;
        config.chunk_bytes = chunkBytes;
        config.queue_messages = queueMessages;
        config.messages.frame_id = textArgument(frameId);
        config.messages.stamp_source = stampSource;
        config.messages.sensor_tick_ns = sensorTickNs;
        const char* cPath = textArgument(path);
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            result = tarn_mcap_open(cPath, &config, &writer_);
        }
        if (result == TARN_ERR_MCAP_OPEN || result == TARN_ERR_MCAP_WRITE) {
            raiseOsError(path + ": " + tarn_mcap_strerror(result));
        }
        checkNamespace(result, topicNamespace);
    }
    ~McapWriter() { closeQuietly(); }
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    void writeFrame(const py::object& points, const py::dict& info) {
        const tarn_point* grid = gridOf(points, false);
        const tarn_frame_info cInfo = infoOf(info);
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            result = tarn_mcap_write_frame(open(), grid, &cInfo);
        }
        check(result);
    }

    void writeImu(uint64_t timestamp, int sampleFlag, const py::bytes& header,
                  const py::bytes& reserved, const py::bytes& sample, int64_t receiveNs) {
        tarn_imu_sample s{};
        s.timestamp = timestamp;
        s.sample_flag = static_cast<uint8_t>(sampleFlag);
        copyBytes(header, s.header, sizeof s.header, "header");
        copyBytes(reserved, s.reserved, sizeof s.reserved, "reserved bytes");
        copyBytes(sample, s.sample, sizeof s.sample, "sample");
        std::lock_guard<std::mutex> lock(mutex_);
        check(tarn_mcap_write_imu(open(), &s, receiveNs));
    }

    // (messages, dropped); after close() the recording's last counts.
    py::tuple counts() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (writer_ != nullptr) {
            messages_ = tarn_mcap_messages(writer_);
            dropped_ = tarn_mcap_dropped(writer_);
        }
        return py::make_tuple(messages_, dropped_);
    }

    void close() {
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            if (writer_ != nullptr) {
                messages_ = tarn_mcap_messages(writer_);
                dropped_ = tarn_mcap_dropped(writer_);
            }
            result = tarn_mcap_close(writer_);
            writer_ = nullptr;
        }
        check(result);
    }

  private:
    tarn_mcap_writer* open() const {
        if (writer_ == nullptr) {
            throw LibraryError{TARN_ERR_INVALID_HANDLE};
        }
        return writer_;
    }
    void closeQuietly() {
        std::lock_guard<std::mutex> lock(mutex_);
        tarn_mcap_close(writer_);
        writer_ = nullptr;
    }

    std::mutex mutex_;  // guards writer_ and the counts; held through every call on it
    tarn_mcap_writer* writer_ = nullptr;
    uint64_t messages_ = 0;
    uint64_t dropped_ = 0;
};

class McapReader {
  public:
    McapReader(const std::string& path, const std::string& topicNamespace) {
        char error[kErrorBytes] = {};
        const char* cPath = textArgument(path);
        const char* cNamespace = textArgument(topicNamespace);
        int result = TARN_OK;
        {
            py::gil_scoped_release release;
            result = tarn_mcap_reader_open(cPath, cNamespace, &reader_, error, sizeof error);
        }
        if (result == TARN_ERR_MCAP_READ) {
            raiseOsError(path + ": " + error);
        }
        checkNamespace(result, topicNamespace);
    }
    ~McapReader() { close(); }
    McapReader(const McapReader&) = delete;
    McapReader& operator=(const McapReader&) = delete;

    // (code, grid or None, info or None), as Source.next gives them.
    py::tuple next() {
        std::unique_ptr<tarn_point[]> cells(new tarn_point[TARN_CELLS]);
        tarn_frame_info info{};
        int code = TARN_ERR_INVALID_HANDLE;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            if (reader_ != nullptr) {
                code = tarn_mcap_reader_next_frame(reader_, cells.get(), &info);
            }
        }
        if (code != TARN_OK) {
            return py::make_tuple(code, py::none(), py::none());
        }
        return py::make_tuple(code, adoptGrid(std::move(cells)), infoDict(info));
    }

    std::string error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return tarn_mcap_reader_error(reader_);
    }

    // (samples, dropped so far)
    py::tuple imu() {
        py::list samples;
        tarn_imu_sample batch[kImuBatch];
        std::size_t count = 0;
        uint64_t dropped = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        if (reader_ == nullptr) {
            throw LibraryError{TARN_ERR_INVALID_HANDLE};
        }
        do {
            check(tarn_mcap_reader_imu(reader_, batch, kImuBatch, &count, &dropped));
            for (std::size_t i = 0; i < count; ++i) {
                samples.append(imuTuple(batch[i]));
            }
        } while (count == kImuBatch);
        return py::make_tuple(samples, dropped);
    }

    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        tarn_mcap_reader_close(reader_);
        reader_ = nullptr;
    }

  private:
    std::mutex mutex_;  // guards reader_; held through every call on it
    tarn_mcap_reader* reader_ = nullptr;
};

}  // namespace

void bindMcap(py::module_& module) {
    module.attr("MCAP_ZSTD") = TARN_MCAP_ZSTD;
    module.attr("MCAP_LZ4") = TARN_MCAP_LZ4;
    module.attr("MCAP_NONE") = TARN_MCAP_NONE;
    module.attr("MCAP_END") = TARN_MCAP_END;
    module.attr("STAMP_RECEIVE_TIME") = TARN_STAMP_RECEIVE_TIME;
    module.attr("STAMP_SENSOR_TIME") = TARN_STAMP_SENSOR_TIME;
    module.attr("MCAP_CODES") =
        py::make_tuple(TARN_ERR_MCAP_OPEN, TARN_ERR_MCAP_WRITE, TARN_ERR_MCAP_COMPRESS,
                       TARN_ERR_MCAP_NAMESPACE, TARN_ERR_MCAP_COMPRESSION, TARN_ERR_MCAP_READ,
                       TARN_ERR_MCAP_NO_POINTS, TARN_ERR_MCAP_LAYOUT, TARN_ERR_STAMP_SOURCE);
    module.def("mcap_strerror", &tarn_mcap_strerror, py::arg("code"),
               "The library's text for a result code of the MCAP and messages interfaces.");
    py::class_<McapWriter>(module, "McapWriter")
        .def(py::init<const std::string&, const std::string&, int, uint64_t, uint32_t,
                      const std::string&, int, uint64_t>(),
             py::arg("path"), py::arg("topic_namespace"), py::arg("compression"),
             py::arg("chunk_bytes"), py::arg("queue_messages"), py::arg("frame_id"),
             py::arg("stamp_source"), py::arg("sensor_tick_ns"))
        .def("write_frame", &McapWriter::writeFrame, py::arg("points"), py::arg("info"))
        .def("write_imu", &McapWriter::writeImu, py::arg("timestamp"), py::arg("sample_flag"),
             py::arg("header"), py::arg("reserved"), py::arg("sample"),
             py::arg("receive_realtime_ns"))
        .def("counts", &McapWriter::counts)
        .def("close", &McapWriter::close);
    py::class_<McapReader>(module, "McapReader")
        .def(py::init<const std::string&, const std::string&>(), py::arg("path"),
             py::arg("topic_namespace"))
        .def("next", &McapReader::next)
        .def("error", &McapReader::error)
        .def("imu", &McapReader::imu)
        .def("close", &McapReader::close);
}

}  // namespace tarn::python
