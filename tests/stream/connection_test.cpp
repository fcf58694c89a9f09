// The measurement connection over loopback, fed by the simulated sensor: result codes, frames and
// IMU samples reaching the application, the source filter, callbacks and reconnection.
#include "stream/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "sim/stream_sender.h"
#include "stream/assembler.h"
#include "stream/keso_shims.h"
#include "stream/receiver.h"
#include "stream/stream_state.h"
#include "stream/workers.h"
#include "stream_test_support.h"

namespace tarn::stream {
namespace {

using test::GridBuffer;
using test::imuDatagram;
using test::pointDatagram;
using test::waitUntil;

constexpr const char* kLoopback = "127.0.0.1";

// What the callbacks saw. Callbacks are plain function pointers, so their state is global.
struct Observed {
    std::mutex mutex;
    GridBuffer lastGrid;  // copy of the grid handed to the frame callback
    std::vector<uint64_t> imuTimestamps;
    std::atomic<int> frames{0};
    std::atomic<int> imuSamples{0};
};
Observed* observed = nullptr;

void recordFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    std::lock_guard<std::mutex> lock(observed->mutex);
    std::memcpy(observed->lastGrid.get(), grid, observed->lastGrid.bytes());
    observed->frames.fetch_add(1);
}

void recordImu(KESOImuData sample) {
    const uint64_t timestamp = sample.timestamp;  // packed: copy before binding a reference
    std::lock_guard<std::mutex> lock(observed->mutex);
    observed->imuTimestamps.push_back(timestamp);
    observed->imuSamples.fetch_add(1);
}

class ConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KESODisconnectDevice();
        waitForWorkersToReturn();
        // Queued datagrams and frames outlive a connection; start every test without them.
        ClearOringinDataQueue();
        while (!FrontPackgedData().empty()) {
        }
        observedState = std::make_unique<Observed>();
        observed = observedState.get();
        ASSERT_EQ(KESORegisterCallbackUpdateFrame(recordFrame), 0);
        ASSERT_EQ(KESORegisterCallbackUpdateImu(recordImu), 0);
        localPort = test::freeUdpPort();
        sender = std::make_unique<sim::StreamSender>(
            sim::SenderConfig{kLoopback, 0, kLoopback, localPort});
    }

    void TearDown() override {
        KESODisconnectDevice();
        waitForWorkersToReturn();
    }

    int connect() { return KESOConnectDevice(localPort, kLoopback, sender->sourcePort()); }

    std::vector<uint64_t> imuTimestamps() {
        std::lock_guard<std::mutex> lock(observed->mutex);
        return observed->imuTimestamps;
    }

    // Sends an IMU sample with a marker timestamp and waits until it arrives.
    bool markerArrives(uint64_t marker) {
        sender->send(imuDatagram(marker * 1000000));
        return waitUntil([&] {
            const std::vector<uint64_t> seen = imuTimestamps();
            return std::find(seen.begin(), seen.end(), marker) != seen.end();
        });
    }

    std::unique_ptr<Observed> observedState;
    uint16_t localPort = 0;
    std::unique_ptr<sim::StreamSender> sender;
};

TEST_F(ConnectionTest, RefusedArgumentsLeaveTheSocketForTheNextCall) {
    EXPECT_EQ(KESOConnectDevice(0, kLoopback, sender->sourcePort()), -2000);
    const int socketLeft = sockfd.load();
    EXPECT_NE(socketLeft, -1);
    EXPECT_EQ(KESOConnectDevice(localPort, "", sender->sourcePort()), -1999);
    EXPECT_EQ(KESOConnectDevice(localPort, kLoopback, 0), -1999);
    EXPECT_FALSE(linkDeviceFlag.load());

    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(sockfd.load(), socketLeft);
    EXPECT_TRUE(linkDeviceFlag.load());
}

