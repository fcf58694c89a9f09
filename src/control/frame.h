// The control frame: a 21-byte header and a payload, sent back to back on the control connection.
// docs/control-frame.md has the byte table, the commands and the CRC parameters.
#ifndef TARN_CONTROL_FRAME_H
#define TARN_CONTROL_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the control frame header is laid out for a little-endian host"
#endif

constexpr uint16_t kCtrlMagic = 0xA55A;
constexpr uint8_t kCtrlFixed2 = 0x01;
constexpr uint8_t kCtrlFixed3 = 0x06;
constexpr uint16_t kCtrlFixed4 = 0x0000;
constexpr uint8_t kCtrlFixed6 = 0x01;
constexpr uint16_t kCtrlFixed7 = 0x9A65;

constexpr std::size_t kCtrlHeadLen = 21;
// head_crc covers the header up to, not including, the two CRC bytes.
constexpr std::size_t kCtrlHeadCrcSpan = 19;
constexpr std::size_t kCtrlCommandOffset = 9;
constexpr std::size_t kCtrlDataLenOffset = 11;
constexpr std::size_t kCtrlHeadCrcOffset = 19;
constexpr std::size_t kCtrlDataCrcOffset = 20;
constexpr std::size_t kCtrlMaxPayload = 65535;
constexpr std::size_t kCtrlMaxFrameLen = kCtrlHeadLen + kCtrlMaxPayload;
// Every reply payload starts with the sensor's 32-bit status of the command.
constexpr std::size_t kCtrlStatusLen = 4;

constexpr uint16_t kCmdGetMaxPkgSize = 0x0001;
constexpr uint16_t kCmdSetMaxPkgSize = 0x0002;
constexpr uint16_t kCmdSetNetInfo = 0x0201;
constexpr uint16_t kCmdGetNetInfo = 0x0202;

#pragma pack(push, 1)
// The 21 header bytes exactly as on the wire (16-bit fields little-endian, no padding).
struct ctrl_prt_head {
    uint16_t magic;
    uint8_t fixed2;
    uint8_t fixed3;
    uint16_t fixed4;
    uint8_t fixed6;
    uint16_t fixed7;
    uint16_t command;
    uint16_t data_len;
    uint8_t reserved[6];
    uint8_t head_crc;
    uint8_t data_crc;
};
#pragma pack(pop)
static_assert(sizeof(ctrl_prt_head) == kCtrlHeadLen, "the control frame header is 21 bytes");

// One control frame: the packed header followed by the owned payload bytes.
struct ctrl_prt_data_pkg : ctrl_prt_head {
    std::string data;
};

// Builds a request frame; data is not read when data_len is 0.
ctrl_prt_data_pkg pack_ctrl_prt_data_pkg(uint16_t command, uint16_t data_len,
                                         const unsigned char* data);

namespace tarn::control {

// The frame as it goes on the wire: the 21 header bytes, then the payload.
std::vector<unsigned char> frameBytes(const ctrl_prt_data_pkg& frame);

uint16_t loadLe16(const unsigned char* bytes);
uint32_t loadLe32(const unsigned char* bytes);

}  // namespace tarn::control

#endif  // TARN_CONTROL_FRAME_H
