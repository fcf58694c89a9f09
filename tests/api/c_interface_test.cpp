// Runs the C99 program of c_interface_program.c against the simulated sensor.
#include <gtest/gtest.h>

#include "api_test_support.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "tarn/tarn.h"

extern "C" int run_c_stream(int local_port, int device_port, int frames,
                            void (*send_frame)(int index));

namespace tarn::api::test {
namespace {

sim::StreamSender* sensor = nullptr;

void sendFrame(int index) {
    static const sim::Scene scene({});
    sensor->sendFrame(scene, static_cast<uint64_t>(index), {sim::kPixelType8Bytes, 0, 0});
}

TEST(CInterface, AC99ProgramStreamsFromTheSimulatedSensor) {
    const uint16_t localPort = stream::test::freeUdpPort();
    sim::StreamSender sender({kLoopback, 0, kLoopback, localPort});
    sensor = &sender;
    EXPECT_EQ(run_c_stream(localPort, sender.sourcePort(), 3, sendFrame), TARN_OK);
}

}  // namespace
}  // namespace tarn::api::test
