// The control handles of tarn/control.h: the KESO settings calls on a channel of each handle's
// own.
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "KESOApi.h"
#include "control/channel.h"
#include "control/ip_format.h"
#include "control/net_settings.h"
#include "tarn/control.h"

static_assert(TARN_CONTROL_SET_LINK_FAILED == KESO_ERR_SET_NET_LINK, "the KESO codes");
static_assert(TARN_CONTROL_GET_LINK_FAILED == KESO_ERR_GET_NET_LINK, "the KESO codes");
static_assert(TARN_CONTROL_SET_NOT_APPLIED == KESO_ERR_SET_NET_COMMAND, "the KESO codes");
static_assert(TARN_CONTROL_GET_NOT_READ == KESO_ERR_GET_NET_COMMAND, "the KESO codes");
static_assert(TARN_NET_SETTINGS_BYTES == sizeof(KESOIpInfo), "the record is a KESOIpInfo");

struct tarn_control {
    std::string address;
    int timeoutMs = 0;
    // Held for whole calls, so that threads sharing one handle take turns on its channel.
    std::mutex mutex;
    tarn::control::Channel channel;
};

namespace {

// Links, runs command, breaks the link: the sequence of KESOGetNetInfo and KESOSetNetInfo.
template <typename Command>
int settingsCall(tarn_control& control, int linkFailed, int commandFailed, Command command) {
    std::lock_guard<std::mutex> lock(control.mutex);
    tarn::control::Channel& channel = control.channel;
    if (!tarn::control::linkForSettings(channel, control.address.c_str(), control.timeoutMs)) {
        return linkFailed;
    }
    channel.dataCrcMatched = true;
    const bool done = command(channel);
    const bool crcMatched = channel.dataCrcMatched;
    tarn::control::breakChannel(channel);
    if (!done) {
        return commandFailed;
    }
    return crcMatched ? TARN_OK : TARN_ERR_DATA_CRC;
}

}  // namespace

int tarn_control_open(const char* address, int timeout_ms, tarn_control** control) {
    if (address == nullptr || control == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    if (!tarn::control::controlAddress(address)) {
        return TARN_ERR_DEVICE_ADDRESS;
    }
    tarn_control* opened = new (std::nothrow) tarn_control;
    if (opened == nullptr) {
        return TARN_ERR_NO_MEMORY;
    }
    try {
        opened->address = address;
    } catch (const std::bad_alloc&) {
        delete opened;
        return TARN_ERR_NO_MEMORY;
    }
    opened->timeoutMs = timeout_ms;
    *control = opened;
    return TARN_OK;
}

int tarn_control_get_net_info(tarn_control* control, uint8_t* record) {
    if (control == nullptr || record == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    KESOIpInfo info{};
    const int result = settingsCall(*control, KESO_ERR_GET_NET_LINK, KESO_ERR_GET_NET_COMMAND,
                                    [&info](tarn::control::Channel& channel) {
                                        return tarn::control::readNetInfo(channel, &info);
                                    });
    if (result == TARN_OK || result == TARN_ERR_DATA_CRC) {
        std::memcpy(record, info.bytes, sizeof info.bytes);
    }
    return result;
}

int tarn_control_set_net_info(tarn_control* control, const uint8_t* record) {
    if (control == nullptr || record == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    KESOIpInfo info{};
    std::memcpy(info.bytes, record, sizeof info.bytes);
    return settingsCall(*control, KESO_ERR_SET_NET_LINK, KESO_ERR_SET_NET_COMMAND,
                        [&info](tarn::control::Channel& channel) {
                            return tarn::control::writeNetInfo(channel, info);
                        });
}

const char* tarn_control_address(const tarn_control* control) {
    return control == nullptr ? nullptr : control->address.c_str();
}

void tarn_control_close(tarn_control* control) {
    delete control;
}
