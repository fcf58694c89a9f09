// Shared setup of the control channel tests: a loopback address of the test process's own and a
// fixture that runs the simulated sensor there and leaves the control state unlinked afterwards.
#ifndef TARN_TESTS_CONTROL_CONTROL_TEST_SUPPORT_H
#define TARN_TESTS_CONTROL_CONTROL_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "KESOApi.h"
#include "control/control_state.h"
#include "sim/control_server.h"

namespace tarn::testing {

constexpr uint32_t kLinkTimeoutMs = 2000;

// 127.a.b.c derived from the process id: ctest runs every test case in a process of its own, so
// test cases running at the same time never share the control port 6501. The address stays
// clear of 127.0.0.0/16 and of the .0 and .255 host numbers.
inline std::string processLoopbackAddress() {
    unsigned n = static_cast<unsigned>(getpid());
    const unsigned c = n % 254 + 1;
    n /= 254;
    const unsigned b = n % 256;
    n /= 256;
    const unsigned a = n % 254 + 1;
    return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

inline KESOIpInfo toIpInfo(const sim::SettingsRecord& record) {
    KESOIpInfo info{};
    std::memcpy(info.bytes, record.data(), record.size());
    return info;
}

inline sim::SettingsRecord toRecord(const KESOIpInfo& info) {
    sim::SettingsRecord record{};
    std::memcpy(record.data(), info.bytes, record.size());
    return record;
}

inline sim::NetSettings sampleSettings() {
    sim::NetSettings settings;
    settings.address = {192, 168, 1, 10};
    settings.netmask = {255, 255, 255, 0};
    settings.gateway = {192, 168, 1, 1};
    settings.hostAddress = {192, 168, 1, 100};
    settings.dataPort = 6301;
    settings.hostPort = 6300;
    settings.mac = {0x02, 0x4B, 0x45, 0x53, 0x4F, 0x01};
    return settings;
}

// Puts the control state back to unlinked after every test.
class ControlStateTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (g_link_net || sock_ctrl != -1) {
            KESOBreakLinkDeviceNetControl();
        }
        g_max_pkg_len = kInitialMaxPkgLen;
    }

    const std::string address_ = processLoopbackAddress();
};

// A simulated sensor listening on the test process's own address.
class SensorTest : public ControlStateTest {
  protected:
    void SetUp() override { ASSERT_TRUE(sensor_.listening()) << "cannot listen on " << address_; }

    void link() { ASSERT_EQ(KESOLinkDeviceNetControl(address_, kLinkTimeoutMs), 0); }

    sim::ControlServer sensor_{address_};
};

}  // namespace tarn::testing

#endif  // TARN_TESTS_CONTROL_CONTROL_TEST_SUPPORT_H
