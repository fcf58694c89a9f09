// The simulated sensor (sim/) for tarn.sim: its measurement stream on a thread of its own and its
// control server. Neither thread ever touches Python.
#include <arpa/inet.h>

#include <pybind11/stl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bindings.h"
#include "sim/control_server.h"
#include "sim/frame_encoder.h"
#include "sim/stream_sender.h"

namespace tarn::python {
namespace {

constexpr int kHighestPort = 65535;
constexpr int kHighestPixelType = sim::kPixelType10Bytes;
constexpr int kHighestByte = 255;
// A stream without a frame count runs until stopped; the sender still wants a bound.
constexpr double kUnboundedSeconds = 1e9;
// The settings record the simulated sensor starts with, beside its addresses and ports.
constexpr std::array<uint8_t, 4> kInitialNetmask = {255, 0, 0, 0};
constexpr std::array<uint8_t, 4> kInitialGateway = {127, 0, 0, 1};
constexpr std::array<uint8_t, 6> kInitialMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

struct SimOptions {
    std::string destination = "127.0.0.1";
    int port = 0;  // where the measurements go; 0 sends none
    std::string source = "127.0.0.1";
    int sourcePort = 0;  // 0: any free port
    sim::SceneConfig scene;
    double fps = 15.0;
    uint64_t frames = 0;  // 0: until stopped
    int pixelType = sim::kPixelType10Bytes;
    double imuRate = 100.0;
    int tag = 0;
    double spread = 0.5;
    sim::RandomFaults random;
    std::vector<sim::DatagramFault> faults;
    std::string control;  // address of the control server; empty for none

    void addFault(const std::string& kind, uint64_t frame, int datagram, std::size_t offset,
                  int value) {
        static const std::map<std::string, sim::FaultKind> kinds = {
            {"drop", sim::FaultKind::kDrop},           {"duplicate", sim::FaultKind::kDuplicate},
            {"reorder", sim::FaultKind::kReorder},     {"truncate", sim::FaultKind::kTruncate},
            {"corrupt", sim::FaultKind::kCorruptByte}, {"foreign", sim::FaultKind::kForeignPort},
        };
        const auto found = kinds.find(kind);
        if (found == kinds.end()) {
            throw py::value_error("unknown fault '" + kind +
                                  "': drop, duplicate, reorder, truncate, corrupt or foreign");
        }
        if (value < 0 || value > kHighestByte) {
            throw py::value_error("a corrupt byte's value is 0 to 255");
        }
        faults.push_back({found->second, frame, datagram, offset, static_cast<uint8_t>(value)});
    }
};

void requireRange(bool inRange, const char* message) {
    if (!inRange) {
        throw py::value_error(message);
    }
}

void checkOptions(const SimOptions& options) {
    requireRange(options.port >= 0 && options.port <= kHighestPort, "port is 1 to 65535");
    requireRange(options.sourcePort >= 0 && options.sourcePort <= kHighestPort,
                 "source_port is 0 to 65535");
    requireRange(options.fps > 0.0, "fps must be positive");
    requireRange(options.imuRate >= 0.0, "imu_rate must not be negative");
    requireRange(options.pixelType >= 0 && options.pixelType <= kHighestPixelType,
                 "pixel_type is 0 (4-byte), 1 (8-byte) or 2 (10-byte pixels)");
    requireRange(options.tag >= 0 && options.tag <= kHighestByte, "tag is 0 to 255");
    requireRange(options.spread >= 0.0 && options.spread <= 1.0, "spread is 0 to 1");
    for (const double rate :
         {options.random.dropRate, options.random.duplicateRate, options.random.reorderRate}) {
        requireRange(rate >= 0.0 && rate <= 1.0, "fault rates are 0 to 1");
    }
}

std::array<uint8_t, 4> dottedBytes(const std::string& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, textArgument(address), &parsed) != 1) {
        throw py::value_error("not a dotted-quad address: " + address);
    }
    std::array<uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &parsed.s_addr, bytes.size());
    return bytes;
}

sim::ReplyFault replyFaultOf(const std::string& name) {
    static const std::map<std::string, sim::ReplyFault> faults = {
        {"refuse", sim::ReplyFault::refuse},
        {"wrong-command", sim::ReplyFault::wrongCommand},
        {"wrong-head-crc", sim::ReplyFault::wrongHeadCrc},
        {"wrong-data-len", sim::ReplyFault::wrongDataLen},
        {"wrong-data-crc", sim::ReplyFault::wrongDataCrc},
        {"truncated-data", sim::ReplyFault::truncatedData},
        {"split", sim::ReplyFault::split},
        {"late", sim::ReplyFault::late},
        {"silent", sim::ReplyFault::silent},
        {"close-mid-reply", sim::ReplyFault::closeMidReply},
    };
    const auto found = faults.find(name);
    if (found == faults.end()) {
        throw py::value_error("unknown control fault '" + name + "'");
    }
    return found->second;
}

