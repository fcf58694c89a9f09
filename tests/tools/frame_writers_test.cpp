// The frame files read back: PLY and PCD headers and payloads against the grid, CSV lines, and
// both PNGs through libpng.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "KESOApi.h"
#include "sim/scene.h"
#include "sim/wall_frame.h"
#include "tools/tarn/writers/colour_map.h"
#include "tools/tarn/writers/frame_files.h"

namespace {

using tarn::writers::Rgb;
using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

constexpr int kRows = KESO_ROWS;
constexpr int kColumns = KESO_COLUMNS;
constexpr std::size_t kCells = static_cast<std::size_t>(kRows) * kColumns;
constexpr Rgb kFirstColour = {68, 1, 84};
constexpr Rgb kLastColour = {253, 231, 37};

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

template <typename T>
T load(const std::string& bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class FrameFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-frame-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        // A simulated wall with the corners changed: no measurement at all in [0][0], the
        // nearest cell at [0][1], the farthest at [0][2], and an unusual tag and intensities.
        tarn::sim::fillGrid(tarn::sim::Scene({}), 7, grid_.get());
        grid_[0][0].distance = 0.0f;
        grid_[0][0].x = grid_[0][0].y = grid_[0][0].z = 0.0f;
        grid_[0][0].intensity = 0;
        grid_[0][1].distance = 1.0f;
        grid_[0][1].intensity = 255;
        grid_[0][2].distance = 60000.0f;
        grid_[149][359].tag = 201;
    }
    void TearDown() override {
        for (const char* name :
             {"/f.ply", "/f.pcd", "/f.csv", "/f-depth.png", "/f-intensity.png"}) {
            std::remove((directory_ + name).c_str());
        }
        rmdir(directory_.c_str());
    }

    // Splits a file at the line that ends its header.
    std::pair<std::string, std::string> headerAndPayload(const std::string& path,
                                                         const std::string& lastLine) {
        const std::string bytes = readFile(path);
        const std::size_t end = bytes.find(lastLine);
        EXPECT_NE(end, std::string::npos);
        return {bytes.substr(0, end + lastLine.size()), bytes.substr(end + lastLine.size())};
    }

    void expectCellAt(const std::string& payload, std::size_t offset, int row, int column,
                      std::size_t intensityWidth) {
        const KESOPointData& cell = grid_[row][column];
        EXPECT_EQ(load<float>(payload, offset), cell.x);
        EXPECT_EQ(load<float>(payload, offset + 4), cell.y);
        EXPECT_EQ(load<float>(payload, offset + 8), cell.z);
        const std::size_t after = offset + 12 + intensityWidth;
        if (intensityWidth == 1) {
            EXPECT_EQ(load<uint8_t>(payload, offset + 12), cell.intensity);
        } else {
            EXPECT_EQ(load<float>(payload, offset + 12), static_cast<float>(cell.intensity));
        }
        EXPECT_EQ(load<float>(payload, after), cell.distance);
        EXPECT_EQ(load<uint16_t>(payload, after + 4), row);
        EXPECT_EQ(load<uint16_t>(payload, after + 6), column);
    }

    std::vector<uint8_t> readPng(const std::string& path) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        EXPECT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
        EXPECT_EQ(image.width, static_cast<png_uint_32>(kColumns));
        EXPECT_EQ(image.height, static_cast<png_uint_32>(kRows));
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        EXPECT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0);
        return pixels;
    }

    static Rgb pixel(const std::vector<uint8_t>& pixels, int row, int column) {
        const std::size_t at = (static_cast<std::size_t>(row) * kColumns + column) * 3;
        return {pixels[at], pixels[at + 1], pixels[at + 2]};
    }

    std::string directory_;
    Grid grid_{new KESOPointData[kRows][kColumns]};
};

TEST_F(FrameFilesTest, PlyHeaderAndEveryVertexMatchTheGrid) {
    tarn::writers::writePly(directory_ + "/f.ply", grid_.get());
    const auto [header, payload] = headerAndPayload(directory_ + "/f.ply", "end_header\n");
    EXPECT_EQ(header,
              "ply\nformat binary_little_endian 1.0\n"
              "comment tarn frame, 150 rows of 360 columns, row-major\n"
              "element vertex 54000\n"
              "property float x\nproperty float y\nproperty float z\n"
              "property uchar intensity\nproperty float distance\n"
              "property ushort row\nproperty ushort column\nend_header\n");
    constexpr std::size_t kVertex = 21;
    ASSERT_EQ(payload.size(), kCells * kVertex);
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            expectCellAt(payload, (row * kColumns + column) * kVertex, row, column, 1);
        }
    }
}

