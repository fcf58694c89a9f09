// The Wireshark dissector under tshark: a capture of simulated datagrams and of a control
// exchange, written by the recording component's writer, decodes to the values that went in,
// loaded for one run and installed by cmake --install into the folder tshark reads by itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "recording/packets.h"
#include "recording/pcap_writer.h"
#include "sim/control_server.h"
#include "sim/datagram.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"

namespace {

namespace capture = tarn::recording;
namespace sim = tarn::sim;

constexpr uint16_t kHostPort = 47001;
constexpr uint16_t kSensorPort = 6301;
constexpr uint16_t kOtherSensorPort = 40000;
constexpr uint16_t kClientPort = 50000;
constexpr uint16_t kControlPort = 6501;
constexpr capture::Ipv4 kLoopback = {127, 0, 0, 1};
constexpr uint64_t kFrameNumber = 7;
constexpr uint64_t kImuNanoseconds = 1234567890123ULL;
constexpr uint32_t kNobody = 65534;

const std::vector<std::string> kFields = {"tarn.data_type",
                                          "tarn.frame_flag",
                                          "tarn.first_column",
                                          "tarn.first_row",
                                          "tarn.pixel_type",
                                          "tarn.timestamp",
                                          "tarn.pixel_count",
                                          "tarn.last_row",
                                          "tarn.last_column",
                                          "tarn.pixel.distance",
                                          "tarn.pixel.x",
                                          "tarn.pixel.intensity",
                                          "tarn.imu.timestamp_ms",
                                          "tarn.imu.accel_z",
                                          "tarn.imu.gyro_x",
                                          "tarn_ctl.direction",
                                          "tarn_ctl.command",
                                          "tarn_ctl.data_len",
                                          "tarn_ctl.head_crc.status",
                                          "tarn_ctl.data_crc.status",
                                          "tarn_ctl.status",
                                          "tarn_ctl.settings.address",
                                          "tarn_ctl.settings.host_port",
                                          "tarn_ctl.settings.mac"};

// A TCP segment with PSH and ACK set, checksum included.
std::vector<uint8_t> tcpFrame(uint16_t sourcePort, uint16_t destinationPort, uint32_t seq,
                              uint32_t ack, const std::vector<uint8_t>& payload) {
    constexpr uint8_t kHeaderWords = 5 << 4;
    constexpr uint8_t kPushAck = 0x18;
    std::vector<uint8_t> tcp = {
        static_cast<uint8_t>(sourcePort >> 8), static_cast<uint8_t>(sourcePort),
        static_cast<uint8_t>(destinationPort >> 8), static_cast<uint8_t>(destinationPort)};
    for (const uint32_t word : {seq, ack}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            tcp.push_back(static_cast<uint8_t>(word >> shift));
        }
    }
    tcp.insert(tcp.end(), {kHeaderWords, kPushAck, 0xFF, 0xFF, 0, 0, 0, 0});
    tcp.insert(tcp.end(), payload.begin(), payload.end());
    std::vector<uint8_t> pseudo = {127,
                                   0,
                                   0,
                                   1,
                                   127,
                                   0,
                                   0,
                                   1,
                                   0,
                                   capture::kProtocolTcp,
                                   static_cast<uint8_t>(tcp.size() >> 8),
                                   static_cast<uint8_t>(tcp.size())};
    const uint16_t checksum = capture::internetChecksum(
        capture::checksumSum(tcp.data(), tcp.size(), capture::checksumSum(pseudo.data(), 12)));
    tcp[16] = static_cast<uint8_t>(checksum >> 8);
    tcp[17] = static_cast<uint8_t>(checksum);
    return capture::ipv4Frame(capture::kProtocolTcp, kLoopback, kLoopback, 0, tcp.data(),
                              tcp.size());
}