TEST_F(ConnectionTest, PortsOutOfRangeAndAddressesThatAreNotDottedQuadsAreRefused) {
    const uint16_t device = sender->sourcePort();
    EXPECT_EQ(KESOConnectDevice(65536, kLoopback, device), -2000);
    EXPECT_EQ(KESOConnectDevice(-1, kLoopback, device), -2000);
    EXPECT_EQ(KESOConnectDevice(localPort, kLoopback, -1), -1999);
    EXPECT_EQ(KESOConnectDevice(localPort, kLoopback, 70000), -1999);
    for (const char* address : {"not an ip", "127.0.0.01", " 127.0.0.1", "127.0.0.1.5"}) {
        EXPECT_EQ(KESOConnectDevice(localPort, address, device), -1999) << address;
    }
    EXPECT_EQ(KESOConnectDevice(localPort, nullptr, device), -1999);
    EXPECT_FALSE(linkDeviceFlag.load());

    // Null grids are refused, never dereferenced, also once a frame exists.
    ASSERT_EQ(connect(), 0);
    sender->sendFrame({pointDatagram(sim::kFrameFlagLast, 0, 0, 4, 1)});
    ASSERT_TRUE(waitUntil([] { return observed->frames.load() >= 1; }));
    EXPECT_EQ(KESOGetFrame(nullptr), -1992);
    KESOSetFrame(nullptr);
    GridBuffer polled;
    EXPECT_EQ(KESOGetFrame(polled.get()), 0);
}

TEST_F(ConnectionTest, BindingAPortInUseFailsAndLeavesNoConnection) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(localPort);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    ::testing::internal::CaptureStderr();
    const int result = connect();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    close(holder);

    EXPECT_EQ(result, -1998);
    EXPECT_EQ(printed, "bind error!: Address already in use\n");
    EXPECT_EQ(sockfd.load(), -1);
    EXPECT_FALSE(linkDeviceFlag.load());
}

TEST_F(ConnectionTest, SecondConnectWhileConnectedFailsAndEndsTheConnection) {
    ASSERT_EQ(connect(), 0);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(connect(), -1998);
    EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("bind error!: ", 0), 0u);
    EXPECT_FALSE(linkDeviceFlag.load());
    EXPECT_EQ(sockfd.load(), -1);
    EXPECT_EQ(connect(), 0);
}

TEST_F(ConnectionTest, FramesReachTheCallbackAndThePublishedGridUntilDisconnect) {
    GridBuffer polled;
    std::memset(polled.get(), 0x5A, polled.bytes());
    ASSERT_EQ(connect(), 0);
    EXPECT_EQ(KESOGetFrame(polled.get()), -1992);
    EXPECT_EQ(polled.at(0, 0).row, 0x5A5A);

    sender->sendFrame(
        {pointDatagram(sim::kFrameFlagFirst, 0, 0, 8, 1000, sim::kPixelType10Bytes, 41, 7),
         pointDatagram(sim::kFrameFlagMiddle, 2, 0, 8, 2000, sim::kPixelType10Bytes, 41, 7),
         pointDatagram(sim::kFrameFlagLast, 0, 356, 4, 3000, sim::kPixelType10Bytes, 41, 7)});
    ASSERT_TRUE(waitUntil([] { return observed->frames.load() >= 1; }));

    {
        std::lock_guard<std::mutex> lock(observed->mutex);
        const KESOPointData& first = observed->lastGrid.at(0, 0);
        EXPECT_EQ(first.distance, 1000.0f);
        EXPECT_EQ(first.x, 1000.0f / 10.0f * 2.0f);
        EXPECT_EQ(first.timestamp, 41u);
        EXPECT_EQ(first.tag, 7u);
        EXPECT_EQ(observed->lastGrid.at(3, 3).distance, 2007.0f);
        EXPECT_EQ(observed->lastGrid.at(0, 359).distance, 3003.0f);
        EXPECT_EQ(observed->lastGrid.at(0, 359).column, 359);
    }
    ASSERT_EQ(KESOGetFrame(polled.get()), 0);
    GridBuffer again;
    ASSERT_EQ(KESOGetFrame(again.get()), 0);
    EXPECT_EQ(std::memcmp(polled.get(), again.get(), polled.bytes()), 0);
    EXPECT_EQ(polled.at(3, 3).distance, 2007.0f);

    KESODisconnectDevice();
    EXPECT_EQ(KESOGetFrame(polled.get()), -1992);
}

