// Decoding of point datagrams and frames into a grid: pixel layouts, strips at the grid's edges,
// short datagrams, and frames whose halves address the same cells.
#include "stream/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <random>
#include <string>

#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "stream/assembler.h"
#include "stream/cell_coverage.h"
#include "stream/keso_shims.h"
#include "stream/stream_state.h"
#include "stream_test_support.h"

namespace tarn::stream {
namespace {

using test::GridBuffer;
using test::pointDatagram;

std::string asString(const sim::Datagram& datagram) {
    return std::string(datagram.begin(), datagram.end());
}

std::string pointDatagramWith(uint8_t pixelType, const sim::RawPoint& point, uint16_t firstRow,
                              uint16_t firstColumn) {
    sim::PointHeader header;
    header.pixelType = pixelType;
    header.firstRow = firstRow;
    header.firstColumn = firstColumn;
    header.timestamp = 0x0102030405060708ull;
    header.tag = 0xAB;
    return asString(sim::encodePointDatagram(header, {point}));
}

bool sameRecord(const KESOPointData& a, const KESOPointData& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A grid whose every byte is 0xEE, so that untouched cells are recognisable.
class DecoderTest : public ::testing::Test {
  protected:
    DecoderTest() {
        std::memset(grid.get(), kSentinelByte, grid.bytes());
        std::memset(&sentinel, kSentinelByte, sizeof sentinel);
    }

    int changedCells() {
        int changed = 0;
        for (int row = 0; row < KESO_ROWS; ++row) {
            for (int column = 0; column < KESO_COLUMNS; ++column) {
                changed += sameRecord(grid.at(row, column), sentinel) ? 0 : 1;
            }
        }
        return changed;
    }

    static constexpr int kSentinelByte = 0xEE;
    GridBuffer grid;
    KESOPointData sentinel{};
};

TEST_F(DecoderTest, DistancePixelFillsDistanceAndIntensityOnly) {
    const std::string datagram =
        pointDatagramWith(sim::kPixelType4Bytes, {-50, 3, 5, 1234, 200}, 7, 9);

    ASSERT_TRUE(decodeDatagram(datagram, grid.get()));
    const KESOPointData& point = grid.at(7, 9);
    EXPECT_EQ(point.row, 7);
    EXPECT_EQ(point.column, 9);
    EXPECT_EQ(point.distance, 1234.0f);
    EXPECT_EQ(point.intensity, 200u);
    EXPECT_EQ(point.x, 0.0f);
    EXPECT_EQ(point.y, 0.0f);
    EXPECT_EQ(point.z, 0.0f);
    EXPECT_EQ(point.timestamp, 0x0102030405060708ull);
    EXPECT_EQ(point.tag, 0xABu);
}

TEST_F(DecoderTest, CoordinatePixelConvertsRawValuesAndLeavesDistanceZero) {
    const std::string datagram =
        pointDatagramWith(sim::kPixelType8Bytes, {-50, 0, 5, 999, 17}, 0, 0);

    ASSERT_TRUE(decodeDatagram(datagram, grid.get()));
    const KESOPointData& point = grid.at(0, 0);
    EXPECT_EQ(point.x, -10.0f);
    EXPECT_EQ(point.y, 0.0f);
    EXPECT_EQ(point.z, 1.0f);
    EXPECT_EQ(point.distance, 0.0f);
    EXPECT_EQ(point.intensity, 17u);
}

TEST_F(DecoderTest, FullPixelCarriesDistanceCoordinatesAndIntensity) {
    const std::string datagram =
        pointDatagramWith(sim::kPixelType10Bytes, {-32768, 32767, 7, 65535, 255}, 149, 359);

    ASSERT_TRUE(decodeDatagram(datagram, grid.get()));
    const KESOPointData& point = grid.at(149, 359);
    EXPECT_EQ(point.distance, 65535.0f);
    EXPECT_EQ(point.x, -32768.0f / 10.0f * 2.0f);
    EXPECT_EQ(point.y, 32767.0f / 10.0f * 2.0f);
    EXPECT_EQ(point.z, 7.0f / 10.0f * 2.0f);
    EXPECT_EQ(point.intensity, 255u);
    EXPECT_EQ(changedCells(), 1);
}

TEST_F(DecoderTest, PointsFillAStripFourColumnsWideRowAfterRow) {
    ASSERT_TRUE(decodeDatagram(asString(pointDatagram(0, 10, 20, 6, 100)), grid.get()));

    EXPECT_EQ(grid.at(10, 20).distance, 100.0f);
    EXPECT_EQ(grid.at(10, 23).distance, 103.0f);
    EXPECT_EQ(grid.at(11, 20).distance, 104.0f);
    EXPECT_EQ(grid.at(11, 21).distance, 105.0f);
    EXPECT_EQ(changedCells(), 6);
}

TEST_F(DecoderTest, StripAtTheLastRowsSkipsPointsBelowTheGrid) {
    ASSERT_TRUE(decodeDatagram(asString(pointDatagram(0, 148, 0, 12, 1)), grid.get()));

    EXPECT_EQ(grid.at(148, 0).distance, 1.0f);
    EXPECT_EQ(grid.at(149, 3).distance, 8.0f);
    EXPECT_EQ(changedCells(), 8);
}

TEST_F(DecoderTest, StripAtTheLastColumnsSkipsPointsRightOfTheGrid) {
    ASSERT_TRUE(decodeDatagram(asString(pointDatagram(0, 5, 358, 8, 1)), grid.get()));

    EXPECT_EQ(grid.at(5, 358).distance, 1.0f);
    EXPECT_EQ(grid.at(5, 359).distance, 2.0f);
    EXPECT_EQ(grid.at(6, 358).distance, 5.0f);
    EXPECT_EQ(grid.at(6, 359).distance, 6.0f);
    EXPECT_TRUE(sameRecord(grid.at(6, 0), sentinel));
    EXPECT_TRUE(sameRecord(grid.at(7, 0), sentinel));
    EXPECT_EQ(changedCells(), 4);
}

TEST_F(DecoderTest, IncompletePixelsAndShortDatagramsAreNeverRead) {
    std::string onePointAndThreeBytes =
        pointDatagramWith(sim::kPixelType4Bytes, {0, 0, 0, 9, 9}, 0, 0);
    onePointAndThreeBytes.append("\x01\x02\x03", 3);
    ASSERT_EQ(onePointAndThreeBytes.size(), 52u);
    ASSERT_TRUE(decodeDatagram(onePointAndThreeBytes, grid.get()));
    EXPECT_EQ(changedCells(), 1);

    const std::string headerOnly = onePointAndThreeBytes.substr(0, 45);
    const std::string shorterThanHeader = onePointAndThreeBytes.substr(0, 44);
    const std::string fragment = onePointAndThreeBytes.substr(0, 3);
    for (const std::string& datagram : {headerOnly, shorterThanHeader, fragment}) {
        EXPECT_TRUE(decodeDatagram(datagram, grid.get()));
    }
    EXPECT_EQ(changedCells(), 1);
}

TEST_F(DecoderTest, DatagramOfAnotherKindEndsItsHalfWithAMessage) {
    std::string imu = asString(pointDatagram(0, 0, 0, 4, 1));
    imu[3] = 4;
    const std::list<std::string> half{asString(pointDatagram(0, 0, 0, 4, 1)), imu,
                                      asString(pointDatagram(0, 1, 0, 4, 5))};

    ::testing::internal::CaptureStdout();
    decodeHalf(half.begin(), half.end(), grid.get());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "head->dataType != 0x01\n");
    EXPECT_EQ(changedCells(), 4);
}

TEST_F(DecoderTest, WholeSimulatedFrameFillsEveryCell) {
    const sim::Scene scene({});
    m_one_pixel_len.store(10);
    const std::vector<sim::Datagram> datagrams =
        sim::encodeFrame(scene, 3, {sim::kPixelType10Bytes, 9, 77});
    std::list<std::string> frame;
    for (const sim::Datagram& datagram : datagrams) {
        frame.push_back(asString(datagram));
    }
    decodeFrame(frame, grid.get());
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const sim::RawPoint raw = scene.point(row, column, 3);
            const KESOPointData& cell = grid.at(row, column);
            ASSERT_EQ(cell.row, row);
            ASSERT_EQ(cell.column, column);
            ASSERT_EQ(cell.distance, static_cast<float>(raw.distance));
            ASSERT_EQ(cell.x, sim::Scene::decode(raw.x));
            ASSERT_EQ(cell.timestamp, 77u);
            ASSERT_EQ(cell.tag, 9u);
        }
    }
}

