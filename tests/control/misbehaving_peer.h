// A control peer for the fault-injection tests that misbehaves at the transport level in ways the
// simulated sensor does not: it resets the connection, trickles its reply byte by byte, or floods
// the connection with bytes. It answers every other command as a sensor would.
#ifndef TARN_TESTS_CONTROL_MISBEHAVING_PEER_H
#define TARN_TESTS_CONTROL_MISBEHAVING_PEER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tarn::testing {

enum class PeerFault {
    reset,       // the connection is reset (RST) instead of a reply
    byteByByte,  // the reply goes out one byte at a time, gap apart
    flood,       // bytes without end instead of a reply, until the library closes
};

class MisbehavingPeer {
  public:
    static constexpr uint16_t kEveryCommand = 0;

    // Listens on address (within 127.0.0.0/8) port 6501 and misbehaves on command (or on every
    // command with kEveryCommand), one connection at a time, on its own thread.
    MisbehavingPeer(const std::string& address, PeerFault fault, uint16_t command,
                    std::chrono::milliseconds gap = std::chrono::milliseconds(0));
    // Returns within a few milliseconds whatever the connection is doing.
    ~MisbehavingPeer();
    MisbehavingPeer(const MisbehavingPeer&) = delete;
    MisbehavingPeer& operator=(const MisbehavingPeer&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    // The 44 bytes the peer reports for command 0x0202.
    std::vector<uint8_t> settings() const;
    int requestsReceived() const { return requests_; }

  private:
    void run();
    void serve(int client);
    bool readExactly(int fd, uint8_t* buffer, std::size_t count);
    bool waitFor(int fd, short events);
    bool pause(std::chrono::milliseconds delay);
    bool answer(int client, uint16_t command);
    bool trickle(int client, const std::vector<uint8_t>& frame);
    void flood(int client);

    const PeerFault fault_;
    const uint16_t command_;
    const std::chrono::milliseconds gap_;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;  // last, so it starts after everything it uses exists
};

}  // namespace tarn::testing

#endif  // TARN_TESTS_CONTROL_MISBEHAVING_PEER_H