TEST_F(ConnectionTest, WholeSimulatedFrameArrivesDecoded) {
    const sim::Scene scene({});
    ASSERT_EQ(connect(), 0);
    sender->sendFrame(scene, 5, {sim::kPixelType10Bytes, 3, 5});
    ASSERT_TRUE(waitUntil([] { return observed->frames.load() >= 1; }));

    std::lock_guard<std::mutex> lock(observed->mutex);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const sim::RawPoint raw = scene.point(row, column, 5);
            const KESOPointData& cell = observed->lastGrid.at(row, column);
            ASSERT_EQ(cell.distance, static_cast<float>(raw.distance)) << row << "," << column;
            ASSERT_EQ(cell.z, sim::Scene::decode(raw.z)) << row << "," << column;
            ASSERT_EQ(cell.timestamp, 5u);
        }
    }
}

TEST_F(ConnectionTest, ImuSamplesReachTheCallbackInMilliseconds) {
    ASSERT_EQ(connect(), 0);
    sender->send(imuDatagram(5000000999ull));
    sender->send(imuDatagram(6000000000ull, 0));
    ASSERT_TRUE(markerArrives(7));

    EXPECT_EQ(imuTimestamps(), (std::vector<uint64_t>{5000, 7}));
}

TEST_F(ConnectionTest, DatagramsFromOtherPortsOrAddressesAreDropped) {
    ASSERT_EQ(connect(), 0);
    sender->sendFromForeignPort(imuDatagram(1000000));
    sim::StreamSender otherAddress({"127.0.0.2", 0, kLoopback, localPort});
    otherAddress.send(imuDatagram(2000000));
    sim::StreamSender otherAddressSamePort(
        {"127.0.0.2", sender->sourcePort(), kLoopback, localPort});
    otherAddressSamePort.send(imuDatagram(3000000));
    ASSERT_TRUE(markerArrives(4));

    EXPECT_EQ(imuTimestamps(), std::vector<uint64_t>{4});
}

TEST_F(ConnectionTest, DatagramsFromTheAlternatePortAreAccepted) {
    ASSERT_EQ(connect(), 0);
    std::unique_ptr<sim::StreamSender> alternate;
    // Another test may hold the port for a moment.
    ASSERT_TRUE(waitUntil([&] {
        try {
            alternate = std::make_unique<sim::StreamSender>(
                sim::SenderConfig{kLoopback, 6301, kLoopback, localPort});
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }));
    alternate->send(imuDatagram(9000000));
    EXPECT_TRUE(waitUntil([] { return observed->imuSamples.load() >= 1; }));
    EXPECT_EQ(imuTimestamps(), std::vector<uint64_t>{9});
}

void otherFrameCallback(KESOPointData (*)[KESO_COLUMNS]) {}
void otherImuCallback(KESOImuData) {}

TEST_F(ConnectionTest, CallbacksCannotBeReplacedWhileConnected) {
    ASSERT_EQ(connect(), 0);
    EXPECT_EQ(KESORegisterCallbackUpdateFrame(otherFrameCallback), -1995);
    EXPECT_EQ(KESORegisterCallbackUpdateImu(otherImuCallback), -1995);
    EXPECT_EQ(frameUpdateFunc.load(), &recordFrame);
    EXPECT_EQ(imuUpdateFunc.load(), &recordImu);
    ASSERT_TRUE(markerArrives(1));
}

// Inside a callback, a connect must neither deadlock nor start a second generation of workers.
std::atomic<int> connectResultInCallback{1};
uint16_t connectPortInCallback = 0;
void connectingImuCallback(KESOImuData sample) {
    recordImu(sample);
    if (connectResultInCallback.load() == 1) {
        connectResultInCallback.store(KESOConnectDevice(connectPortInCallback, kLoopback, 1));
    }
}

TEST_F(ConnectionTest, ConnectInsideACallbackIsRefusedAndKeepsTheConnection) {
    connectResultInCallback.store(1);
    ASSERT_EQ(KESORegisterCallbackUpdateImu(connectingImuCallback), 0);
    connectPortInCallback = test::freeUdpPort();
    ASSERT_EQ(connect(), 0);

    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(markerArrives(1));
    ASSERT_TRUE(waitUntil([] { return connectResultInCallback.load() != 1; }));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "bind error!: Resource deadlock avoided\n");

    EXPECT_EQ(connectResultInCallback.load(), -1998);
    EXPECT_TRUE(linkDeviceFlag.load());
    EXPECT_EQ(runningWorkers(), 3);
    EXPECT_TRUE(markerArrives(2));
}