py::bytes recordBytes(const sim::SettingsRecord& record) {
    return py::bytes(reinterpret_cast<const char*>(record.data()), record.size());
}

class Sensor {
  public:
    explicit Sensor(const SimOptions& options) : options_(options), scene_(options.scene) {
        checkOptions(options);
        if (options.port != 0) {
            sender_ = std::make_unique<sim::StreamSender>(
                sim::SenderConfig{options.source, static_cast<uint16_t>(options.sourcePort),
                                  options.destination, static_cast<uint16_t>(options.port)});
            sender_->setRandomFaults(options.random);
            for (const sim::DatagramFault& fault : options.faults) {
                sender_->addFault(fault);
            }
        }
        if (!options.control.empty()) {
            startControl();
        }
    }

    // The thread never needs the GIL, so joining it with the GIL held cannot deadlock.
    ~Sensor() { join(); }
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    int sourcePort() const { return sender_ ? sender_->sourcePort() : 0; }

    void start() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sender_ == nullptr || started_) {
            return;
        }
        started_ = true;
        thread_ = std::thread([this] { run(); });
    }

    // True once the stream has sent its frames (or was stopped), within timeoutSeconds.
    bool wait(double timeoutSeconds) {
        py::gil_scoped_release release;
        std::unique_lock<std::mutex> lock(mutex_);
        return finished_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                  [this] { return done_ || !started_; });
    }

    void stop() {
        {
            py::gil_scoped_release release;
            join();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_.empty()) {
            throw std::runtime_error("the simulated sensor's stream failed: " + failure_);
        }
    }

    void close() {
        stop();
        control_.reset();
    }

    py::dict counters() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_ && !done_) {
            throw std::runtime_error("the counters are read once the stream has ended");
        }
        const sim::SenderCounters sent = sender_ ? sender_->counters() : sim::SenderCounters{};
        py::dict dict;
        dict["frames"] = sent.framesSent;
        dict["datagrams"] = sent.datagramsSent;
        dict["imu"] = sent.imuSent;
        dict["send_errors"] = sent.sendErrors;
        dict["dropped"] = sent.faults.dropped;
        return dict;
    }

    py::dict expected(int row, int column, uint64_t frame) const {
        requireRange(row >= 0 && row < sim::kRows && column >= 0 && column < sim::kColumns,
                     "row is 0 to 149 and column 0 to 359");
        const sim::RawPoint raw = scene_.point(row, column, frame);
        py::dict dict;
        dict["distance"] = static_cast<float>(raw.distance);
        dict["intensity"] = raw.intensity;
        dict["x"] = sim::Scene::decode(raw.x);
        dict["y"] = sim::Scene::decode(raw.y);
        dict["z"] = sim::Scene::decode(raw.z);
        return dict;
    }

    py::bytes settings() const { return recordBytes(control().settings()); }

    void setSettings(const py::bytes& bytes) {
        const std::string text = bytes;
        sim::SettingsRecord record{};
        if (text.size() != record.size()) {
            throw py::value_error("the settings record is 44 bytes");
        }
        std::copy(text.begin(), text.end(), record.begin());
        control().setSettings(record);
    }

    void setControlFault(int command, const std::string& fault, int replies, uint32_t status) {
        sim::FaultPlan plan;
        plan.fault = replyFaultOf(fault);
        plan.replies = replies;
        plan.status = status;
        control().setFault(static_cast<uint16_t>(command), plan);
    }

    void clearControlFaults() { control().clearFaults(); }

    std::vector<uint16_t> receivedCommands() const { return control().receivedCommands(); }

  private:
    void startControl() {
        control_ = std::make_unique<sim::ControlServer>(options_.control);
        if (!control_->listening()) {
            throw std::runtime_error("cannot serve the control port on " + options_.control +
                                     ":6501 (address outside 127.0.0.0/8, or port in use)");
        }
        sim::NetSettings settings;
        settings.address = dottedBytes(options_.control);
        settings.netmask = kInitialNetmask;
        settings.gateway = kInitialGateway;
        settings.hostAddress = dottedBytes(options_.destination);
        settings.dataPort = static_cast<uint16_t>(sourcePort());
        settings.hostPort = static_cast<uint16_t>(options_.port);
        settings.mac = kInitialMac;
        control_->setSettings(sim::encodeSettings(settings));
    }

    sim::ControlServer& control() const {
        if (control_ == nullptr) {
            throw std::runtime_error("this simulated sensor serves no control port (control=None)");
        }
        return *control_;
    }

    // The stream's own thread.
    void run() {
        sim::StreamPlan plan;
        plan.frames = options_.frames;
        plan.seconds = options_.frames == 0 ? kUnboundedSeconds : 0.0;
        plan.fps = options_.fps;
        plan.imuRate = options_.imuRate;
        plan.pixelType = static_cast<uint8_t>(options_.pixelType);
        plan.tag = static_cast<uint8_t>(options_.tag);
        plan.spread = options_.spread;
        plan.stop = &stop_;
        std::string failure;
        try {
            sender_->stream(scene_, plan);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failure_ = failure;
            done_ = true;
        }
        finished_.notify_all();
    }

    void join() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    const SimOptions options_;
    const sim::Scene scene_;
    std::unique_ptr<sim::StreamSender> sender_;  // used by the stream's thread while it runs
    std::unique_ptr<sim::ControlServer> control_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // guards the four below
    std::condition_variable finished_;
    bool started_ = false;
    bool done_ = false;
    std::string failure_;
    std::thread thread_;
};