// A control frame: the fixed start, command, length, zero reserved bytes and both CRCs.
std::vector<uint8_t> controlFrame(uint16_t command, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame = {0x5A,
                                  0xA5,
                                  0x01,
                                  0x06,
                                  0x00,
                                  0x00,
                                  0x01,
                                  0x65,
                                  0x9A,
                                  static_cast<uint8_t>(command),
                                  static_cast<uint8_t>(command >> 8),
                                  static_cast<uint8_t>(payload.size()),
                                  static_cast<uint8_t>(payload.size() >> 8)};
    frame.resize(19, 0);
    frame.push_back(KESOCrc8(frame.data(), 19, 0));
    frame.push_back(KESOCrc8(payload.data(), static_cast<uint32_t>(payload.size()), 0));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class DissectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "tshark is not installed (scripts/setup installs it): the Wireshark "
                            "dissector is not tested";
        }
        char pattern[] = "/tmp/tarn-dissector-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override {
        if (!directory_.empty()) {
            std::filesystem::remove_all(directory_);
        }
    }

    // Runs tshark over the capture and returns one row of fields per packet. With script, tshark
    // loads the dissector for the run; without, it finds what its plugin folders hold, and
    // environment points them somewhere. Lua may be refused to root, and root's tshark ignores
    // WIRESHARK_PLUGIN_DIR; then tshark runs as nobody, which needs a readable capture.
    // options go to tshark as they are.
    std::vector<std::vector<std::string>> dissect(
        const std::string& capturePath, const std::string& environment = "", bool script = true,
        const std::string& options = "", const std::vector<std::string>& fields = kFields) {
        std::string command = "tshark -r " + capturePath + options;
        if (script) {
            command += " -X lua_script:" TARN_DISSECTOR;
        }
        command += " -T fields -E separator='|' -E occurrence=f";
        for (const std::string& field : fields) {
            command += " -e " + field;
        }
        command += " >" + directory_ + "/fields.txt 2>" + directory_ + "/errors.txt";
        const std::string asNobody = "setpriv --reuid=" + std::to_string(kNobody) +
                                     " --regid=" + std::to_string(kNobody) + " --clear-groups ";
        const bool root = geteuid() == 0;
        if (root) {
            std::filesystem::permissions(directory_, std::filesystem::perms::owner_all |
                                                         std::filesystem::perms::group_read |
                                                         std::filesystem::perms::group_exec |
                                                         std::filesystem::perms::others_read |
                                                         std::filesystem::perms::others_exec);
            chmod(capturePath.c_str(), 0644);
        }
        int status = 0;
        if (script || !root) {
            status = std::system((environment + " " + command).c_str());
        }
        if (root && (status != 0 || !script)) {
            const std::string home = environment.empty() ? "HOME=/tmp " : "";
            status = std::system((home + environment + " " + asNobody + command).c_str());
        }
        EXPECT_EQ(status, 0) << readFile(directory_ + "/errors.txt");
        std::vector<std::vector<std::string>> rows;
        std::istringstream lines(readFile(directory_ + "/fields.txt"));
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> row;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, '|');) {
                row.push_back(cell);
            }
            row.resize(fields.size());
            rows.push_back(row);
        }
        return rows;
    }

    std::string directory_;
};

std::vector<std::string> row(std::initializer_list<std::pair<const char*, std::string>> values) {
    std::vector<std::string> result(kFields.size());
    for (const auto& [name, value] : values) {
        for (std::size_t i = 0; i < kFields.size(); ++i) {
            if (kFields[i] == name) {
                result[i] = value;
            }
        }
    }
    return result;
}

