// PLY, PCD and CSV files of a frame grid.
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/tarn/writers/byte_buffer.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::writers {
namespace {

// PLY and PCD hold the same record, field by field in the same type.
constexpr std::size_t kPointBytes = 24;
constexpr std::size_t kCsvLineBytes = 96;
// Enough significant digits to read every float back exactly.
constexpr int kFloatDigits = 9;

void putPoint(ByteBuffer& out, const KESOPointData& cell) {
    out.f32(cell.x);
    out.f32(cell.y);
    out.f32(cell.z);
    out.f32(static_cast<float>(cell.intensity));
    out.f32(cell.distance);
    out.u16(cell.row);
    out.u16(cell.column);
}

// The shortest decimal text that reads back as exactly value.
// (to_chars and from_chars as "%.*g" and strtof, without their locale and parsing costs.)
std::string floatText(float value) {
    char text[32];
    char* end = text;
    for (int digits = 1; digits <= kFloatDigits; ++digits) {
        end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits).ptr;
        float back = 0.0F;
        std::from_chars(text, end, back);
        if (back == value) {
            break;
        }
    }
    return std::string(text, end);
}

}  // namespace

void writePly(const std::string& path, GridView grid) {
    ByteBuffer out;
    out.reserve(kCells * kPointBytes + 512);
    out.text(
        "ply\n"
        "format binary_little_endian 1.0\n"
        "comment tarn frame, " +
        std::to_string(KESO_ROWS) + " rows of " + std::to_string(KESO_COLUMNS) +
        " columns, row-major\n"
        "element vertex " +
        std::to_string(kCells) +
        "\n"
        "property float x\n"
        "property float y\n"
        "property float z\n"
        "property float intensity\n"
        "property float distance\n"
        "property uint16 row\n"
        "property uint16 column\n"
        "end_header\n");
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            putPoint(out, grid[row][column]);
        }
    }
    out.writeTo(path);
}

void writePcd(const std::string& path, GridView grid) {
    ByteBuffer out;
    out.reserve(kCells * kPointBytes + 512);
    out.text(
        "# .PCD v0.7 - Point Cloud Data file format\n"
        "VERSION 0.7\n"
        "FIELDS x y z intensity distance row column\n"
        "SIZE 4 4 4 4 4 2 2\n"
        "TYPE F F F F F U U\n"
        "COUNT 1 1 1 1 1 1 1\n"
        "WIDTH " +
        std::to_string(KESO_COLUMNS) +
        "\n"
        "HEIGHT " +
        std::to_string(KESO_ROWS) +
        "\n"
        "VIEWPOINT 0 0 0 1 0 0 0\n"
        "POINTS " +
        std::to_string(kCells) +
        "\n"
        "DATA binary\n");
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            putPoint(out, grid[row][column]);
        }
    }
    out.writeTo(path);
}

void writeCsv(const std::string& path, GridView grid) {
    ByteBuffer out;
    out.reserve(kCells * kCsvLineBytes);
    out.text("row,column,x,y,z,distance,intensity,timestamp,tag\n");
    char line[160];
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& cell = grid[row][column];
            std::snprintf(line, sizeof line,
                          "%u,%u,%s,%s,%s,%s,%" PRIu32 ",%" PRIu64 ",%" PRIu64 "\n", cell.row,
                          cell.column, floatText(cell.x).c_str(), floatText(cell.y).c_str(),
                          floatText(cell.z).c_str(), floatText(cell.distance).c_str(),
                          cell.intensity, cell.timestamp, cell.tag);
            out.text(line);
        }
    }
    out.writeTo(path);
}

}  // namespace tarn::writers