std::atomic<int> disconnectsInCallback{0};
void disconnectingImuCallback(KESOImuData sample) {
    recordImu(sample);
    KESODisconnectDevice();
    disconnectsInCallback.fetch_add(1);
}

TEST_F(ConnectionTest, DisconnectInsideACallbackEndsTheConnectionAndAllowsANewOne) {
    disconnectsInCallback.store(0);
    ASSERT_EQ(KESORegisterCallbackUpdateImu(disconnectingImuCallback), 0);
    ASSERT_EQ(connect(), 0);
    sender->send(imuDatagram(1000000));
    ASSERT_TRUE(waitUntil([] { return disconnectsInCallback.load() == 1; }));
    EXPECT_FALSE(linkDeviceFlag.load());

    ASSERT_EQ(KESORegisterCallbackUpdateImu(recordImu), 0);
    ASSERT_EQ(connect(), 0);
    EXPECT_TRUE(markerArrives(2));
}

// Starts the first worker normally and fails on the second.
std::atomic<int> launches{0};
void launchFailingSecond(std::function<void()> body) {
    if (launches.fetch_add(1) == 1) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    std::thread(std::move(body)).detach();
}

TEST_F(ConnectionTest, WorkerThatCannotStartUndoesTheConnection) {
    launches.store(0);
    setWorkerLauncher(launchFailingSecond);
    EXPECT_THROW(connect(), std::system_error);
    setWorkerLauncher(nullptr);

    EXPECT_FALSE(linkDeviceFlag.load());
    EXPECT_EQ(sockfd.load(), -1);
    EXPECT_TRUE(waitUntil([] { return runningWorkers() == 0; }));
    ASSERT_EQ(connect(), 0);
    EXPECT_TRUE(markerArrives(1));
}

// A slow frame callback that notes how many callbacks run at once and how many workers run.
std::atomic<int> callbacksRunning{0};
std::atomic<int> mostCallbacksAtOnce{0};
std::atomic<int> mostWorkersAtOnce{0};
std::atomic<int> slowCallbacks{0};
void slowFrameCallback(KESOPointData (*)[KESO_COLUMNS]) {
    const int running = callbacksRunning.fetch_add(1) + 1;
    mostCallbacksAtOnce.store(std::max(mostCallbacksAtOnce.load(), running));
    mostWorkersAtOnce.store(std::max(mostWorkersAtOnce.load(), runningWorkers()));
    slowCallbacks.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    callbacksRunning.fetch_sub(1);
}

TEST_F(ConnectionTest, ReconnectsNeverRunTwoGenerationsOfWorkers) {
    constexpr int kCycles = 50;
    mostCallbacksAtOnce.store(0);
    mostWorkersAtOnce.store(0);
    ASSERT_EQ(KESORegisterCallbackUpdateFrame(slowFrameCallback), 0);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
            sender->sendFrame({pointDatagram(sim::kFrameFlagFirst, 0, 0, 4, 1),
                               pointDatagram(sim::kFrameFlagLast, 1, 0, 4, 2)});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const int before = slowCallbacks.load();
        ASSERT_EQ(connect(), 0) << cycle;
        ASSERT_TRUE(waitUntil([&] { return slowCallbacks.load() > before; })) << cycle;
        ASSERT_EQ(KESODisconnectDevice(), 0);
    }
    stop.store(true);
    feeder.join();
    waitForWorkersToReturn();

    EXPECT_EQ(mostCallbacksAtOnce.load(), 1);
    EXPECT_LE(mostWorkersAtOnce.load(), 3);
    EXPECT_EQ(callbacksRunning.load(), 0);
}


