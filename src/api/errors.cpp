// tarn_strerror and tarn_version.
#include "KESOApi.h"
#include "tarn/tarn.h"

#ifndef TARN_VERSION_STRING
#error "TARN_VERSION_STRING is set by the build"
#endif

namespace {

// The KESO functions' codes, with the function each belongs to. Their values are fixed by
// KESOApi.h; TARN_RESULT_MAP holds the C interface's own.
#define TARN_KESO_RESULT_MAP(XX)                                                            \
    XX(KESO_ERR_LOCAL_PORT, "KESOConnectDevice: the local port is outside 1 to 65535")      \
    XX(KESO_ERR_DEVICE_ADDRESS, "KESOConnectDevice: bad device address or device port")     \
    XX(KESO_ERR_BIND, "KESOConnectDevice: binding the local UDP port failed")               \
    XX(KESO_ERR_CONNECTED, "callbacks cannot be registered while connected")                \
    XX(KESO_ERR_NO_FRAME, "KESOGetFrame: no frame published in the current connection")     \
    XX(KESO_ERR_SET_NET_LINK, "KESOSetNetInfo: control connection not made")                \
    XX(KESO_ERR_GET_NET_LINK, "KESOGetNetInfo: control connection not made")                \
    XX(KESO_ERR_SET_NET_COMMAND, "KESOSetNetInfo: the sensor did not confirm the settings") \
    XX(KESO_ERR_GET_NET_COMMAND, "KESOGetNetInfo: the settings were not read")              \
    XX(KESO_ERR_NULL_GRID, "KESOGetRotatePointcloudData: the grid is null")                 \
    XX(KESO_LINK_FAILED, "KESOLinkDeviceNetControl: control connection not made")

}  // namespace

const char* tarn_version(void) {
    return TARN_VERSION_STRING;
}

const char* tarn_strerror(int code) {
    switch (code) {
#define TARN_RESULT_TEXT_(name, value, text) \
    case name:                               \
        return text;
        TARN_RESULT_MAP(TARN_RESULT_TEXT_)
#undef TARN_RESULT_TEXT_
#define TARN_KESO_RESULT_TEXT_(name, text) \
    case name:                             \
        return text;
        TARN_KESO_RESULT_MAP(TARN_KESO_RESULT_TEXT_)
#undef TARN_KESO_RESULT_TEXT_
        default:
            return "unknown result code";
    }
}
