// The recording reader over capture files of every layout it reads, and over damaged ones: each
// record is returned or counted under its reason, a cut file reads up to the cut, a damaged one
// gives a clear error, and none of them crashes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/recording/capture_files.h"

namespace tarn::recording::test {
namespace {

constexpr uint32_t kSeconds = 1700000000;
constexpr int64_t kSecondsNs = 1700000000LL * 1000000000LL;
constexpr uint32_t kLinkNull = 0;
constexpr uint32_t kLinkRaw = 101;
constexpr uint32_t kLinkLinuxSll = 113;

class PcapReaderTest : public ::testing::Test {
  protected:
    ScratchFolder folder_;
};

// The IPv4 packet inside an Ethernet frame from udpFrame.
Bytes ipPacket(const Bytes& ethernet) {
    return Bytes(ethernet.begin() + kEthernetHeaderBytes, ethernet.end());
}

Bytes withLinkHeader(const Bytes& header, const Bytes& ip) {
    Bytes packet = header;
    packet.insert(packet.end(), ip.begin(), ip.end());
    return packet;
}

TEST_F(PcapReaderTest, ReadsTheSameDatagramFromEveryLayoutAndLink) {
    const Bytes payload = measurementPayload(1, 300);
    const Bytes ethernet = udpPacket(payload);
    const Bytes ip = ipPacket(ethernet);
    Bytes vlan(ethernet.begin(), ethernet.begin() + 12);
    vlan.insert(vlan.end(), {0x81, 0x00, 0x00, 0x05, 0x88, 0xA8, 0x00, 0x07});
    vlan.insert(vlan.end(), ethernet.begin() + 12, ethernet.end());
    Bytes sll(16, 0);
    sll[14] = 0x08;  // protocol IPv4

    struct Case {
        const char* name;
        FileFormat format;
        Bytes packet;
        uint32_t fraction;
        int64_t expectedNs;
    };
    const std::vector<Case> cases = {
        {"little-endian microseconds", {false, false}, ethernet, 123456, 123456000},
        {"big-endian microseconds", {true, false}, ethernet, 123456, 123456000},
        {"little-endian nanoseconds", {false, true}, ethernet, 123456789, 123456789},
        {"big-endian nanoseconds", {true, true}, ethernet, 123456789, 123456789},
        {"two VLAN tags", {}, vlan, 0, 0},
        {"raw IP", {false, false, kLinkRaw}, ip, 0, 0},
        {"Linux cooked", {false, false, kLinkLinuxSll}, withLinkHeader(sll, ip), 0, 0},
        {"BSD loopback", {false, false, kLinkNull}, withLinkHeader({2, 0, 0, 0}, ip), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = folder_.file(
            "layout.pcap", CaptureBytes(c.format).record(c.packet, kSeconds, c.fraction).bytes());
        const ReadBack back = readBack(path);
        ASSERT_EQ(back.openResult, TARN_OK) << back.message;
        EXPECT_EQ(back.endResult, TARN_RECORDING_END);
        ASSERT_EQ(back.payloads.size(), 1u);
        EXPECT_EQ(back.payloads[0], payload);
        const tarn_recording_datagram& d = back.datagrams[0];
        EXPECT_EQ(d.capture_realtime_ns, kSecondsNs + c.expectedNs);
        EXPECT_EQ(d.source_address, 0x7F000001u);
        EXPECT_EQ(d.source_port, 6301);
        EXPECT_EQ(d.destination_address, 0x7F000002u);
        EXPECT_EQ(d.destination_port, 7001);
        EXPECT_EQ(d.data_type, TARN_RECORDING_POINT_DATA);
        EXPECT_EQ(d.record, 1u);
        EXPECT_EQ(back.stats.cut, 0);
    }
}

// A pcapng file: section header, interface description (Ethernet, microseconds), one enhanced
// packet with the given time.
Bytes pcapng(const Bytes& packet, uint64_t micros) {
    Bytes file;
    auto put32 = [&](uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) {
            file.push_back(static_cast<uint8_t>(v >> shift));
        }
    };
    for (uint32_t word : {0x0A0D0D0Au, 28u, 0x1A2B3C4Du, 1u, 0xFFFFFFFFu, 0xFFFFFFFFu, 28u}) {
        put32(word);
    }
    for (uint32_t word : {1u, 20u, 1u, 65535u, 20u}) {
        put32(word);
    }
    const uint32_t padded = static_cast<uint32_t>((packet.size() + 3) / 4 * 4);
    for (uint32_t word :
         {6u, 32 + padded, 0u, static_cast<uint32_t>(micros >> 32), static_cast<uint32_t>(micros),
          static_cast<uint32_t>(packet.size()), static_cast<uint32_t>(packet.size())}) {
        put32(word);
    }
    file.insert(file.end(), packet.begin(), packet.end());
    file.resize(file.size() + padded - packet.size(), 0);
    put32(32 + padded);
    return file;
}

TEST_F(PcapReaderTest, ReadsPcapng) {
    const Bytes payload = measurementPayload(4, 46);
    const ReadBack back =
        readBack(folder_.file("capture.pcapng", pcapng(udpPacket(payload), 1700000000123456ULL)));
    ASSERT_EQ(back.openResult, TARN_OK) << back.message;
    ASSERT_EQ(back.payloads.size(), 1u);
    EXPECT_EQ(back.payloads[0], payload);
    EXPECT_EQ(back.datagrams[0].capture_realtime_ns, kSecondsNs + 123456000);
    EXPECT_EQ(back.datagrams[0].data_type, TARN_RECORDING_IMU_DATA);

    // A time beyond what 64 bits of nanoseconds hold is kept at the largest.
    const ReadBack late =
        readBack(folder_.file("late.pcapng", pcapng(udpPacket(payload), 0xFFFFFFFF00000000ULL)));
    ASSERT_EQ(late.payloads.size(), 1u);
    EXPECT_EQ(late.datagrams[0].capture_realtime_ns, INT64_MAX);
}

TEST_F(PcapReaderTest, CountsEveryRecordThatIsNoMeasurementDatagramUnderItsReason) {
    const Bytes measurement = udpPacket(measurementPayload(1, 100));
    const Bytes tcp =
        ipv4Frame(kProtocolTcp, {127, 0, 0, 1}, {127, 0, 0, 2}, 1, measurement.data() + 34, 40);
    Bytes ipv6 = measurement;
    ipv6[12] = 0x86;
    ipv6[13] = 0xDD;
    ipv6[14] = 0x60;
    Bytes arp = measurement;
    arp[12] = 0x08;
    arp[13] = 0x06;
    Bytes fragment = measurement;
    fragment[20] = 0x20;  // more fragments
    Bytes ipInsideV6Link = measurement;
    ipInsideV6Link[14] = 0x65;  // IPv6 version nibble on an IPv4 ether type
    Bytes ipTooLong = measurement;
    ipTooLong[16] = 0xFF;  // total length past the record
    Bytes udpTooLong = measurement;
    udpTooLong[38] = 0xFF;  // UDP length past the IP packet
    const Bytes empty = udpPacket({});
    const Bytes foreign = udpPacket({0x01, 0x02, 0x03});

    CaptureBytes file;
    file.record(tcp)
        .record(ipv6)
        .record(arp)
        .record(fragment)
        .record(ipInsideV6Link)
        .record(ipTooLong)
        .record(udpTooLong)
        .record(empty)
        .record(foreign)
        .record(Bytes(measurement.begin(), measurement.begin() + 60), kSeconds, 0, 60,
                static_cast<int64_t>(measurement.size()))              // snapped
        .record(Bytes(measurement.begin(), measurement.begin() + 10))  // shorter than Ethernet
        .record(measurement);
    const ReadBack back = readBack(folder_.file("mixed.pcap", file.bytes()));
    ASSERT_EQ(back.openResult, TARN_OK) << back.message;
    EXPECT_EQ(back.endResult, TARN_RECORDING_END);
    ASSERT_EQ(back.payloads.size(), 1u);
    EXPECT_EQ(back.datagrams[0].record, 12u);
    const tarn_recording_stats& s = back.stats;
    EXPECT_EQ(s.records, 12u);
    EXPECT_EQ(s.measurement, 1u);
    EXPECT_EQ(s.not_udp, 1u);
    EXPECT_EQ(s.not_ipv4, 3u);
    EXPECT_EQ(s.fragments, 1u);
    EXPECT_EQ(s.malformed, 3u);
    EXPECT_EQ(s.other_udp, 2u);
    EXPECT_EQ(s.snapped, 1u);
}

TEST_F(PcapReaderTest, AFileCutAnywhereReadsUpToTheCut) {
    CaptureBytes file;
    std::vector<std::size_t> ends;
    for (uint8_t i = 0; i < 3; ++i) {
        file.record(udpPacket(measurementPayload(1, 40, i)));
        ends.push_back(file.bytes().size());
    }
    const Bytes& whole = file.bytes();
    for (std::size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE("cut at byte " + std::to_string(length));
        const ReadBack back =
            readBack(folder_.file("cut.pcap", Bytes(whole.begin(), whole.begin() + length)));
        if (length < 24) {
            EXPECT_EQ(back.openResult, TARN_ERR_RECORDING_OPEN);
            EXPECT_EQ(back.message.rfind("cannot read " + folder_.path() + "/cut.pcap: ", 0), 0u);
            continue;
        }
        ASSERT_EQ(back.openResult, TARN_OK) << back.message;
        EXPECT_EQ(back.endResult, TARN_RECORDING_END);
        std::size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= length) {
            ++complete;
        }
        EXPECT_EQ(back.payloads.size(), complete);
        const bool atBoundary = length == 24 || (complete > 0 && ends[complete - 1] == length);
        EXPECT_EQ(back.stats.cut, atBoundary ? 0 : 1);
        if (!atBoundary) {
            EXPECT_NE(
                back.message.find("cut.pcap is cut in record " + std::to_string(complete + 1)),
                std::string::npos)
                << back.message;
        }
    }
}

TEST_F(PcapReaderTest, DamagedFilesGiveAClearErrorOrAreRead) {
    const Bytes packet = udpPacket(measurementPayload(1, 64));
    // A record claiming more bytes than libpcap accepts: the records before it are read.
    CaptureBytes hugeRecord;
    hugeRecord.record(packet).record(packet, kSeconds, 0, 0x7FFFFFFF, 0x7FFFFFFF);
    ReadBack back = readBack(folder_.file("huge-record.pcap", hugeRecord.bytes()));
    ASSERT_EQ(back.openResult, TARN_OK);
    EXPECT_EQ(back.payloads.size(), 1u);
    EXPECT_EQ(back.endResult, TARN_ERR_RECORDING_DAMAGED);
    EXPECT_NE(back.message.find("record 2 is damaged"), std::string::npos) << back.message;

    // A record longer than the rest of the file is a cut.
    CaptureBytes pastTheEnd;
    pastTheEnd.record(packet).record(packet, kSeconds, 0, 60000, 60000);
    back = readBack(folder_.file("past-the-end.pcap", pastTheEnd.bytes()));
    EXPECT_EQ(back.payloads.size(), 1u);
    EXPECT_EQ(back.endResult, TARN_RECORDING_END);
    EXPECT_EQ(back.stats.cut, 1);

    // A huge snap length in the file header changes nothing for the records.
    FileFormat hugeSnap;
    hugeSnap.snapLength = 0xFFFFFFFF;
    back = readBack(folder_.file("huge-snap.pcap", CaptureBytes(hugeSnap).record(packet).bytes()));
    ASSERT_EQ(back.openResult, TARN_OK) << back.message;
    EXPECT_EQ(back.payloads.size(), 1u);

    // An unknown link type opens and yields nothing, counted.
    FileFormat usb;
    usb.linkType = 189;
    back = readBack(folder_.file("usb.pcap", CaptureBytes(usb).record(packet).bytes()));
    ASSERT_EQ(back.openResult, TARN_OK) << back.message;
    EXPECT_EQ(back.payloads.size(), 0u);
    EXPECT_EQ(back.stats.not_ipv4, 1u);

    back = readBack(folder_.file("text.pcap", Bytes(100, 'x')));
    EXPECT_EQ(back.openResult, TARN_ERR_RECORDING_OPEN);
    EXPECT_NE(back.message.find("text.pcap"), std::string::npos);
    back = readBack(folder_.path() + "/missing.pcap");
    EXPECT_EQ(back.openResult, TARN_ERR_RECORDING_OPEN);
    EXPECT_NE(back.message.find("missing.pcap"), std::string::npos);
}

}  // namespace
}  // namespace tarn::recording::test
