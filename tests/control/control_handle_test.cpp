// Control handles: many sensors at once from many threads, the data CRC they report, and a KESO
// link that moves to another sensor.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "control/frame.h"
#include "control/net_settings.h"
#include "control_test_support.h"
#include "sim/control_server.h"
#include "tarn/control.h"

namespace {

using tarn::sim::ControlServer;
using tarn::sim::FaultPlan;
using tarn::sim::ReplyFault;
using tarn::sim::SettingsRecord;
using tarn::testing::kLinkTimeoutMs;

// The n-th address of this test process, n below 16: 127.a.b.c from pid * 16 + n, clear of
// 127.0.0.0/16 and of the .0 and .255 host numbers, so that concurrent test processes do not
// meet on port 6501.
std::string ownAddress(unsigned n) {
    unsigned v = static_cast<unsigned>(getpid()) * 16 + n;
    const unsigned c = v % 254 + 1;
    v /= 254;
    const unsigned b = v % 256;
    v /= 256;
    const unsigned a = v % 253 + 2;
    return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

SettingsRecord recordNumbered(unsigned n) {
    tarn::sim::NetSettings s = tarn::testing::sampleSettings();
    s.address[3] = static_cast<uint8_t>(n);
    s.hostPort = static_cast<uint16_t>(7000 + n);
    return tarn::sim::encodeSettings(s);
}

struct Handle {
    explicit Handle(const std::string& address) {
        EXPECT_EQ(tarn_control_open(address.c_str(), static_cast<int>(kLinkTimeoutMs), &raw),
                  TARN_OK);
    }
    ~Handle() { tarn_control_close(raw); }
    tarn_control* raw = nullptr;
};

TEST(ControlHandle, TenSensorsFromTenThreadsEachGetTheirOwnSettings) {
    constexpr unsigned kSensors = 10;
    std::vector<std::unique_ptr<ControlServer>> sensors;
    for (unsigned i = 0; i < kSensors; ++i) {
        sensors.push_back(std::make_unique<ControlServer>(ownAddress(i)));
        ASSERT_TRUE(sensors.back()->listening()) << ownAddress(i);
        sensors.back()->setSettings(recordNumbered(i));
        // Half the sensors need the package size raised, so the exchanges differ in length.
        sensors.back()->setReportedPkgSize(i % 2 == 0 ? 4096 : 8192);
    }
    std::array<SettingsRecord, kSensors> readFirst{};
    std::array<SettingsRecord, kSensors> readBack{};
    std::array<std::array<int, 3>, kSensors> results{};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kSensors; ++i) {
        threads.emplace_back([&, i] {
            Handle handle(ownAddress(i));
            results[i][0] = tarn_control_get_net_info(handle.raw, readFirst[i].data());
            const SettingsRecord next = recordNumbered(100 + i);
            results[i][1] = tarn_control_set_net_info(handle.raw, next.data());
            results[i][2] = tarn_control_get_net_info(handle.raw, readBack[i].data());
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (unsigned i = 0; i < kSensors; ++i) {
        EXPECT_EQ(results[i], (std::array<int, 3>{TARN_OK, TARN_OK, TARN_OK})) << i;
        EXPECT_EQ(readFirst[i], recordNumbered(i)) << i;
        EXPECT_EQ(readBack[i], recordNumbered(100 + i)) << i;
        EXPECT_EQ(sensors[i]->settings(), recordNumbered(100 + i)) << i;
        EXPECT_EQ(sensors[i]->connectionsAccepted(), 3) << i;
    }
}

class ControlHandleFaults : public tarn::testing::SensorTest {};

TEST_F(ControlHandleFaults, DataCrcMismatchIsReportedByTheHandleButAcceptedByKeso) {
    sensor_.setSettings(recordNumbered(7));
    FaultPlan plan;
    plan.fault = ReplyFault::wrongDataCrc;
    sensor_.setFault(kCmdGetNetInfo, plan);

    KESOIpInfo info{};
    EXPECT_EQ(KESOGetNetInfo(address_.c_str(), static_cast<int>(kLinkTimeoutMs), &info), KESO_OK);
    EXPECT_EQ(tarn::testing::toRecord(info), recordNumbered(7));

    Handle handle(address_);
    SettingsRecord record{};
    EXPECT_EQ(tarn_control_get_net_info(handle.raw, record.data()), TARN_ERR_DATA_CRC);
    EXPECT_EQ(record, recordNumbered(7));  // as received, for a caller that insists

    // The confirmation of a write is checked as well.
    sensor_.clearFaults();
    sensor_.setFault(kCmdSetNetInfo, plan);
    EXPECT_EQ(tarn_control_set_net_info(handle.raw, record.data()), TARN_ERR_DATA_CRC);
    sensor_.clearFaults();
    EXPECT_EQ(tarn_control_set_net_info(handle.raw, record.data()), TARN_OK);
    EXPECT_STREQ(tarn_strerror(TARN_ERR_DATA_CRC), "the reply's data CRC does not match its data");
}

TEST_F(ControlHandleFaults, BadArgumentsAreRefusedBeforeAnythingIsConnected) {
    tarn_control* control = nullptr;
    EXPECT_EQ(tarn_control_open("192.168.1.08", 100, &control), TARN_ERR_DEVICE_ADDRESS);
    EXPECT_EQ(tarn_control_open(nullptr, 100, &control), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(control, nullptr);
    Handle handle(address_);
    EXPECT_EQ(tarn_control_get_net_info(handle.raw, nullptr), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(tarn_control_get_net_info(nullptr, nullptr), TARN_ERR_NULL_ARGUMENT);
    EXPECT_EQ(sensor_.connectionsAccepted(), 0);
}

TEST_F(ControlHandleFaults, LinkToAnotherAddressReachesTheNewSensor) {
    ControlServer other(ownAddress(15));
    ASSERT_TRUE(other.listening());
    sensor_.setSettings(recordNumbered(1));
    other.setSettings(recordNumbered(2));

    link();
    ASSERT_EQ(KESOLinkDeviceNetControl(other.address(), kLinkTimeoutMs), KESO_OK);
    KESOIpInfo info{};
    ASSERT_TRUE(get_ipport(&info));
    EXPECT_EQ(tarn::testing::toRecord(info), recordNumbered(2));
    EXPECT_EQ(other.connectionsAccepted(), 1);

    // Linking again to the address already linked keeps the connection, as before.
    ASSERT_EQ(KESOLinkDeviceNetControl(other.address(), kLinkTimeoutMs), KESO_OK);
    EXPECT_EQ(other.connectionsAccepted(), 1);
}

}  // namespace
