// The exported functions and the process-wide state of the library.
#include "KESOApi.h"

#include <mutex>

#include "control/control_state.h"
#include "stream/stream_state.h"

// ---- Measurement data path state (created at load in this order) --------------------------

int sockfd = -1;
std::atomic<bool> linkDeviceFlag{false};
PackgedDataQueue packgedDataQueue(kFrameQueueCapacity);
OriginDataQueue originDataQueue(kOriginQueueCapacity);
OriginDataPack* m_big_buffer = new OriginDataPack[kRingSlots];
uint64_t m_big_buffer_index = 0;
std::atomic<int32_t> m_one_pixel_len{0};
KESOPointData frame_[KESO_ROWS][KESO_COLUMNS];
KESOPointData realTimeData_[KESO_ROWS][KESO_COLUMNS];
std::atomic<bool> realTimeDataFlag_{false};
std::mutex realTimeDataMutex_;
std::atomic<KESOFrameCallback> frameUpdateFunc{nullptr};
std::atomic<KESOImuCallback> imuUpdateFunc{nullptr};

// ---- Control channel state ----------------------------------------------------------------

int sock_ctrl = -1;
bool g_link_net = false;
uint32_t g_max_pkg_len = kInitialMaxPkgLen;

// ---- Angle measurement state --------------------------------------------------------------
// (pAngleMeasure_ and angleMeasureMutex_ are defined here with the angle functions.)

// ---- Connection and frames ----------------------------------------------------------------

// ---- Control channel ----------------------------------------------------------------------

// ---- Geometry -----------------------------------------------------------------------------

// ---- Plane angle measurement --------------------------------------------------------------
