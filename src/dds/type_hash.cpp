#include "type_hash.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace tarn::dds {
namespace {

// type_description_interfaces/msg/FieldType: base types, plus 48 for a fixed array, 144 for an
// unbounded sequence.
constexpr int kNested = 1;
constexpr int kUint8 = 3;
constexpr int kInt32 = 6;
constexpr int kUint32 = 7;
constexpr int kUint64 = 9;
constexpr int kDouble = 11;
constexpr int kBoolean = 15;
constexpr int kByte = 16;
constexpr int kString = 17;
constexpr int kArray = 48;
constexpr int kSequence = 144;

struct Field {
    const char* name;
    int typeId;
    int capacity;
    const char* nested;
};

struct Description {
    const char* name;
    std::vector<Field> fields;
};

const std::vector<Description>& descriptions() {
    static const std::vector<Description> table = {
        {"builtin_interfaces/msg/Time", {{"sec", kInt32, 0, ""}, {"nanosec", kUint32, 0, ""}}},
        {"std_msgs/msg/Header",
         {{"stamp", kNested, 0, "builtin_interfaces/msg/Time"}, {"frame_id", kString, 0, ""}}},
        {"geometry_msgs/msg/Quaternion",
         {{"x", kDouble, 0, ""},
          {"y", kDouble, 0, ""},
          {"z", kDouble, 0, ""},
          {"w", kDouble, 0, ""}}},
        {"geometry_msgs/msg/Vector3",
         {{"x", kDouble, 0, ""}, {"y", kDouble, 0, ""}, {"z", kDouble, 0, ""}}},
        {"sensor_msgs/msg/PointField",
         {{"name", kString, 0, ""},
          {"offset", kUint32, 0, ""},
          {"datatype", kUint8, 0, ""},
          {"count", kUint32, 0, ""}}},
        {"sensor_msgs/msg/PointCloud2",
         {{"header", kNested, 0, "std_msgs/msg/Header"},
          {"height", kUint32, 0, ""},
          {"width", kUint32, 0, ""},
          {"fields", kNested + kSequence, 0, "sensor_msgs/msg/PointField"},
          {"is_bigendian", kBoolean, 0, ""},
          {"point_step", kUint32, 0, ""},
          {"row_step", kUint32, 0, ""},
          {"data", kUint8 + kSequence, 0, ""},
          {"is_dense", kBoolean, 0, ""}}},
        {"sensor_msgs/msg/Image",
         {{"header", kNested, 0, "std_msgs/msg/Header"},
          {"height", kUint32, 0, ""},
          {"width", kUint32, 0, ""},
          {"encoding", kString, 0, ""},
          {"is_bigendian", kUint8, 0, ""},
          {"step", kUint32, 0, ""},
          {"data", kUint8 + kSequence, 0, ""}}},
        {"sensor_msgs/msg/Imu",
         {{"header", kNested, 0, "std_msgs/msg/Header"},
          {"orientation", kNested, 0, "geometry_msgs/msg/Quaternion"},
          {"orientation_covariance", kDouble + kArray, 9, ""},
          {"angular_velocity", kNested, 0, "geometry_msgs/msg/Vector3"},
          {"angular_velocity_covariance", kDouble + kArray, 9, ""},
          {"linear_acceleration", kNested, 0, "geometry_msgs/msg/Vector3"},
          {"linear_acceleration_covariance", kDouble + kArray, 9, ""}}},
        {"diagnostic_msgs/msg/KeyValue", {{"key", kString, 0, ""}, {"value", kString, 0, ""}}},
        {"diagnostic_msgs/msg/DiagnosticStatus",
         {{"level", kByte, 0, ""},
          {"name", kString, 0, ""},
          {"message", kString, 0, ""},
          {"hardware_id", kString, 0, ""},
          {"values", kNested + kSequence, 0, "diagnostic_msgs/msg/KeyValue"}}},
        {"diagnostic_msgs/msg/DiagnosticArray",
         {{"header", kNested, 0, "std_msgs/msg/Header"},
          {"status", kNested + kSequence, 0, "diagnostic_msgs/msg/DiagnosticStatus"}}},
        {"tarn_msgs/msg/ImuRaw",
         {{"header", kNested, 0, "std_msgs/msg/Header"},
          {"sample_flag", kUint8, 0, ""},
          {"sensor_timestamp", kUint64, 0, ""},
          {"data", kUint8 + kArray, 26, ""}}},
    };
    return table;
}

const Description* find(const std::string& name) {
    for (const Description& d : descriptions()) {
        if (name == d.name) {
            return &d;
        }
    }
    return nullptr;
}

void referenced(const Description& d, std::set<std::string>& out) {
    for (const Field& f : d.fields) {
        if (*f.nested != '\0' && out.insert(f.nested).second) {
            referenced(*find(f.nested), out);
        }
    }
}

// Python's json.dumps with separators (", ", ": "); the names here need no escaping.
std::string json(const Description& d) {
    std::string s = "{\"type_name\": \"" + std::string(d.name) + "\", \"fields\": [";
    for (size_t i = 0; i < d.fields.size(); ++i) {
        const Field& f = d.fields[i];
        if (i != 0) {
            s += ", ";
        }
        s += "{\"name\": \"" + std::string(f.name) +
             "\", \"type\": {\"type_id\": " + std::to_string(f.typeId) +
             ", \"capacity\": " + std::to_string(f.capacity) +
             ", \"string_capacity\": 0, \"nested_type_name\": \"" + f.nested + "\"}}";
    }
    return s + "]}";
}

// FIPS 180-4.
struct Sha256 {
    std::array<uint32_t, 8> h{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void block(const uint8_t* p) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 |
                   uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<uint32_t, 8> v = h;
        for (int i = 0; i < 64; ++i) {
            uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
            uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
            uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
            uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            uint32_t t2 = s0 + maj;
            v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (int i = 0; i < 8; ++i) {
            h[i] += v[i];
        }
    }
};

}  // namespace

std::string sha256Hex(const std::string& bytes) {
    Sha256 sha;
    std::string m = bytes;
    uint64_t bits = uint64_t(bytes.size()) * 8;
    m += char(0x80);
    while (m.size() % 64 != 56) {
        m += char(0);
    }
    for (int i = 7; i >= 0; --i) {
        m += char(bits >> (8 * i));
    }
    for (size_t i = 0; i < m.size(); i += 64) {
        sha.block(reinterpret_cast<const uint8_t*>(m.data() + i));
    }
    std::string hex;
    char digits[9];
    for (uint32_t word : sha.h) {
        std::snprintf(digits, sizeof digits, "%08x", word);
        hex += digits;
    }
    return hex;
}

std::string typeDescriptionJson(const std::string& rosType) {
    const Description* d = find(rosType);
    if (d == nullptr) {
        return "";
    }
    std::set<std::string> names;  // sorted by type name, as rosidl sorts them
    referenced(*d, names);
    std::string s = "{\"type_description\": " + json(*d) + ", \"referenced_type_descriptions\": [";
    bool first = true;
    for (const std::string& name : names) {
        s += first ? "" : ", ";
        s += json(*find(name));
        first = false;
    }
    return s + "]}";
}

std::string typeHash(const std::string& rosType) {
    std::string text = typeDescriptionJson(rosType);
    return text.empty() ? "" : "RIHS01_" + sha256Hex(text);
}

}  // namespace tarn::dds
