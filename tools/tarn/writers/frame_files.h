// Files a point-cloud viewer or an image viewer opens, written from one frame grid: PLY, PCD,
// CSV, a colour depth picture, a 16-bit depth image to measure from and an intensity picture, the
// PNGs with one pixel per cell and their legend in a tEXt chunk ("Description"). Every writer
// throws std::runtime_error naming the path when the file cannot be written.
#ifndef TARN_TOOLS_TARN_WRITERS_FRAME_FILES_H
#define TARN_TOOLS_TARN_WRITERS_FRAME_FILES_H

#include <string>
#include <vector>

#include "KESOApi.h"

namespace tarn::writers {

using GridView = const KESOPointData (*)[KESO_COLUMNS];

constexpr int kCells = KESO_ROWS * KESO_COLUMNS;

// PLY and PCD hold the same 24-byte record per cell, row-major: float x, y, z, intensity,
// distance; uint16 row, column. The PLY names its types float and uint16, which every common
// reader takes (Open3D's tensor reader skips ushort).
// Binary little-endian PLY, one vertex per cell.
void writePly(const std::string& path, GridView grid);
// Binary PCD, organised (WIDTH 360, HEIGHT 150): x y z intensity distance F 4, row column U 2.
void writePcd(const std::string& path, GridView grid);
// A header line, then one line per cell: row,column,x,y,z,distance,intensity,timestamp,tag.
void writeCsv(const std::string& path, GridView grid);
// 360 x 150 images, row 0 at the top. A cell's depth is its distance, or its range from x, y, z
// when the pixels carry no distance. Near and strong are bright: in the RGB depth picture the
// colours run from yellow at the frame's nearest cell to dark violet at its farthest, cells
// without any measurement black; the legend names both depths.
void writeDepthPng(const std::string& path, GridView grid);
// 16-bit greyscale: each cell's depth rounded to a whole unit of the sensor's distance (the
// distance exactly as the datagram carries it), at most 65535; 0 where there is no measurement.
void writeDepth16Png(const std::string& path, GridView grid);
// Indexed colour, a palette entry per intensity: 0 (dark violet) to 255 (yellow) over the whole
// colour map.
void writeIntensityPng(const std::string& path, GridView grid);

// The files of a frame, one bit each, in the order writeFrameFiles writes them.
enum FileKind : unsigned {
    kPlyFile = 1U << 0,
    kPcdFile = 1U << 1,
    kCsvFile = 1U << 2,
    kDepthPngFile = 1U << 3,
    kDepth16PngFile = 1U << 4,
    kIntensityPngFile = 1U << 5,
};
constexpr unsigned kAllFiles = (1U << 6) - 1;

// The files of kinds (all six by default) into directory as stem.ply, stem.pcd, stem.csv,
// stem-depth.png, stem-depth16.png and stem-intensity.png; returns the paths written.
std::vector<std::string> writeFrameFiles(const std::string& directory, const std::string& stem,
                                         GridView grid, unsigned kinds = kAllFiles);

}  // namespace tarn::writers

#endif  // TARN_TOOLS_TARN_WRITERS_FRAME_FILES_H
