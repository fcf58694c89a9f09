#include "geometry/point_cloud.h"

std::unique_ptr<PointcloudData> gridToPointcloudData(KESOPointData (*grid)[KESO_COLUMNS]) {
    auto cloud = std::make_unique<PointcloudData>();
    cloud->points.resize(kGridPoints);
    // The grid is read in memory order and the cloud written column by column: the cloud is
    // the smaller of the two.
    PointXYZ* points = cloud->points.data();
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& cell = grid[row][column];
            points[static_cast<std::size_t>(column) * KESO_ROWS + static_cast<std::size_t>(row)] =
                PointXYZ{cell.x, cell.y, cell.z};
        }
    }
    return cloud;
}

void tarn::geometry::writePointcloudToGrid(const PointcloudData& cloud, KESOPointData (*grid)[KESO_COLUMNS]) {
    std::size_t index = 0;
    for (int column = 0; column < KESO_COLUMNS; ++column) {
        for (int row = 0; row < KESO_ROWS; ++row) {
            const PointXYZ& point = cloud.points.at(index++);
            KESOPointData& cell = grid[row][column];
            cell.x = point.x;
            cell.y = point.y;
            cell.z = point.z;
        }
    }
}