TEST_F(FrameFilesTest, PcdHeaderAndEveryPointMatchTheGrid) {
    tarn::writers::writePcd(directory_ + "/f.pcd", grid_.get());
    const auto [header, payload] = headerAndPayload(directory_ + "/f.pcd", "DATA binary\n");
    EXPECT_EQ(header,
              "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n"
              "FIELDS x y z intensity distance row column\nSIZE 4 4 4 4 4 2 2\n"
              "TYPE F F F F F U U\nCOUNT 1 1 1 1 1 1 1\nWIDTH 360\nHEIGHT 150\n"
              "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 54000\nDATA binary\n");
    constexpr std::size_t kPoint = 24;
    ASSERT_EQ(payload.size(), kCells * kPoint);
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            expectCellAt(payload, (row * kColumns + column) * kPoint, row, column, 4);
        }
    }
}

TEST_F(FrameFilesTest, CsvHasAHeaderAndOneExactLinePerCell) {
    grid_[3][4].x = -897.6f;
    grid_[3][4].distance = 2397.0f;
    grid_[3][4].timestamp = 12345678901234ULL;
    tarn::writers::writeCsv(directory_ + "/f.csv", grid_.get());
    std::istringstream lines(readFile(directory_ + "/f.csv"));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "row,column,x,y,z,distance,intensity,timestamp,tag");
    std::size_t count = 0;
    while (std::getline(lines, line)) {
        const KESOPointData& cell = grid_[count / kColumns][count % kColumns];
        float x = 0;
        float y = 0;
        float z = 0;
        float distance = 0;
        unsigned row = 0;
        unsigned column = 0;
        unsigned intensity = 0;
        unsigned long long timestamp = 0;
        unsigned long long tag = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%u,%u,%f,%f,%f,%f,%u,%llu,%llu", &row, &column, &x, &y,
                              &z, &distance, &intensity, &timestamp, &tag),
                  9)
            << line;
        EXPECT_TRUE(row == cell.row && column == cell.column && x == cell.x && y == cell.y &&
                    z == cell.z && distance == cell.distance && intensity == cell.intensity &&
                    timestamp == cell.timestamp && tag == cell.tag)
            << line;
        ++count;
    }
    EXPECT_EQ(count, kCells);
    EXPECT_NE(readFile(directory_ + "/f.csv").find("\n3,4,-897.6,"), std::string::npos);
}

TEST_F(FrameFilesTest, PngsReadBackWithTheFramesColours) {
    const auto paths = tarn::writers::writeFrameFiles(directory_, "f", grid_.get());
    ASSERT_EQ(paths.size(), 5u);
    const std::vector<uint8_t> depth = readPng(directory_ + "/f-depth.png");
    ASSERT_EQ(depth.size(), kCells * 3);
    EXPECT_EQ(pixel(depth, 0, 0), tarn::writers::kNoData);
    EXPECT_EQ(pixel(depth, 0, 1), kFirstColour);  // nearest
    EXPECT_EQ(pixel(depth, 0, 2), kLastColour);   // farthest
    const std::vector<uint8_t> intensity = readPng(directory_ + "/f-intensity.png");
    ASSERT_EQ(intensity.size(), kCells * 3);
    EXPECT_EQ(pixel(intensity, 0, 0), kFirstColour);
    EXPECT_EQ(pixel(intensity, 0, 1), kLastColour);
    EXPECT_EQ(tarn::writers::colourAt(0.5), (Rgb{33, 144, 141}));
}

TEST(FrameFiles, UnwritablePathIsReportedWithItsName) {
    Grid grid{new KESOPointData[kRows][kColumns]()};
    for (auto write : {tarn::writers::writePly, tarn::writers::writePcd, tarn::writers::writeCsv,
                       tarn::writers::writeDepthPng}) {
        try {
            write("/nonexistent-dir/f", grid.get());
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("cannot write /nonexistent-dir/f: ", 0), 0u)
                << e.what();
        }
    }
}

}  // namespace
