// The socket-less conversion: a recording source gives each frame once, in order, with the IMU
// samples recorded before it; the MCAP writer writes them on this thread, so nothing is dropped.
#include "tools/tarn/mcap_export.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "tarn/mcap.h"
#include "tarn/source.h"
#include "tools/tarn/exit_status.h"

namespace tarn::cli {
namespace {

constexpr std::size_t kImuBatch = 256;

class Source {
  public:
    explicit Source(const std::string& path) {
        char error[512] = {};
        const int result =
            tarn_source_open_recording(path.c_str(), nullptr, 0, &source_, error, sizeof error);
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file, error[0] != '\0' ? std::string(error)
                                                             : tarn_recording_strerror(result));
        }
    }
    ~Source() { tarn_source_close(source_); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    tarn_source* get() const { return source_; }

  private:
    tarn_source* source_ = nullptr;
};

class Output {
  public:
    explicit Output(const std::string& path) : path_(path) {
        tarn_mcap_config config;
        tarn_mcap_config_init(&config);
        const int result = tarn_mcap_open(path.c_str(), &config, &writer_);
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file, path + ": " + tarn_mcap_strerror(result));
        }
    }
    ~Output() { tarn_mcap_close(writer_); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    tarn_mcap_writer* get() const { return writer_; }
    void check(int result) const {
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file, path_ + ": " + tarn_mcap_strerror(result));
        }
    }
    void close() {
        const int result = tarn_mcap_close(writer_);
        writer_ = nullptr;
        check(result);
    }

  private:
    std::string path_;
    tarn_mcap_writer* writer_ = nullptr;
};

}  // namespace

int exportMcap(const std::string& recording, const std::string& output) {
    Source source(recording);
    Output file(output);
    std::vector<tarn_point> grid(TARN_CELLS);
    std::vector<tarn_imu_sample> imu(kImuBatch);
    tarn_frame_info info{};
    uint64_t frames = 0;
    uint64_t samples = 0;
    for (;;) {
        const int result = tarn_source_next(source.get(), 0, grid.data(), &info);
        // The samples recorded before this frame (or before the end) go first, stamped with the
        // frame's receive time: the source keeps no capture time per sample.
        std::size_t count = 0;
        do {
            tarn_source_imu(source.get(), imu.data(), imu.size(), &count);
            for (std::size_t i = 0; i < count; ++i) {
                file.check(tarn_mcap_write_imu(file.get(), &imu[i], info.receive_realtime_ns));
            }
            samples += count;
        } while (count == imu.size());
        if (result == TARN_RECORDING_END) {
            break;
        }
        if (result != TARN_OK) {
            throw Failure(ExitStatus::file,
                          recording + ": " + tarn_source_error(source.get()));
        }
        file.check(tarn_mcap_write_frame(file.get(), grid.data(), &info));
        ++frames;
    }
    const std::string cut = tarn_source_error(source.get());
    if (!cut.empty()) {
        std::fprintf(stderr, "tarn export: warning: %s\n", cut.c_str());
    }
    file.close();
    std::printf("tarn export: wrote %" PRIu64 " frames and %" PRIu64 " IMU samples into %s\n",
                frames, samples, output.c_str());
    if (frames == 0) {
        throw Failure(ExitStatus::noData, "the recording holds no frame");
    }
    return 0;
}

}  // namespace tarn::cli
