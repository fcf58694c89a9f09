// The depth and intensity images of a frame grid, encoded with libpng in memory and written in one
// go, each with its legend in a tEXt chunk ("Description").
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/tarn/writers/byte_buffer.h"
#include "tools/tarn/writers/colour_map.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::writers {
namespace {

constexpr int kRgbChannels = 3;
constexpr double kMaxIntensity = 255.0;
constexpr std::size_t kIntensities = 256;
constexpr double kMaxDepth16 = 65535.0;
constexpr const char* kLegendKey = "Description";
// How each picture is compressed: zlib's Huffman coding alone (no search for repeats) of rows
// each stored as its difference from the row above, or, for the intensity picture, of its colour
// indices as they are. On the simulated wall that encodes a frame's three pictures in about a
// third of the time zlib's fastest level took with the Up filter on each picture's samples (RGB
// for intensity too), and makes them smaller: depth 42 to 33 KB, 16-bit depth 23 to 19 KB,
// intensity 155 to 55 KB (the same colours).
struct Compression {
    int strategy;
    int filter;
};
constexpr Compression kSmoothPicture{Z_HUFFMAN_ONLY, PNG_FILTER_UP};
constexpr Compression kIndexedPicture{Z_HUFFMAN_ONLY, PNG_FILTER_NONE};
constexpr const char* kGridText = "; 360 columns x 150 rows, row 0 at the top";

struct Picture {
    int bitDepth = 8;
    int colourType = PNG_COLOR_TYPE_RGB;
    int bytesPerPixel = kRgbChannels;
    Compression compression = kSmoothPicture;
    std::vector<uint8_t> pixels;     // row after row, 16-bit samples most significant byte first
    std::vector<png_color> palette;  // the colours of PNG_COLOR_TYPE_PALETTE's indices
    std::string legend;
};

// The cell's depth: its distance, or its range when the pixels carry only coordinates; 0 when it
// holds no measurement.
double depthOf(const KESOPointData& cell) {
    if (cell.distance > 0.0f) {
        return cell.distance;
    }
    return std::sqrt(static_cast<double>(cell.x) * cell.x + static_cast<double>(cell.y) * cell.y +
                     static_cast<double>(cell.z) * cell.z);
}

// The depth as a 16-bit sample: rounded, at most 65535, 0 for no measurement.
uint16_t depth16Of(const KESOPointData& cell) {
    const double depth = depthOf(cell);
    return depth > 0.0 ? static_cast<uint16_t>(roundNonNegative(std::min(depth, kMaxDepth16))) : 0;
}

std::string wholeNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

extern "C" void appendPngBytes(png_structp png, png_bytep data, png_size_t length) {
    static_cast<ByteBuffer*>(png_get_io_ptr(png))->append(data, length);
}

extern "C" void flushNothing(png_structp) {}

extern "C" void onPngError(png_structp png, png_const_charp message) {
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

extern "C" void onPngWarning(png_structp, png_const_charp) {}

// Encodes picture into out; false with *reason set when libpng refuses. reason belongs to the
// caller, so that libpng's jump back here leaves it intact.
bool encodePng(const Picture& picture, ByteBuffer& out, std::string* reason) {
    const std::size_t rowBytes = static_cast<std::size_t>(KESO_COLUMNS) * picture.bytesPerPixel;
    std::vector<png_bytep> rows(KESO_ROWS);
    for (int row = 0; row < KESO_ROWS; ++row) {
        rows[row] = const_cast<png_bytep>(picture.pixels.data() + row * rowBytes);
    }
    png_text text{};
    text.compression = PNG_TEXT_COMPRESSION_NONE;
    text.key = const_cast<png_charp>(kLegendKey);
    text.text = const_cast<png_charp>(picture.legend.c_str());
    text.text_length = picture.legend.size();

    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, reason, onPngError, onPngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        *reason = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, appendPngBytes, flushNothing);
    png_set_compression_strategy(png, picture.compression.strategy);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, picture.compression.filter);
    png_set_IHDR(png, info, KESO_COLUMNS, KESO_ROWS, picture.bitDepth, picture.colourType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!picture.palette.empty()) {
        png_set_PLTE(png, info, picture.palette.data(), static_cast<int>(picture.palette.size()));
    }
    png_set_text(png, info, &text, 1);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void writePicture(const std::string& path, const Picture& picture) {
    ByteBuffer out;
    std::string reason;
    if (!encodePng(picture, out, &reason)) {
        throw std::runtime_error("cannot write " + path + ": " + reason);
    }
    out.writeTo(path);
}

template <typename ColourOf>
Picture colourPicture(GridView grid, ColourOf colourOf, std::string legend) {
    Picture picture;
    picture.pixels.resize(static_cast<std::size_t>(kCells) * kRgbChannels);
    auto at = picture.pixels.begin();
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const Rgb colour = colourOf(grid[row][column]);
            at = std::copy(colour.begin(), colour.end(), at);
        }
    }
    picture.legend = std::move(legend) + kGridText;
    return picture;
}

}  // namespace

