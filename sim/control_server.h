// The simulated sensor's control side: a TCP server on a loopback address, port 6501, that
// answers the control commands as the sensor does and spoils its replies on request.
//
// The simulated sensor keeps its network settings in a 44-byte record laid out as follows
// (addresses in dotted order, that is network byte order; ports little-endian):
//
//   offset  size  member
//        0     4  address      the sensor's IPv4 address
//        4     4  netmask
//        8     4  gateway
//       12     4  hostAddress  where the sensor sends its measurements
//       16     2  dataPort     the sensor's UDP source port
//       18     2  hostPort     the UDP port the measurements go to
//       20     6  mac          the sensor's hardware address
//       26    18  reserved     zero
#ifndef TARN_SIM_CONTROL_SERVER_H
#define TARN_SIM_CONTROL_SERVER_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarn::sim {

constexpr uint16_t kControlPort = 6501;
constexpr std::size_t kSettingsLen = 44;
using SettingsRecord = std::array<uint8_t, kSettingsLen>;

struct NetSettings {
    std::array<uint8_t, 4> address{};
    std::array<uint8_t, 4> netmask{};
    std::array<uint8_t, 4> gateway{};
    std::array<uint8_t, 4> hostAddress{};
    uint16_t dataPort = 0;
    uint16_t hostPort = 0;
    std::array<uint8_t, 6> mac{};

    bool operator==(const NetSettings& other) const;
};

SettingsRecord encodeSettings(const NetSettings& settings);
NetSettings decodeSettings(const SettingsRecord& record);

// How the simulated sensor spoils its replies to one command.
enum class ReplyFault {
    refuse,         // status FaultPlan::status and no reply data; the command is not carried out
    wrongCommand,   // the command echo is one off
    wrongHeadCrc,   // head_crc is wrong
    wrongDataLen,   // the header announces FaultPlan::dataLen payload bytes, whatever follows
    wrongDataCrc,   // data_crc is wrong (receivers do not check it)
    truncatedData,  // the reply data after the status lacks its last 4 bytes; header consistent
    split,          // the frame goes out in three writes, FaultPlan::delay apart
    late,           // the reply goes out after FaultPlan::delay
    silent,         // no reply at all
    closeMidReply,  // the first half of the frame, then the connection is closed
};

struct FaultPlan {
    static constexpr int kEveryReply = -1;

    ReplyFault fault = ReplyFault::refuse;
    int replies = kEveryReply;  // spoils this many replies, then answers normally again
    uint32_t status = 1;
    uint16_t dataLen = 0;
    std::chrono::milliseconds delay{20};
};

// One request frame as the server received it.
struct ReceivedRequest {
    uint16_t command = 0;
    std::vector<uint8_t> frame;  // header and payload as received
    bool headCrcValid = false;
    bool dataCrcValid = false;

    std::vector<uint8_t> payload() const;
};

class ControlServer {
  public:
    // Listens on address (dotted, within 127.0.0.0/8) port 6501 and serves on its own thread,
    // one connection at a time.
    explicit ControlServer(std::string address);
    // Stops serving; returns within a few milliseconds whatever the connection is doing.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    const std::string& address() const { return address_; }

    // The package size reported for command 0x0001; command 0x0002 changes it when accepted.
    void setReportedPkgSize(int32_t size);
    int32_t reportedPkgSize() const;

    void setFault(uint16_t command, const FaultPlan& plan);
    void clearFaults();

    void setSettings(const SettingsRecord& record);
    SettingsRecord settings() const;

    std::vector<ReceivedRequest> received() const;
    std::vector<uint16_t> receivedCommands() const;
    int connectionsAccepted() const;

  private:
    struct Answer {
        uint32_t status = 0;
        std::vector<uint8_t> data;
    };

    void run();
    void serveClient(int client);
    bool readRequest(int client, ReceivedRequest& request);
    bool readExactly(int fd, uint8_t* buffer, std::size_t count);
    bool waitReadable(int fd);
    bool pause(std::chrono::milliseconds delay);
    bool takeFault(uint16_t command, FaultPlan& plan);
    Answer carryOut(const ReceivedRequest& request);
    bool reply(int client, const ReceivedRequest& request);
    bool sendPieces(int client, const std::vector<uint8_t>& frame, const FaultPlan* plan);

    std::string address_;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;  // guards everything below; the server thread and tests share it
    int32_t reportedPkgSize_ = 8192;
    std::map<uint16_t, FaultPlan> faults_;
    SettingsRecord settings_{};
    std::vector<ReceivedRequest> received_;
    int connections_ = 0;

    std::thread thread_;  // last, so it starts after everything it uses exists
};

// A listener on address port 6501 whose accept queue is full and never served: further connection
// attempts get no answer at all, as from a host that is switched off.
class UnansweredListener {
  public:
    explicit UnansweredListener(const std::string& address);
    ~UnansweredListener();
    UnansweredListener(const UnansweredListener&) = delete;
    UnansweredListener& operator=(const UnansweredListener&) = delete;

    // True once a connection attempt was seen to go unanswered.
    bool ready() const { return ready_; }

  private:
    int listenFd_ = -1;
    std::vector<int> fillers_;
    bool ready_ = false;
};

}  // namespace tarn::sim

#endif  // TARN_SIM_CONTROL_SERVER_H
