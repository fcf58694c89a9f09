// Publication of grids for polling and callback registration while disconnected.
#include "stream/publication.h"

#include <gtest/gtest.h>

#include <cstring>

#include "stream/keso_shims.h"
#include "stream/stream_state.h"
#include "stream/workers.h"
#include "stream_test_support.h"

namespace tarn::stream {
namespace {

using test::GridBuffer;

void firstFrameCallback(KESOPointData (*)[KESO_COLUMNS]) {}
void firstImuCallback(KESOImuData) {}

TEST(PublicationTest, GridSetWhileDisconnectedIsCopiedButNotOffered) {
    KESODisconnectDevice();
    GridBuffer grid;
    grid.at(10, 10).distance = 42.0f;
    KESOSetFrame(grid.get());

    GridBuffer polled;
    polled.at(0, 0).distance = 7.0f;
    EXPECT_EQ(KESOGetFrame(polled.get()), -1992);
    EXPECT_EQ(polled.at(0, 0).distance, 7.0f);
    EXPECT_EQ(realTimeData_[10][10].distance, 42.0f);
}

TEST(PublicationTest, GridSetWhileConnectedIsOfferedUntilDisconnect) {
    ASSERT_EQ(KESOConnectDevice(test::freeUdpPort(), "127.0.0.1", 1), 0);
    GridBuffer grid;
    for (int row = 0; row < KESO_ROWS; ++row) {
        grid.at(row, row).intensity = static_cast<uint32_t>(row);
    }
    KESOSetFrame(grid.get());

    GridBuffer polled;
    ASSERT_EQ(KESOGetFrame(polled.get()), 0);
    EXPECT_EQ(std::memcmp(polled.get(), grid.get(), grid.bytes()), 0);
    KESODisconnectDevice();
    EXPECT_EQ(KESOGetFrame(polled.get()), -1992);
    waitForWorkersToReturn();
}

TEST(PublicationTest, NullRegistrationKeepsTheRegisteredCallback) {
    KESODisconnectDevice();
    ASSERT_EQ(KESORegisterCallbackUpdateFrame(firstFrameCallback), 0);
    ASSERT_EQ(KESORegisterCallbackUpdateImu(firstImuCallback), 0);

    EXPECT_EQ(KESORegisterCallbackUpdateFrame(nullptr), 0);
    EXPECT_EQ(KESORegisterCallbackUpdateImu(nullptr), 0);
    EXPECT_EQ(frameUpdateFunc.load(), &firstFrameCallback);
    EXPECT_EQ(imuUpdateFunc.load(), &firstImuCallback);
}

}  // namespace
}  // namespace tarn::stream