std::vector<py::bytes> encodeFrame(const SimOptions& options, uint64_t frame) {
    checkOptions(options);
    const sim::Scene scene(options.scene);
    const sim::FrameFormat format{static_cast<uint8_t>(options.pixelType),
                                  static_cast<uint8_t>(options.tag), frame};
    std::vector<py::bytes> datagrams;
    for (const sim::Datagram& datagram : sim::encodeFrame(scene, frame, format)) {
        datagrams.emplace_back(reinterpret_cast<const char*>(datagram.data()), datagram.size());
    }
    return datagrams;
}

}  // namespace

void bindSim(py::module_& module) {
    py::class_<SimOptions>(module, "SimOptions")
        .def(py::init<>())
        .def_readwrite("address", &SimOptions::destination)
        .def_readwrite("port", &SimOptions::port)
        .def_readwrite("source", &SimOptions::source)
        .def_readwrite("source_port", &SimOptions::sourcePort)
        .def_property(
            "tilt", [](const SimOptions& o) { return o.scene.tiltDegrees; },
            [](SimOptions& o, float value) { o.scene.tiltDegrees = value; })
        .def_property(
            "distance", [](const SimOptions& o) { return o.scene.wallDistance; },
            [](SimOptions& o, float value) { o.scene.wallDistance = value; })
        .def_property(
            "noise", [](const SimOptions& o) { return o.scene.noiseRaw; },
            [](SimOptions& o, float value) { o.scene.noiseRaw = value; })
        .def_property(
            "seed", [](const SimOptions& o) { return o.scene.seed; },
            [](SimOptions& o, uint32_t value) { o.scene.seed = o.random.seed = value; })
        .def_readwrite("fps", &SimOptions::fps)
        .def_readwrite("frames", &SimOptions::frames)
        .def_readwrite("pixel_type", &SimOptions::pixelType)
        .def_readwrite("imu_rate", &SimOptions::imuRate)
        .def_readwrite("tag", &SimOptions::tag)
        .def_readwrite("spread", &SimOptions::spread)
        .def_property(
            "loss", [](const SimOptions& o) { return o.random.dropRate; },
            [](SimOptions& o, double value) { o.random.dropRate = value; })
        .def_property(
            "duplicates", [](const SimOptions& o) { return o.random.duplicateRate; },
            [](SimOptions& o, double value) { o.random.duplicateRate = value; })
        .def_property(
            "reorder", [](const SimOptions& o) { return o.random.reorderRate; },
            [](SimOptions& o, double value) { o.random.reorderRate = value; })
        .def_readwrite("control", &SimOptions::control)
        .def("add_fault", &SimOptions::addFault, py::arg("kind"), py::arg("frame"),
             py::arg("datagram"), py::arg("offset"), py::arg("value"));

    py::class_<Sensor>(module, "SimSensor")
        .def(py::init<const SimOptions&>(), py::arg("options"))
        .def_property_readonly("source_port", &Sensor::sourcePort)
        .def("start", &Sensor::start)
        .def("wait", &Sensor::wait, py::arg("timeout"))
        .def("stop", &Sensor::stop)
        .def("close", &Sensor::close)
        .def("counters", &Sensor::counters)
        .def("expected", &Sensor::expected, py::arg("row"), py::arg("column"), py::arg("frame"))
        .def("settings", &Sensor::settings)
        .def("set_settings", &Sensor::setSettings, py::arg("record"))
        .def("set_control_fault", &Sensor::setControlFault, py::arg("command"), py::arg("fault"),
             py::arg("replies"), py::arg("status"))
        .def("clear_control_faults", &Sensor::clearControlFaults)
        .def("received_commands", &Sensor::receivedCommands);

    module.def("sim_encode_frame", &encodeFrame, py::arg("options"), py::arg("frame"));
}

}  // namespace tarn::python
