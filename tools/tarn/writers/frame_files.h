// Files a point-cloud viewer or an image viewer opens, written from one frame grid: PLY, PCD,
// CSV, and a depth and an intensity PNG with one pixel per cell. Every writer throws
// std::runtime_error naming the path when the file cannot be written.
#ifndef TARN_TOOLS_TARN_WRITERS_FRAME_FILES_H
#define TARN_TOOLS_TARN_WRITERS_FRAME_FILES_H

#include <string>
#include <vector>

#include "KESOApi.h"

namespace tarn::writers {

using GridView = const KESOPointData (*)[KESO_COLUMNS];

constexpr int kCells = KESO_ROWS * KESO_COLUMNS;

// Binary little-endian PLY, one vertex per cell in row-major order:
// float x, y, z; uchar intensity; float distance; ushort row, column (21 bytes per vertex).
void writePly(const std::string& path, GridView grid);
// Binary PCD, organised (WIDTH 360, HEIGHT 150), row-major:
// x y z intensity distance as F 4, row column as U 2 (24 bytes per point).
void writePcd(const std::string& path, GridView grid);
// A header line, then one line per cell: row,column,x,y,z,distance,intensity,timestamp,tag.
void writeCsv(const std::string& path, GridView grid);
// 360 x 150 RGB images, row 0 at the top. Depth is the cell's distance, or its range from x, y, z
// when the pixels carry no distance; the colours span the frame's nearest to farthest cell. Cells
// without any measurement are black.
void writeDepthPng(const std::string& path, GridView grid);
// Intensity 0 to 255 over the whole colour map.
void writeIntensityPng(const std::string& path, GridView grid);

// All five into directory as stem.ply, stem.pcd, stem.csv, stem-depth.png and
// stem-intensity.png; returns the paths written.
std::vector<std::string> writeFrameFiles(const std::string& directory, const std::string& stem,
                                         GridView grid);

}  // namespace tarn::writers

#endif  // TARN_TOOLS_TARN_WRITERS_FRAME_FILES_H
