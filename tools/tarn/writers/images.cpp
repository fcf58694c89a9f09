// The depth and intensity images of a frame grid, written with libpng.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tools/tarn/writers/colour_map.h"
#include "tools/tarn/writers/frame_files.h"

namespace tarn::writers {
namespace {

constexpr int kChannels = 3;
constexpr double kMaxIntensity = 255.0;

// The cell's depth: its distance, or its range when the pixels carry only coordinates; 0 when it
// holds no measurement.
double depthOf(const KESOPointData& cell) {
    if (cell.distance > 0.0f) {
        return cell.distance;
    }
    return std::sqrt(static_cast<double>(cell.x) * cell.x + static_cast<double>(cell.y) * cell.y +
                     static_cast<double>(cell.z) * cell.z);
}

template <typename ValueOf>
void writeImage(const std::string& path, GridView grid, ValueOf valueOf) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(kCells) * kChannels);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const Rgb colour = valueOf(grid[row][column]);
            std::copy(colour.begin(), colour.end(),
                      pixels.begin() + (row * KESO_COLUMNS + column) * kChannels);
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = KESO_COLUMNS;
    image.height = KESO_ROWS;
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr) == 0) {
        const std::string reason = image.message;
        png_image_free(&image);
        throw std::runtime_error("cannot write " + path + ": " + reason);
    }
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
    writeImage(path, grid, [&](const KESOPointData& cell) {
        const double depth = depthOf(cell);
        return depth > 0.0 ? colourAt((depth - nearest) / span) : kNoData;
    });
}

void writeIntensityPng(const std::string& path, GridView grid) {
    writeImage(path, grid, [](const KESOPointData& cell) {
        return colourAt(static_cast<double>(cell.intensity) / kMaxIntensity);
    });
}

std::vector<std::string> writeFrameFiles(const std::string& directory, const std::string& stem,
                                         GridView grid) {
    const std::string base = directory + "/" + stem;
    const std::vector<std::string> paths = {base + ".ply", base + ".pcd", base + ".csv",
                                            base + "-depth.png", base + "-intensity.png"};
    writePly(paths[0], grid);
    writePcd(paths[1], grid);
    writeCsv(paths[2], grid);
    writeDepthPng(paths[3], grid);
    writeIntensityPng(paths[4], grid);
    return paths;
}

}  // namespace tarn::writers