TEST_F(DecoderTest, FrameOfOneDatagramIsDecodedWhole) {
    m_one_pixel_len.store(10);
    decodeFrame({asString(pointDatagram(sim::kFrameFlagLast, 0, 0, 8, 1))}, grid.get());
    EXPECT_EQ(changedCells(), 8);
}

TEST_F(DecoderTest, EachDatagramIsDecodedWithItsOwnPixelType) {
    // The latest accepted pixel size belongs to some other datagram; it must not matter here.
    m_one_pixel_len.store(4);
    const std::list<std::string> frame{
        pointDatagramWith(sim::kPixelType10Bytes, {-50, 5, 10, 1000, 1}, 0, 0),
        pointDatagramWith(sim::kPixelType8Bytes, {-50, 5, 10, 2000, 2}, 1, 0),
        pointDatagramWith(sim::kPixelType4Bytes, {-50, 5, 10, 3000, 3}, 2, 0)};

    decodeFrame(frame, grid.get());
    EXPECT_EQ(grid.at(0, 0).x, -10.0f);
    EXPECT_EQ(grid.at(0, 0).distance, 1000.0f);
    EXPECT_EQ(grid.at(1, 0).x, -10.0f);
    EXPECT_EQ(grid.at(1, 0).z, 2.0f);
    EXPECT_EQ(grid.at(1, 0).distance, 0.0f);
    EXPECT_EQ(grid.at(2, 0).x, 0.0f);
    EXPECT_EQ(grid.at(2, 0).distance, 3000.0f);
    EXPECT_EQ(changedCells(), 3);
}

