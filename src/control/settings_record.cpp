// The members of the network settings record (tarn/net_settings.h).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "KESOApi.h"
#include "control/frame.h"
#include "tarn/net_settings.h"

namespace {

// Offsets of the members in the record; the table is in tarn/net_settings.h.
constexpr std::size_t kAddressAt = 0;
constexpr std::size_t kNetmaskAt = 4;
constexpr std::size_t kGatewayAt = 8;
constexpr std::size_t kHostAddressAt = 12;
constexpr std::size_t kDataPortAt = 16;
constexpr std::size_t kHostPortAt = 18;
constexpr std::size_t kMacAt = 20;
constexpr std::size_t kReservedAt = 26;
constexpr unsigned kByteBits = 8;

static_assert(TARN_NET_SETTINGS_BYTES == sizeof(KESOIpInfo), "the record is a KESOIpInfo");
static_assert(kReservedAt + sizeof(tarn_net_settings::reserved) == TARN_NET_SETTINGS_BYTES,
              "every byte of the record is a member or reserved");

template <std::size_t N>
void take(const uint8_t* record, std::size_t offset, uint8_t (&member)[N]) {
    std::memcpy(member, record + offset, N);
}

template <std::size_t N>
void put(uint8_t* record, std::size_t offset, const uint8_t (&member)[N]) {
    std::memcpy(record + offset, member, N);
}

void putLe16(uint8_t* record, std::size_t offset, uint16_t value) {
    record[offset] = static_cast<uint8_t>(value);
    record[offset + 1] = static_cast<uint8_t>(value >> kByteBits);
}

}  // namespace

int tarn_net_settings_read(const uint8_t* record, tarn_net_settings* settings) {
    if (record == nullptr || settings == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    take(record, kAddressAt, settings->address);
    take(record, kNetmaskAt, settings->netmask);
    take(record, kGatewayAt, settings->gateway);
    take(record, kHostAddressAt, settings->host_address);
    settings->data_port = tarn::control::loadLe16(record + kDataPortAt);
    settings->host_port = tarn::control::loadLe16(record + kHostPortAt);
    take(record, kMacAt, settings->mac);
    take(record, kReservedAt, settings->reserved);
    return TARN_OK;
}

int tarn_net_settings_write(const tarn_net_settings* settings, uint8_t* record) {
    if (settings == nullptr || record == nullptr) {
        return TARN_ERR_NULL_ARGUMENT;
    }
    put(record, kAddressAt, settings->address);
    put(record, kNetmaskAt, settings->netmask);
    put(record, kGatewayAt, settings->gateway);
    put(record, kHostAddressAt, settings->host_address);
    putLe16(record, kDataPortAt, settings->data_port);
    putLe16(record, kHostPortAt, settings->host_port);
    put(record, kMacAt, settings->mac);
    put(record, kReservedAt, settings->reserved);
    return TARN_OK;
}