void writeDepthPng(const std::string& path, GridView grid) {
    double nearest = std::numeric_limits<double>::infinity();
    double farthest = 0.0;
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const double depth = depthOf(grid[row][column]);
            if (depth > 0.0) {
                nearest = std::min(nearest, depth);
                farthest = std::max(farthest, depth);
            }
        }
    }
    const double span = farthest > nearest ? farthest - nearest : 1.0;
    const std::string legend = farthest > 0.0
                                   ? "Depth: yellow nearest (" + wholeNumber(nearest) +
                                         "), through green and blue, to dark violet farthest (" +
                                         wholeNumber(farthest) +
                                         ") in the sensor's distance unit; black: no measurement"
                                   : "Depth: no cell holds a measurement (black)";
    writePicture(path, colourPicture(
                           grid,
                           [&](const KESOPointData& cell) {
                               const double depth = depthOf(cell);
                               return depth > 0.0 ? colourAt((farthest - depth) / span) : kNoData;
                           },
                           legend));
}

void writeDepth16Png(const std::string& path, GridView grid) {
    Picture picture;
    picture.bitDepth = 16;
    picture.colourType = PNG_COLOR_TYPE_GRAY;
    picture.bytesPerPixel = 2;
    picture.pixels.reserve(static_cast<std::size_t>(kCells) * 2);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const uint16_t depth = depth16Of(grid[row][column]);
            picture.pixels.push_back(static_cast<uint8_t>(depth >> 8));
            picture.pixels.push_back(static_cast<uint8_t>(depth));
        }
    }
    picture.legend =
        std::string(
            "Depth: 16-bit, each cell's distance in the sensor's distance unit, as the "
            "datagram carries it (where the pixels carry no distance, the range of x, y, "
            "z in their unit, rounded); 0: no measurement") +
        kGridText;
    writePicture(path, picture);
}

void writeIntensityPng(const std::string& path, GridView grid) {
    // One palette entry per intensity; intensities above 255 take 255's colour, as colourAt
    // clamps them.
    static const std::vector<png_color> kColours = [] {
        std::vector<png_color> colours(kIntensities);
        for (std::size_t i = 0; i < colours.size(); ++i) {
            const Rgb colour = colourAt(static_cast<double>(i) / kMaxIntensity);
            colours[i] = {colour[0], colour[1], colour[2]};
        }
        return colours;
    }();
    Picture picture;
    picture.colourType = PNG_COLOR_TYPE_PALETTE;
    picture.bytesPerPixel = 1;
    picture.compression = kIndexedPicture;
    picture.palette = kColours;
    picture.pixels.resize(static_cast<std::size_t>(kCells));
    auto at = picture.pixels.begin();
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            *at++ = static_cast<uint8_t>(
                std::min<uint32_t>(grid[row][column].intensity, kIntensities - 1));
        }
    }
    picture.legend =
        std::string("Intensity: dark violet 0, through blue and green, to yellow 255") + kGridText;
    writePicture(path, picture);
}

std::vector<std::string> writeFrameFiles(const std::string& directory, const std::string& stem,
                                         GridView grid, unsigned kinds) {
    using Writer = void (*)(const std::string&, GridView);
    struct File {
        FileKind kind;
        const char* suffix;
        Writer write;
    };
    static const File kFiles[] = {
        {kPlyFile, ".ply", writePly},
        {kPcdFile, ".pcd", writePcd},
        {kCsvFile, ".csv", writeCsv},
        {kDepthPngFile, "-depth.png", writeDepthPng},
        {kDepth16PngFile, "-depth16.png", writeDepth16Png},
        {kIntensityPngFile, "-intensity.png", writeIntensityPng},
    };
    const std::string base = directory + "/" + stem;
    std::vector<std::string> paths;
    for (const File& file : kFiles) {
        if ((kinds & file.kind) != 0) {
            paths.push_back(base + file.suffix);
            file.write(paths.back(), grid);
        }
    }
    return paths;
}

}  // namespace tarn::writers