TEST_F(DecoderTest, MergedFrameWritesSharedCellsWholeWithTheLaterDatagramWinning) {
    m_one_pixel_len.store(10);
    // A frame whose first datagram was lost: the previous frame's datagrams, then the next one's.
    const std::list<std::string> merged{asString(pointDatagram(0, 0, 0, 8, 100, 2, 1, 1)),
                                        asString(pointDatagram(2, 2, 0, 4, 200, 2, 1, 1)),
                                        asString(pointDatagram(1, 0, 0, 8, 300, 2, 2, 2)),
                                        asString(pointDatagram(2, 2, 0, 4, 400, 2, 2, 2))};
    decodeFrame(merged, grid.get());
    EXPECT_EQ(changedCells(), 12);
    EXPECT_EQ(grid.at(0, 0).distance, 300.0f);
    EXPECT_EQ(grid.at(0, 0).timestamp, 2u);
    EXPECT_EQ(grid.at(2, 3).distance, 403.0f);
    EXPECT_EQ(grid.at(2, 3).tag, 2u);
}

TEST_F(DecoderTest, CellsTheFrameDoesNotAddressKeepTheirValues) {
    m_one_pixel_len.store(10);
    decodeFrame({asString(pointDatagram(2, 0, 0, 8, 1))}, grid.get());
    decodeFrame({asString(pointDatagram(2, 1, 0, 8, 50))}, grid.get());

    EXPECT_EQ(grid.at(0, 0).distance, 1.0f);
    EXPECT_EQ(grid.at(1, 0).distance, 50.0f);
    EXPECT_EQ(grid.at(2, 3).distance, 57.0f);
    EXPECT_EQ(changedCells(), 12);
}

// A frame is written band by band where its datagrams form disjoint bands of rows, and
// datagram by datagram otherwise; either way the grid and the cell count must be what writing
// each datagram in arrival order gives. Frames here: the simulator's, reordered and with
// duplicates, in every pixel type and mixed; and datagrams of random placement and length,
// overlapping and reaching past the grid's edges.
class FrameWritingTest : public ::testing::Test {
  protected:
    std::mt19937 random{11};

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    void expectSameAsDatagramByDatagram(const std::list<std::string>& frame) {
        GridBuffer written;
        GridBuffer expected;
        std::memset(written.get(), 0x5C, written.bytes());
        std::memset(expected.get(), 0x5C, expected.bytes());
        CellCoverage coverage;
        for (const std::string& datagram : frame) {
            decodeDatagram(datagram, expected.get());
            coverage.add(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
        }
        const tarn_frame_info info =
            decodeFrame(queuedFrameOf(frame, spareRunPool()), written.get(), nullptr);
        ASSERT_EQ(std::memcmp(written.get(), expected.get(), written.bytes()), 0);
        ASSERT_EQ(info.cells_written, coverage.count());
    }
};

TEST_F(FrameWritingTest, SimulatedFramesReorderedAndDuplicatedInEveryPixelType) {
    const sim::Scene scene({});
    const uint8_t types[] = {sim::kPixelType4Bytes, sim::kPixelType8Bytes, sim::kPixelType10Bytes};
    for (int round = 0; round < 12; ++round) {
        std::vector<std::string> datagrams;
        for (uint8_t type : types) {
            if (round % 4 == 3 || type == types[round % 3]) {
                for (const sim::Datagram& datagram : sim::encodeFrame(scene, round, {type, 1, 2})) {
                    datagrams.push_back(asString(datagram));
                }
            }
        }
        for (int duplicate = 0; duplicate < round; ++duplicate) {
            datagrams.push_back(datagrams[pick(0, static_cast<int>(datagrams.size()) - 1)]);
        }
        if (round % 2 == 1) {
            std::shuffle(datagrams.begin(), datagrams.end(), random);
        }
        if (round == 5) {
            datagrams.resize(datagrams.size() / 3);
        }
        expectSameAsDatagramByDatagram({datagrams.begin(), datagrams.end()});
    }
}

TEST_F(FrameWritingTest, DatagramsOfRandomPlacementAndLength) {
    const uint8_t types[] = {sim::kPixelType4Bytes, sim::kPixelType8Bytes, sim::kPixelType10Bytes};
    for (int round = 0; round < 200; ++round) {
        std::list<std::string> frame;
        // Few distinct first rows and columns on multiples of 4 in some rounds, so that bands
        // form and sometimes share columns; anywhere in others.
        const bool aligned = round % 2 == 0;
        for (int i = pick(1, 40); i > 0; --i) {
            const auto row = static_cast<uint16_t>(aligned ? 40 * pick(0, 4) : pick(0, 160));
            const auto column = static_cast<uint16_t>(aligned ? 4 * pick(0, 91) : pick(0, 370));
            frame.push_back(asString(pointDatagram(sim::kFrameFlagMiddle, row, column,
                                                   pick(0, 170), pick(-3000, 3000),
                                                   types[pick(0, 2)], pick(0, 9), 7)));
        }
        expectSameAsDatagramByDatagram(frame);
    }
}

}  // namespace
}  // namespace tarn::stream
