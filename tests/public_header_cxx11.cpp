// Applications may build with C++11: the public header must compile there on its own, warning-free.
#include "KESOApi.h"

static_assert(sizeof(KESOPointData) * KESO_COLUMNS * KESO_ROWS == 2160000,
              "a grid is 2,160,000 bytes");
static_assert(sizeof(KESOIpInfo) == 44, "the settings record is 44 bytes");

int publicHeaderCompilesAsCxx11() {
    KESOFrameCallback frame = nullptr;
    KESOImuCallback imu = nullptr;
    return (frame == nullptr && imu == nullptr) ? KESO_OK : KESO_ERR_NO_FRAME;
}
