// The library's internal point cloud and its conversion to and from a frame grid.
#ifndef TARN_GEOMETRY_POINT_CLOUD_H
#define TARN_GEOMETRY_POINT_CLOUD_H

#include <cstddef>
#include <memory>
#include <vector>

#include "KESOApi.h"

// One point: the x, y, z of a grid cell, unchanged.
struct PointXYZ {
    float x;
    float y;
    float z;
};
static_assert(sizeof(PointXYZ) == 12, "PointXYZ is three packed floats");

struct PointcloudData {
    std::vector<PointXYZ> points;
};

// Every grid cell becomes one point, none skipped.
constexpr std::size_t kGridPoints = static_cast<std::size_t>(KESO_ROWS) * KESO_COLUMNS;

// Gathers all cells of grid (only read) column by column (the point of row r, column c has index
// c * KESO_ROWS + r).
std::unique_ptr<PointcloudData> gridToPointcloudData(KESOPointData (*grid)[KESO_COLUMNS]);

// Writes the points back into the x, y, z of the grid cells in the order gridToPointcloudData
// gathered them; throws std::out_of_range when the cloud holds fewer points than the grid.
namespace tarn::geometry {
void writePointcloudToGrid(const PointcloudData& cloud, KESOPointData (*grid)[KESO_COLUMNS]);
}  // namespace tarn::geometry
using tarn::geometry::writePointcloudToGrid;

#endif  // TARN_GEOMETRY_POINT_CLOUD_H
