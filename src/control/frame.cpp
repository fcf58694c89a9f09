#include "control/frame.h"

#include <cstring>

#include "KESOApi.h"

ctrl_prt_data_pkg pack_ctrl_prt_data_pkg(uint16_t command, uint16_t data_len,
                                         const unsigned char* data) {
    ctrl_prt_data_pkg frame{};
    frame.magic = kCtrlMagic;
    frame.fixed2 = kCtrlFixed2;
    frame.fixed3 = kCtrlFixed3;
    frame.fixed4 = kCtrlFixed4;
    frame.fixed6 = kCtrlFixed6;
    frame.fixed7 = kCtrlFixed7;
    frame.command = command;
    frame.data_len = data_len;

    unsigned char head[kCtrlHeadLen];
    std::memcpy(head, static_cast<const ctrl_prt_head*>(&frame), kCtrlHeadLen);
    frame.head_crc = KESOCrc8(head, kCtrlHeadCrcSpan, 0);
    if (data_len > 0) {
        frame.data_crc = KESOCrc8(data, data_len, 0);
        frame.data.assign(reinterpret_cast<const char*>(data), data_len);
    }
    return frame;
}

namespace tarn::control {

std::vector<unsigned char> frameBytes(const ctrl_prt_data_pkg& frame) {
    std::vector<unsigned char> bytes(kCtrlHeadLen + frame.data.size());
    std::memcpy(bytes.data(), static_cast<const ctrl_prt_head*>(&frame), kCtrlHeadLen);
    std::memcpy(bytes.data() + kCtrlHeadLen, frame.data.data(), frame.data.size());
    return bytes;
}

uint16_t loadLe16(const unsigned char* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t loadLe32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace tarn::control