// Two point datagrams of a simulated frame and an IMU datagram from another port, then a control
// request, its reply cut into two segments, and a request with a wrong header CRC.
void writeCapture(const std::string& path) {
    const sim::Scene scene({});
    const std::vector<sim::Datagram> frame =
        sim::encodeFrame(scene, kFrameNumber, {sim::kPixelType10Bytes, 0, kFrameNumber});
    sim::ImuFields imu;
    imu.timestamp = kImuNanoseconds;
    imu.sample = sim::packImuSample({{0.0f, 0.0f, -9.80665f}, {0.5f, 0.0f, 0.0f}});
    const sim::Datagram imuDatagram = sim::encodeImuDatagram(imu);

    sim::NetSettings settings;
    settings.address = {192, 168, 1, 10};
    settings.hostPort = 7001;
    settings.mac = {0x02, 0x4B, 0x45, 0x53, 0x4F, 0x01};
    const sim::SettingsRecord record = sim::encodeSettings(settings);
    std::vector<uint8_t> replyPayload = {0, 0, 0, 0};
    replyPayload.insert(replyPayload.end(), record.begin(), record.end());
    const std::vector<uint8_t> request = controlFrame(0x0202, {});
    const std::vector<uint8_t> reply = controlFrame(0x0202, replyPayload);
    std::vector<uint8_t> badRequest = controlFrame(0x0001, {});
    badRequest[19] ^= 0xFF;
    // The reply reaches the capture in two segments, as TCP may cut it.
    const std::vector<uint8_t> replyStart(reply.begin(), reply.begin() + 30);
    const std::vector<uint8_t> replyEnd(reply.begin() + 30, reply.end());

    capture::PcapWriter writer(path);
    auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    auto put = [&](const std::vector<uint8_t>& packet) {
        writer.write(when, packet);
        when += std::chrono::milliseconds(1);
    };
    const capture::Route sensor{kLoopback, kSensorPort, kLoopback, kHostPort};
    const capture::Route other{kLoopback, kOtherSensorPort, kLoopback, kHostPort};
    put(capture::udpFrame(sensor, 1, frame.front().data(), frame.front().size()));
    put(capture::udpFrame(sensor, 2, frame.back().data(), frame.back().size()));
    put(capture::udpFrame(other, 3, imuDatagram.data(), imuDatagram.size()));
    put(tcpFrame(kClientPort, kControlPort, 1000, 5000, request));
    put(tcpFrame(kControlPort, kClientPort, 5000, 1021, replyStart));
    put(tcpFrame(kControlPort, kClientPort, 5030, 1021, replyEnd));
    put(tcpFrame(kClientPort, kControlPort, 1021, 5069, badRequest));
    writer.close();
}

// What tshark makes of writeCapture's packets, row by row; the pixels' own fields only with pixels
// (the "Decode pixels" preference), the summary of the pixels always.
std::vector<std::vector<std::string>> expectedRows(bool pixels) {
    const sim::Scene scene({});
    const sim::RawPoint first = scene.point(0, 0, kFrameNumber);
    const sim::RawPoint last = scene.point(140, 356, kFrameNumber);
    return {
        row({{"tarn.data_type", "1"},
             {"tarn.frame_flag", "0"},
             {"tarn.first_column", "0"},
             {"tarn.first_row", "0"},
             {"tarn.pixel_type", "2"},
             {"tarn.timestamp", "7"},
             {"tarn.pixel_count", "140"},
             {"tarn.last_row", "34"},
             {"tarn.last_column", "3"},
             {"tarn.pixel.distance", pixels ? std::to_string(first.distance) : ""},
             {"tarn.pixel.x", pixels ? std::to_string(first.x) : ""},
             {"tarn.pixel.intensity", pixels ? std::to_string(first.intensity) : ""}}),
        row({{"tarn.data_type", "1"},
             {"tarn.frame_flag", "2"},
             {"tarn.first_column", "356"},
             {"tarn.first_row", "140"},
             {"tarn.pixel_type", "2"},
             {"tarn.timestamp", "7"},
             {"tarn.pixel_count", "40"},
             {"tarn.last_row", "149"},
             {"tarn.last_column", "359"},
             {"tarn.pixel.distance", pixels ? std::to_string(last.distance) : ""},
             {"tarn.pixel.x", pixels ? std::to_string(last.x) : ""},
             {"tarn.pixel.intensity", pixels ? std::to_string(last.intensity) : ""}}),
        row({{"tarn.data_type", "4"},
             {"tarn.imu.timestamp_ms", "1234567"},
             {"tarn.imu.accel_z", "-9.80665"},
             {"tarn.imu.gyro_x", "0.5"}}),
        row({{"tarn_ctl.direction", "request"},
             {"tarn_ctl.command", "0x0202"},
             {"tarn_ctl.data_len", "0"},
             {"tarn_ctl.head_crc.status", "1"},
             {"tarn_ctl.data_crc.status", "1"}}),
        row({}),
        row({{"tarn_ctl.direction", "reply"},
             {"tarn_ctl.command", "0x0202"},
             {"tarn_ctl.data_len", "48"},
             {"tarn_ctl.head_crc.status", "1"},
             {"tarn_ctl.data_crc.status", "1"},
             {"tarn_ctl.status", "0"},
             {"tarn_ctl.settings.address", "192.168.1.10"},
             {"tarn_ctl.settings.host_port", "7001"},
             {"tarn_ctl.settings.mac", "02:4b:45:53:4f:01"}}),
        row({{"tarn_ctl.direction", "request"},
             {"tarn_ctl.command", "0x0001"},
             {"tarn_ctl.data_len", "0"},
             {"tarn_ctl.head_crc.status", "0"},
             {"tarn_ctl.data_crc.status", "1"}}),
    };
}

