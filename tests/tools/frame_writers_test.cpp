// The frame files read back: PLY and PCD headers and payloads against the grid, the two agreeing
// on every field's type, CSV lines, and the PNGs' pixels through libpng and their legends.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
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

// A PNG as stored: header values, rows untransformed (16-bit samples most significant byte first)
// and the tEXt chunks, read through libpng's low-level interface.
struct RawPng {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colourType = -1;
    std::vector<std::vector<uint8_t>> rows;
    std::map<std::string, std::string> texts;
    std::vector<png_color> palette;
};

RawPng readRawPng(const std::string& path) {
    RawPng out;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        ADD_FAILURE() << "cannot open " << path;
        return out;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        ADD_FAILURE() << "libpng cannot read " << path;
        return out;
    }
    png_init_io(png, file.get());
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.bitDepth = png_get_bit_depth(png, info);
    out.colourType = png_get_color_type(png, info);
    const png_bytepp rows = png_get_rows(png, info);
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    for (png_uint_32 row = 0; row < out.height; ++row) {
        out.rows.emplace_back(rows[row], rows[row] + rowBytes);
    }
    png_colorp palette = nullptr;
    int colours = 0;
    if (png_get_PLTE(png, info, &palette, &colours) != 0) {
        out.palette.assign(palette, palette + colours);
    }
    png_textp texts = nullptr;
    const int count = png_get_text(png, info, &texts, nullptr);
    for (int i = 0; i < count; ++i) {
        out.texts[texts[i].key] = texts[i].text;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return out;
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
             {"/f.ply", "/f.pcd", "/f.csv", "/f-depth.png", "/f-depth16.png", "/f-intensity.png"}) {
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

    // The 24-byte record that PLY and PCD share.
    void expectCellAt(const std::string& payload, std::size_t offset, int row, int column) {
        const KESOPointData& cell = grid_[row][column];
        EXPECT_EQ(load<float>(payload, offset), cell.x);
        EXPECT_EQ(load<float>(payload, offset + 4), cell.y);
        EXPECT_EQ(load<float>(payload, offset + 8), cell.z);
        EXPECT_EQ(load<float>(payload, offset + 12), static_cast<float>(cell.intensity));
        EXPECT_EQ(load<float>(payload, offset + 16), cell.distance);
        EXPECT_EQ(load<uint16_t>(payload, offset + 20), row);
        EXPECT_EQ(load<uint16_t>(payload, offset + 22), column);
    }

    // The colour of a pixel, through the palette of an indexed picture.
    static Rgb pixel(const RawPng& png, int row, int column) {
        if (png.colourType == PNG_COLOR_TYPE_PALETTE) {
            const png_color& colour = png.palette.at(png.rows[row][column]);
            return {colour.red, colour.green, colour.blue};
        }
        const uint8_t* at = png.rows[row].data() + column * 3;
        return {at[0], at[1], at[2]};
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
              "property float intensity\nproperty float distance\n"
              "property uint16 row\nproperty uint16 column\nend_header\n");
    constexpr std::size_t kVertex = 24;
    ASSERT_EQ(payload.size(), kCells * kVertex);
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            expectCellAt(payload, (row * kColumns + column) * kVertex, row, column);
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
            expectCellAt(payload, (row * kColumns + column) * kPoint, row, column);
        }
    }
}

TEST_F(FrameFilesTest, CsvHasAHeaderAndOneExactLinePerCell) {
    grid_[3][4].x = -897.6f;
    grid_[3][4].distance = 2397.0f;
    grid_[3][4].timestamp = 12345678901234ULL;
    // Where the text switches between fixed and exponent form, and a power of two.
    grid_[3][5].x = 0.0001f;
    grid_[3][5].y = -1e-05f;
    grid_[3][5].z = 1048576.0f;
    grid_[3][5].distance = 1.5e9f;
    // A different y in every other cell: numbers that share a slot of the writer's table of texts.
    for (std::size_t cell = 6; cell < kCells; cell += 2) {
        grid_[cell / kColumns][cell % kColumns].y = static_cast<float>(cell) * -0.37f;
    }
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
    const std::string text = readFile(directory_ + "/f.csv");
    EXPECT_NE(text.find("\n3,4,-897.6,"), std::string::npos);
    EXPECT_NE(text.find("\n3,5,0.0001,-1e-05,1048576,1.5e+09,"), std::string::npos);
}

