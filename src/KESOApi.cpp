// The exported functions and the process-wide state of the library.
#include "KESOApi.h"

#include <mutex>

#include "angle/angle_result.h"
#include "angle/angle_state.h"
#include "control/control_state.h"
#include "control/ip_format.h"
#include "control/net_settings.h"
#include "geometry/point_cloud.h"
#include "geometry/rotation.h"
#include "stream/connection.h"
#include "stream/engine.h"
#include "stream/keso_shims.h"
#include "stream/stream_state.h"

// ---- Measurement data path state (created at load in this order) --------------------------

std::atomic<int> sockfd{-1};
std::atomic<bool> linkDeviceFlag{false};
// The queues are never destroyed, like the ring: a worker still ending at process exit must not
// find them gone. They are made by the first of their users, which may be an application's static
// constructor running before this file's initialisation (with a static library).
PackgedDataQueue& packgedDataQueue = tarn::stream::defaultFrameQueue();
OriginDataQueue& originDataQueue = tarn::stream::defaultDatagramQueue();
OriginDataPack* m_big_buffer = tarn::stream::defaultRing();
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

// The measurement object, null while disabled. Replaced by KESOEnableAngleMeasure and used by
// KESOGetPlaneAngle on any application thread, only with angleMeasureMutex_ held.
AngleMeasure* pAngleMeasure_ = nullptr;
// Guards pAngleMeasure_ and the object it points to, for whole calls; taken with no other lock.
std::mutex angleMeasureMutex_;

// ---- Connection and frames ----------------------------------------------------------------

int KESOConnectDevice(int localPort, const char* deviceIp, int devicePort) {
    return tarn::stream::connectDevice(localPort, deviceIp, devicePort);
}

int KESODisconnectDevice() { return tarn::stream::disconnectDevice(); }

void KESOSetFrame(KESOPointData (*grid)[KESO_COLUMNS]) { tarn::stream::publishFrame(grid); }

int KESOGetFrame(KESOPointData (*grid)[KESO_COLUMNS]) {
    return tarn::stream::copyPublishedFrame(grid);
}

int KESORegisterCallbackUpdateFrame(void (*func)(KESOPointData (*)[KESO_COLUMNS])) {
    return tarn::stream::registerFrameCallback(func);
}

int KESORegisterCallbackUpdateImu(void (*func)(KESOImuData)) {
    return tarn::stream::registerImuCallback(func);
}

// ---- Control channel ----------------------------------------------------------------------

// KESOCrc8 lives in control/crc8.cpp, the link calls in control/link.cpp.

int KESOSetNetInfo(const char* ip, int timeoutMs, KESOIpInfo info) {
    if (!tarn::control::linkForSettings(ip, timeoutMs)) {
        return KESO_ERR_SET_NET_LINK;
    }
    const bool applied = set_ipport(info);
    KESOBreakLinkDeviceNetControl();
    return applied ? KESO_OK : KESO_ERR_SET_NET_COMMAND;
}

int KESOGetNetInfo(const char* ip, int timeoutMs, KESOIpInfo* info) {
    if (info == nullptr) {
        return KESO_ERR_GET_NET_COMMAND;
    }
    if (!tarn::control::linkForSettings(ip, timeoutMs)) {
        return KESO_ERR_GET_NET_LINK;
    }
    const bool received = get_ipport(info);
    KESOBreakLinkDeviceNetControl();
    return received ? KESO_OK : KESO_ERR_GET_NET_COMMAND;
}

bool KESOCheckIpFormat(const std::string& ip) { return tarn::control::isDottedQuad(ip); }

// ---- Geometry -----------------------------------------------------------------------------

int KESOGetRotatePointcloudData(KESOPointData (*grid)[KESO_COLUMNS], KESORotateInfo info) {
    if (grid == nullptr) {
        return KESO_ERR_NULL_GRID;
    }
    rotateGrid(grid, info);
    return 0;
}

// ---- Plane angle measurement --------------------------------------------------------------

bool KESOEnableAngleMeasure(bool enable, KESOAngleMeasureParam param) {
    std::lock_guard<std::mutex> lock(angleMeasureMutex_);
    delete pAngleMeasure_;
    pAngleMeasure_ = nullptr;
    if (enable) {
        pAngleMeasure_ = new AngleMeasure(param);
    }
    return enable;
}

KESOAngleResult KESOGetPlaneAngle(KESOPointData (*frame)[KESO_COLUMNS], float* angle) {
    std::lock_guard<std::mutex> lock(angleMeasureMutex_);
    if (pAngleMeasure_ == nullptr) {
        return angleNotEnabledResult();
    }
    if (frame == nullptr || angle == nullptr) {
        return angleNullArgumentResult();
    }
    std::unique_ptr<PointcloudData> cloud = gridToPointcloudData(frame);
    const std::pair<float, int> measured = pAngleMeasure_->getPlaneAngle(*cloud);
    *angle = measured.first;
    return angleResultForStatus(measured.second);
}
