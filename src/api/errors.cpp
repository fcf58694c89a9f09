// tarn_strerror and tarn_version.
#include "KESOApi.h"
#include "tarn/tarn.h"

#ifndef TARN_VERSION_STRING
#error "TARN_VERSION_STRING is set by the build"
#endif

const char* tarn_version(void) {
    return TARN_VERSION_STRING;
}

const char* tarn_strerror(int code) {
    switch (code) {
        case TARN_OK:
            return "success";
        case TARN_ERR_NULL_ARGUMENT:
            return "a required pointer argument is null";
        case TARN_ERR_LOCAL_ADDRESS:
            return "the local address is not a dotted-quad IPv4 address";
        case TARN_ERR_LOCAL_PORT:
            return "the local port is outside 0 to 65535";
        case TARN_ERR_DEVICE_ADDRESS:
            return "the device address is missing or not a dotted-quad IPv4 address";
        case TARN_ERR_DEVICE_PORT:
            return "the device port is outside 1 to 65535";
        case TARN_ERR_ALTERNATE_PORT:
            return "the alternate source port is outside 0 to 65535";
        case TARN_ERR_RECEIVE_BUFFER:
            return "the receive-buffer request is negative";
        case TARN_ERR_SOCKET:
            return "the UDP socket could not be created or set up";
        case TARN_ERR_BIND:
            return "the local address and port could not be bound";
        case TARN_ERR_THREAD:
            return "a worker thread could not be started";
        case TARN_ERR_NO_MEMORY:
            return "out of memory";
        case TARN_ERR_INVALID_HANDLE:
            return "not an open stream or decoder";
        case TARN_ERR_DEFAULT_STREAM:
            return "the default stream is closed by KESODisconnectDevice, not tarn_stream_close";
        case TARN_ERR_NO_FRAME:
            return "no frame yet";
        case TARN_ERR_TIMEOUT:
            return "no new frame within the time-out";
        case TARN_ERR_NOT_CONNECTED:
            return "the stream is not connected";
        case TARN_ERR_DATAGRAM_LENGTH:
            return "the datagram is empty";
        case KESO_ERR_LOCAL_PORT:
            return "KESOConnectDevice: the local port is outside 1 to 65535";
        case KESO_ERR_DEVICE_ADDRESS:
            return "KESOConnectDevice: bad device address or device port";
        case KESO_ERR_BIND:
            return "KESOConnectDevice: binding the local UDP port failed";
        case KESO_ERR_CONNECTED:
            return "callbacks cannot be registered while connected";
        case KESO_ERR_NO_FRAME:
            return "KESOGetFrame: no frame published in the current connection";
        case KESO_ERR_SET_NET_LINK:
            return "KESOSetNetInfo: control connection not made";
        case KESO_ERR_GET_NET_LINK:
            return "KESOGetNetInfo: control connection not made";
        case KESO_ERR_SET_NET_COMMAND:
            return "KESOSetNetInfo: the sensor did not confirm the settings";
        case KESO_ERR_GET_NET_COMMAND:
            return "KESOGetNetInfo: the settings were not read";
        case KESO_ERR_NULL_GRID:
            return "KESOGetRotatePointcloudData: the grid is null";
        case KESO_LINK_FAILED:
            return "KESOLinkDeviceNetControl: control connection not made";
        case -98:
            return "plane angle: history data is degenerate";
        case -99:
            return "plane angle: no measurable plane";
        case -100:
            return "plane angle: measurement not enabled";
        default:
            return "unknown result code";
    }
}