// A frame callback that holds the decoder until released, so that frames pile up in the queue.
struct HeldFrames {
    std::atomic<bool> released{false};
    std::mutex mutex;
    std::vector<uint64_t> tags;
    std::vector<KESOPointData> centres;  // cell [75][180] of each frame
};
HeldFrames* held = nullptr;

void holdingFrameCallback(KESOPointData (*grid)[KESO_COLUMNS]) {
    {
        std::lock_guard<std::mutex> lock(held->mutex);
        held->tags.push_back(grid[0][0].tag);
        held->centres.push_back(grid[75][180]);
    }
    waitUntil([] { return held->released.load(); });
}

std::size_t heldFrameCount() {
    std::lock_guard<std::mutex> lock(held->mutex);
    return held->tags.size();
}

TEST_F(ConnectionTest, ReconnectToAnotherSensorDeliversNothingOfTheFirst) {
    HeldFrames state;
    held = &state;
    ASSERT_EQ(KESORegisterCallbackUpdateFrame(holdingFrameCallback), 0);
    const sim::Scene scene({});
    ASSERT_EQ(connect(), 0);
    for (uint64_t frame = 0; frame < 3; ++frame) {
        sender->sendFrame(scene, frame, {sim::kPixelType4Bytes, 1, frame});
    }
    ASSERT_TRUE(waitUntil([] { return heldFrameCount() == 1; }));
    KESODisconnectDevice();
    state.released = true;

    const uint16_t otherPort = test::freeUdpPort();
    sim::StreamSender other({kLoopback, 0, kLoopback, otherPort});
    ASSERT_EQ(KESOConnectDevice(otherPort, kLoopback, other.sourcePort()), 0);
    other.sendFrame(scene, 0, {sim::kPixelType4Bytes, 2, 0});
    ASSERT_TRUE(waitUntil([] { return heldFrameCount() >= 2; }));
    KESODisconnectDevice();
    waitForWorkersToReturn();
    std::lock_guard<std::mutex> lock(state.mutex);
    EXPECT_EQ(state.tags, (std::vector<uint64_t>{1, 2}));
}

TEST_F(ConnectionTest, QueuedFramesOfDifferentPixelTypesEachDecodeWithTheirOwn) {
    HeldFrames state;
    held = &state;
    ASSERT_EQ(KESORegisterCallbackUpdateFrame(holdingFrameCallback), 0);
    const sim::Scene scene({});
    ASSERT_EQ(connect(), 0);
    const uint8_t types[] = {sim::kPixelType10Bytes, sim::kPixelType8Bytes,
                             sim::kPixelType4Bytes, sim::kPixelType10Bytes};
    sender->sendFrame(scene, 0, {types[0], 0, 0});
    ASSERT_TRUE(waitUntil([] { return heldFrameCount() == 1; }));
    // Frames 1 to 3 wait in the queue while the last assembled pixel size changes under them.
    for (uint64_t frame = 1; frame < 4; ++frame) {
        sender->sendFrame(scene, frame, {types[frame], 0, frame});
    }
    state.released = true;
    ASSERT_TRUE(waitUntil([] { return heldFrameCount() == 4; }));
    std::lock_guard<std::mutex> lock(state.mutex);
    for (uint64_t frame = 0; frame < 4; ++frame) {
        SCOPED_TRACE(frame);
        const sim::RawPoint raw = scene.point(75, 180, frame);
        const KESOPointData& cell = state.centres[frame];
        const bool hasDistance = types[frame] != sim::kPixelType8Bytes;
        const bool hasCoordinates = types[frame] != sim::kPixelType4Bytes;
        EXPECT_EQ(cell.distance, hasDistance ? static_cast<float>(raw.distance) : 0.0f);
        EXPECT_EQ(cell.x, hasCoordinates ? sim::Scene::decode(raw.x) : 0.0f);
        EXPECT_EQ(cell.intensity, raw.intensity);
    }
}

}  // namespace
}  // namespace tarn::stream
