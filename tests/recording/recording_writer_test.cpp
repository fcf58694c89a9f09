// The recording writer: what the tap takes comes back from the reader as it went in, counted;
// and a disk that refuses the data stops the writer with a clear error, leaving a file of whole
// records that holds exactly what the counters say was written.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/recording/capture_files.h"
#include "tests/stream/stream_test_support.h"

namespace tarn::recording::test {
namespace {

class RecordingWriterTest : public ::testing::Test {
  protected:
    tarn_recording_writer* open(const std::string& path, std::size_t queue = 0) {
        tarn_recording_writer* writer = nullptr;
        char error[256] = {};
        EXPECT_EQ(tarn_recording_writer_open(path.c_str(), queue, &writer, error, sizeof error),
                  TARN_OK)
            << error;
        return writer;
    }

    static tarn_datagram_meta meta(uint64_t i) {
        tarn_datagram_meta meta{};
        meta.source_address = 0x7F000001;
        meta.source_port = static_cast<uint16_t>(6301 + i % 2);
        meta.destination_address = 0x7F000002;
        meta.destination_port = 7001;
        meta.receive_realtime_ns = 1700000000123456789LL + static_cast<int64_t>(i) * 1000;
        return meta;
    }

    ScratchFolder folder_;
};

TEST_F(RecordingWriterTest, WhatTheTapTakesIsReadBackAsItWentIn) {
    const std::string path = folder_.path() + "/tap.pcap";
    tarn_recording_writer* writer = open(path);
    const std::vector<std::size_t> lengths = {2, 46, 1000, TARN_MAX_DATAGRAM_BYTES, 2000};
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const Bytes payload = measurementPayload(1, lengths[i], static_cast<uint8_t>(i));
        const tarn_datagram_meta m = meta(i);
        tarn_recording_writer_tap(payload.data(), payload.size(), &m, writer);
    }
    tarn_recording_writer_stats stats{};
    ASSERT_EQ(tarn_recording_writer_finish(writer, &stats), TARN_OK);
    EXPECT_STREQ(tarn_recording_writer_error(writer), "");
    tarn_recording_writer_close(writer);
    EXPECT_EQ(stats.taken, lengths.size());
    EXPECT_EQ(stats.written, lengths.size());
    EXPECT_EQ(stats.dropped, 0u);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(stats.bytes, static_cast<uint64_t>(info.st_size));

    const ReadBack back = readBack(path);
    ASSERT_EQ(back.payloads.size(), lengths.size());
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        SCOPED_TRACE(i);
        // Longer than the library reads, a datagram is kept as a socket would give it.
        const std::size_t kept = std::min<std::size_t>(lengths[i], TARN_MAX_DATAGRAM_BYTES);
        EXPECT_EQ(back.payloads[i], measurementPayload(1, kept, static_cast<uint8_t>(i)));
        const tarn_datagram_meta m = meta(i);
        EXPECT_EQ(back.datagrams[i].capture_realtime_ns, m.receive_realtime_ns);
        EXPECT_EQ(back.datagrams[i].source_address, m.source_address);
        EXPECT_EQ(back.datagrams[i].source_port, m.source_port);
        EXPECT_EQ(back.datagrams[i].destination_address, m.destination_address);
        EXPECT_EQ(back.datagrams[i].destination_port, m.destination_port);
    }
}

TEST_F(RecordingWriterTest, AFullQueueDropsAndCountsWhatTheFileLacks) {
    const std::string path = folder_.path() + "/small-queue.pcap";
    tarn_recording_writer* writer = open(path, 2);
    const Bytes payload = measurementPayload(1, 1400);
    constexpr uint64_t kTaken = 3000;
    for (uint64_t i = 0; i < kTaken; ++i) {
        const tarn_datagram_meta m = meta(i);
        tarn_recording_writer_tap(payload.data(), payload.size(), &m, writer);
    }
    tarn_recording_writer_stats stats{};
    ASSERT_EQ(tarn_recording_writer_finish(writer, &stats), TARN_OK);
    tarn_recording_writer_close(writer);
    EXPECT_EQ(stats.taken, kTaken);
    EXPECT_EQ(stats.written + stats.dropped, kTaken);
    EXPECT_EQ(readBack(path).payloads.size(), stats.written);
}

TEST_F(RecordingWriterTest, AFullDeviceIsAnErrorAtOpen) {
    tarn_recording_writer* writer = nullptr;
    char error[256] = {};
    EXPECT_EQ(tarn_recording_writer_open("/dev/full", 0, &writer, error, sizeof error),
              TARN_ERR_RECORDING_WRITE);
    EXPECT_EQ(writer, nullptr);
    EXPECT_STREQ(error, "cannot write /dev/full: No space left on device");
    EXPECT_EQ(tarn_recording_writer_open(folder_.path().c_str(), 0, &writer, error, sizeof error),
              TARN_ERR_RECORDING_WRITE);
    EXPECT_NE(std::string(error).find("Is a directory"), std::string::npos) << error;
}

TEST_F(RecordingWriterTest, AFileSizeLimitStopsTheWriterWithWholeRecords) {
    const std::string path = folder_.path() + "/limited.pcap";
    constexpr rlim_t kLimit = 300000;
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    ASSERT_TRUE(before.rlim_cur == RLIM_INFINITY || before.rlim_cur > kLimit);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    tarn_recording_writer* writer = open(path);
    const Bytes payload = measurementPayload(1, 1000);
    uint64_t taken = 0;
    tarn_recording_writer_stats stats{};
    // Feeds the tap until the writer fails, and some more after it.
    ASSERT_TRUE(stream::test::waitUntil([&] {
        for (int i = 0; i < 50; ++i, ++taken) {
            const tarn_datagram_meta m = meta(taken);
            tarn_recording_writer_tap(payload.data(), payload.size(), &m, writer);
        }
        tarn_recording_writer_get_stats(writer, &stats);
        return stats.failed == 1;
    }));
    for (int i = 0; i < 10; ++i, ++taken) {
        const tarn_datagram_meta m = meta(taken);
        tarn_recording_writer_tap(payload.data(), payload.size(), &m, writer);
    }
    EXPECT_EQ(tarn_recording_writer_finish(writer, &stats), TARN_ERR_RECORDING_WRITE);
    EXPECT_EQ(std::string(tarn_recording_writer_error(writer)),
              "cannot write " + path + ": File too large");
    tarn_recording_writer_close(writer);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(stats.failed, 1);
    EXPECT_EQ(stats.taken, taken);
    EXPECT_EQ(stats.written + stats.dropped, taken);
    EXPECT_GT(stats.written, 0u);
    EXPECT_LE(stats.bytes, kLimit);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(static_cast<uint64_t>(info.st_size), stats.bytes);
    const ReadBack back = readBack(path);
    EXPECT_EQ(back.endResult, TARN_RECORDING_END);
    EXPECT_EQ(back.stats.cut, 0);
    EXPECT_EQ(back.payloads.size(), stats.written);
}

}  // namespace
}  // namespace tarn::recording::test