void expectRows(const std::vector<std::vector<std::string>>& rows, bool pixels) {
    const auto expected = expectedRows(pixels);
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t k = 0; k < kFields.size(); ++k) {
            EXPECT_EQ(rows[i][k], expected[i][k]) << "packet " << i + 1 << ", " << kFields[k];
        }
    }
}

// The folder line of `tshark -G folders` named label, e.g. "Global Lua Plugins".
std::string tsharkFolder(const std::string& label) {
    std::unique_ptr<FILE, int (*)(FILE*)> out(popen("tshark -G folders 2>/dev/null", "r"), pclose);
    char line[4096];
    while (out && std::fgets(line, sizeof line, out.get()) != nullptr) {
        std::string text(line);
        if (text.rfind(label + ":", 0) == 0) {
            const std::size_t value = text.find_first_not_of(" \t", label.size() + 1);
            return text.substr(value, text.find_last_not_of("\n") + 1 - value);
        }
    }
    return "";
}

TEST_F(DissectorTest, DecodesDatagramsAndAControlExchange) {
    const std::string path = directory_ + "/capture.pcap";
    writeCapture(path);
    expectRows(dissect(path, "", true, " -o tarn.pixels:TRUE"), true);
}

// The header bytes the library does not read are in a shown tree with their preference only.
TEST_F(DissectorTest, UnreadBytesComeWithTheirPreference) {
    const std::string path = directory_ + "/capture.pcap";
    writeCapture(path);
    const std::vector<std::string> unread = {"tarn.byte2", "tarn.unused_7", "tarn.unused_21"};
    const auto shown = dissect(path, "", true, " -o tarn.unread:TRUE", unread);
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[0], (std::vector<std::string>{"0x00", "00000000", std::string(32, '0')}));
    EXPECT_EQ(shown[2], (std::vector<std::string>{"0x00", "", ""}));  // the IMU datagram
    EXPECT_EQ(dissect(path, "", true, "", unread)[0], std::vector<std::string>(3));
}

// Installed under tshark's own prefix, the dissector lands in the folder tshark reads Lua plugins
// from, and decodes with no option. The folder is the installed copy, reached through
// WIRESHARK_PLUGIN_DIR (tshark's stand-in for its own folder), with an empty home. Without the
// "Decode pixels" preference, the tree that -T fields reads holds the pixels' summary only.
TEST_F(DissectorTest, InstalledIntoTsharksPluginFolderDecodesWithNoOption) {
    const std::string luaFolder = tsharkFolder("Global Lua Plugins");
    const std::string programFolder = tsharkFolder("Program");
    ASSERT_FALSE(luaFolder.empty() || programFolder.empty()) << "tshark -G folders";
    const std::string prefix = std::filesystem::path(programFolder).parent_path().string();
    const std::string destination = directory_ + "/root";
    const std::string install = "DESTDIR=" + destination +
                                " " TARN_CMAKE_COMMAND " --install " TARN_BUILD_DIR
                                " --component dissector --prefix " +
                                prefix + " >" + directory_ + "/install.txt 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << readFile(directory_ + "/install.txt");
    const std::string installed = destination + luaFolder + "/tarn.lua";
    ASSERT_TRUE(std::filesystem::exists(installed))
        << "not in tshark's folder " << luaFolder << ":\n"
        << readFile(directory_ + "/install.txt");

    const std::string path = directory_ + "/capture.pcap";
    writeCapture(path);
    expectRows(
        dissect(path, "HOME=" + directory_ + " WIRESHARK_PLUGIN_DIR=" + destination + luaFolder,
                false),
        false);
}

}  // namespace
