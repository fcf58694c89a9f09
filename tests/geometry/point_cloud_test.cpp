#include "geometry/point_cloud.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "geometry/rotation.h"

namespace {

using Grid = std::unique_ptr<KESOPointData[][KESO_COLUMNS]>;

// Every member of every cell distinct, so a cell written from the wrong point shows.
Grid numberedGrid() {
    auto grid = std::make_unique<KESOPointData[][KESO_COLUMNS]>(KESO_ROWS);
    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            KESOPointData& cell = grid[row][column];
            const int id = row * KESO_COLUMNS + column;
            cell.row = static_cast<uint16_t>(row);
            cell.column = static_cast<uint16_t>(column);
            cell.distance = static_cast<float>(id) + 0.25f;
            cell.intensity = static_cast<uint32_t>(id % 256);
            cell.x = static_cast<float>(row);
            cell.y = static_cast<float>(column);
            cell.z = static_cast<float>(id);
            cell.timestamp = 1000000ULL + static_cast<uint64_t>(id);
            cell.tag = static_cast<uint64_t>(id % 251);
        }
    }
    return grid;
}

TEST(GridToPointcloudData, GathersEveryCellColumnByColumn) {
    const Grid grid = numberedGrid();
    grid[7][3].x = grid[7][3].y = grid[7][3].z = 0.0f;  // no measurement: still a point
    const std::unique_ptr<PointcloudData> cloud = gridToPointcloudData(grid.get());
    ASSERT_EQ(cloud->points.size(), kGridPoints);
    for (int column = 0; column < KESO_COLUMNS; ++column) {
        for (int row = 0; row < KESO_ROWS; ++row) {
            const PointXYZ& point =
                cloud->points[static_cast<std::size_t>(column * KESO_ROWS + row)];
            ASSERT_EQ(point.x, grid[row][column].x) << row << "," << column;
            ASSERT_EQ(point.y, grid[row][column].y) << row << "," << column;
            ASSERT_EQ(point.z, grid[row][column].z) << row << "," << column;
        }
    }
}

TEST(WritePointcloudToGrid, RefusesACloudSmallerThanTheGrid) {
    const Grid grid = numberedGrid();
    PointcloudData cloud;
    cloud.points.assign(kGridPoints - 1, PointXYZ{1.0f, 2.0f, 3.0f});
    EXPECT_THROW(writePointcloudToGrid(cloud, grid.get()), std::out_of_range);
}

TEST(KESOGetRotatePointcloudData, EachCellReceivesItsOwnTransformedPoint) {
    const Grid original = numberedGrid();
    original[10][20].x = original[10][20].y = original[10][20].z = 0.0f;
    const Grid grid = numberedGrid();
    grid[10][20].x = grid[10][20].y = grid[10][20].z = 0.0f;
    const KESORotateInfo info{30.0f, -20.0f, 75.0f, 1.5f, -2.5f, 3.5f};

    ASSERT_EQ(KESOGetRotatePointcloudData(grid.get(), info), 0);

    for (int row = 0; row < KESO_ROWS; ++row) {
        for (int column = 0; column < KESO_COLUMNS; ++column) {
            const KESOPointData& before = original[row][column];
            const KESOPointData& after = grid[row][column];
            PointcloudData single{{PointXYZ{before.x, before.y, before.z}}};
            rotatePointcloudData(single, info);
            ASSERT_EQ(after.x, single.points[0].x) << row << "," << column;
            ASSERT_EQ(after.y, single.points[0].y) << row << "," << column;
            ASSERT_EQ(after.z, single.points[0].z) << row << "," << column;
            ASSERT_EQ(after.row, before.row);
            ASSERT_EQ(after.column, before.column);
            ASSERT_EQ(after.distance, before.distance);
            ASSERT_EQ(after.intensity, before.intensity);
            ASSERT_EQ(after.timestamp, before.timestamp);
            ASSERT_EQ(after.tag, before.tag);
        }
    }
    // A cell without a measurement ends at the offsets, like any point at the origin.
    EXPECT_FLOAT_EQ(grid[10][20].x, 1.5f);
    EXPECT_FLOAT_EQ(grid[10][20].y, -2.5f);
    EXPECT_FLOAT_EQ(grid[10][20].z, 3.5f);
}

TEST(KESOGetRotatePointcloudData, RefusesANullGrid) {
    EXPECT_EQ(KESOGetRotatePointcloudData(nullptr, KESORotateInfo{}), -1986);
}

}  // namespace
