// Where tarn stream and tarn record take their datagrams from: a sensor (--device), or the
// embedded simulated sensor on loopback, streaming on a thread of its own into a library stream.
#ifndef TARN_TOOLS_TARN_STREAM_SOURCE_H
#define TARN_TOOLS_TARN_STREAM_SOURCE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "tarn/source.h"
#include "tarn/tarn.h"
#include "tools/tarn/options.h"
#include "tools/tarn/sim_stream.h"

namespace tarn::cli {

// Prints the library's lines on standard error, each after prefix ("tarn stream"). prefix must
// outlive the process's use of the library.
void printLibraryLines(const char* prefix);

struct SourceOptions {
    std::string device;  // empty: the embedded simulated sensor
    int devicePort = TARN_DEFAULT_ALTERNATE_PORT;
    int localPort = 0;  // 0: the default (7001 with a device, any free port otherwise)
    std::string localAddress;
    int64_t receiveBuffer = 0;
    SimConfig sim;  // for the embedded simulated sensor
};

// What the embedded simulated sensor sent.
struct SimCounts {
    uint64_t frames = 0;
    uint64_t pointDatagrams = 0;
    uint64_t imuDatagrams = 0;
};

// Plane angle settings that take in the simulated wall (the default box of --box).
KESOAngleMeasureParam simulatedWallParam();

// Registers the options of every subcommand with a source into o, in a group of their own:
// --device ADDRESS[:PORT], --local-port, --local-address, --receive-buffer and the embedded
// simulated sensor's options.
void addSourceOptions(CLI::App& app, SourceOptions& o);
// The checks between them, once app has parsed a command line. Throws UsageError.
void checkSourceOptions(const CLI::App& app, const SourceOptions& o);

// Callbacks the stream is opened with.
struct StreamCallbacks {
    tarn_datagram_callback onDatagram = nullptr;
    void* datagramUser = nullptr;
    // Opens a frame source (tarn_source_open_stream), whose frames frameSource() gives, each once.
    bool frameSource = false;
};

class StreamSource {
  public:
    // Opens the library stream and, without a device, starts the embedded simulated sensor
    // streaming into it. Throws Failure.
    StreamSource(const SourceOptions& options, const StreamCallbacks& callbacks);
    // Stops the simulated sensor, then closes the stream.
    ~StreamSource();
    StreamSource(const StreamSource&) = delete;
    StreamSource& operator=(const StreamSource&) = delete;

    tarn_stream* stream() const { return stream_; }
    // The frame source, with StreamCallbacks::frameSource; null otherwise.
    tarn_source* frameSource() const { return source_; }
    // What the stream listens to, for the opening line.
    std::string description() const;
    bool simulated() const { return sim_ != nullptr; }
    float trueTilt() const { return static_cast<float>(options_.sim.summary().tilt_degrees); }

    // Stops the embedded simulated sensor and returns what it sent (nullopt with a device).
    std::optional<SimCounts> stopSimulation();

  private:
    void openDeviceStream(const StreamCallbacks& callbacks);
    void openSimulatedStream(const StreamCallbacks& callbacks);
    int open(const StreamCallbacks& callbacks, const std::string& device, int devicePort,
             int localPort);

    SourceOptions options_;
    tarn_stream* stream_ = nullptr;
    tarn_source* source_ = nullptr;  // owns stream_ when set
    int localPort_ = 0;
    std::unique_ptr<SimSensor> sim_;  // streams on a thread of its own
};

}  // namespace tarn::cli

#endif  // TARN_TOOLS_TARN_STREAM_SOURCE_H