// Every property of the PLY is in a type that Open3D's tensor reader (and every other common
// reader) takes, and each has the PCD field of the same name in the same type.
TEST_F(FrameFilesTest, PlyAndPcdAgreeOnEveryFieldsType) {
    tarn::writers::writePly(directory_ + "/f.ply", grid_.get());
    tarn::writers::writePcd(directory_ + "/f.pcd", grid_.get());
    const std::map<std::string, std::string> pcdTypeOf = {
        {"uchar", "U1"}, {"uint8", "U1"},   {"uint16", "U2"}, {"int", "I4"},    {"int32", "I4"},
        {"float", "F4"}, {"float32", "F4"}, {"double", "F8"}, {"float64", "F8"}};
    std::vector<std::string> plyFields;
    std::vector<std::string> plyTypes;
    std::istringstream ply(headerAndPayload(directory_ + "/f.ply", "end_header\n").first);
    for (std::string word; ply >> word;) {
        if (word == "property") {
            std::string type;
            std::string name;
            ply >> type >> name;
            ASSERT_EQ(pcdTypeOf.count(type), 1u) << name << ": " << type;
            plyFields.push_back(name);
            plyTypes.push_back(pcdTypeOf.at(type));
        }
    }
    std::map<std::string, std::vector<std::string>> pcd;
    std::istringstream header(headerAndPayload(directory_ + "/f.pcd", "DATA binary\n").first);
    for (std::string line; std::getline(header, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        for (std::string word; words >> word;) {
            pcd[key].push_back(word);
        }
    }
    EXPECT_EQ(pcd["FIELDS"], plyFields);
    std::vector<std::string> pcdTypes;
    for (std::size_t i = 0; i < pcd["TYPE"].size() && i < pcd["SIZE"].size(); ++i) {
        pcdTypes.push_back(pcd["TYPE"][i] + pcd["SIZE"][i]);
    }
    EXPECT_EQ(pcdTypes, plyTypes);
}

TEST_F(FrameFilesTest, PngsReadBackWithTheConventionsAndLegends) {
    // A cell with coordinates and no distance: its depth is the range, 13.
    grid_[0][3].distance = 0.0f;
    grid_[0][3].x = 3.0f;
    grid_[0][3].y = 4.0f;
    grid_[0][3].z = 12.0f;
    const auto paths = tarn::writers::writeFrameFiles(directory_, "f", grid_.get());
    ASSERT_EQ(paths.size(), 6u);

    const RawPng depth = readRawPng(directory_ + "/f-depth.png");
    ASSERT_EQ(depth.rows.size(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(depth.colourType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(pixel(depth, 0, 0), tarn::writers::kNoData);
    EXPECT_EQ(pixel(depth, 0, 1), kLastColour);   // nearest: bright
    EXPECT_EQ(pixel(depth, 0, 2), kFirstColour);  // farthest: dark
    EXPECT_EQ(depth.texts.at("Description"),
              "Depth: yellow nearest (1), through green and blue, to dark violet farthest "
              "(60000) in the sensor's distance unit; black: no measurement; 360 columns x 150 "
              "rows, row 0 at the top");

    const RawPng depth16 = readRawPng(directory_ + "/f-depth16.png");
    ASSERT_EQ(depth16.rows.size(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(depth16.width, static_cast<png_uint_32>(kColumns));
    EXPECT_EQ(depth16.bitDepth, 16);
    EXPECT_EQ(depth16.colourType, PNG_COLOR_TYPE_GRAY);
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            const uint8_t* at = depth16.rows[row].data() + column * 2;
            const float expected = row == 0 && column == 3 ? 13.0f : grid_[row][column].distance;
            ASSERT_EQ(at[0] * 256 + at[1], expected) << row << ", " << column;
        }
    }
    EXPECT_NE(depth16.texts.at("Description").find("in the sensor's distance unit"),
              std::string::npos);

    const RawPng intensity = readRawPng(directory_ + "/f-intensity.png");
    ASSERT_EQ(intensity.rows.size(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(intensity.colourType, PNG_COLOR_TYPE_PALETTE);
    EXPECT_EQ(pixel(intensity, 0, 0), kFirstColour);
    EXPECT_EQ(pixel(intensity, 0, 1), kLastColour);
    for (int column = 0; column < kColumns; ++column) {
        const uint32_t value = std::min<uint32_t>(grid_[1][column].intensity, 255);
        ASSERT_EQ(pixel(intensity, 1, column), tarn::writers::colourAt(value / 255.0)) << column;
    }
    EXPECT_EQ(intensity.texts.at("Description").rfind("Intensity: dark violet 0, ", 0), 0u);
    EXPECT_EQ(tarn::writers::colourAt(0.5), (Rgb{33, 144, 141}));
}

TEST_F(FrameFilesTest, OnlyTheKindsAskedForAreWritten) {
    const auto paths = tarn::writers::writeFrameFiles(
        directory_, "f", grid_.get(), tarn::writers::kPcdFile | tarn::writers::kDepth16PngFile);
    EXPECT_EQ(paths,
              (std::vector<std::string>{directory_ + "/f.pcd", directory_ + "/f-depth16.png"}));
    for (const char* name : {"/f.ply", "/f.csv", "/f-depth.png", "/f-intensity.png"}) {
        EXPECT_NE(access((directory_ + name).c_str(), F_OK), 0) << name;
    }
}

TEST(FrameFiles, UnwritablePathIsReportedWithItsName) {
    Grid grid{new KESOPointData[kRows][kColumns]()};
    for (auto write : {tarn::writers::writePly, tarn::writers::writePcd, tarn::writers::writeCsv,
                       tarn::writers::writeDepthPng, tarn::writers::writeDepth16Png,
                       tarn::writers::writeIntensityPng}) {
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
