#include "definitions.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "tarn/messages.h"

namespace tarn::messages {
namespace {

struct MsgFile {
    std::string_view type;  // package/Type
    std::string_view text;  // the .msg file as shipped
};

constexpr MsgFile kMsgFiles[] = {
#include "definition_texts.inc"
};

// The non-primitive field types of each .msg text, in name order.
struct Dependencies {
    std::string_view type;
    std::array<std::string_view, 3> on;
};

constexpr Dependencies kDependencies[] = {
    {"sensor_msgs/PointCloud2", {"sensor_msgs/PointField", "std_msgs/Header"}},
    {"sensor_msgs/Image", {"std_msgs/Header"}},
    {"sensor_msgs/Imu", {"geometry_msgs/Quaternion", "geometry_msgs/Vector3", "std_msgs/Header"}},
    {"std_msgs/Header", {"builtin_interfaces/Time"}},
    {"diagnostic_msgs/DiagnosticArray", {"diagnostic_msgs/DiagnosticStatus", "std_msgs/Header"}},
    {"diagnostic_msgs/DiagnosticStatus", {"diagnostic_msgs/KeyValue"}},
    {"tarn_msgs/ImuRaw", {"std_msgs/Header"}},
};

std::string_view textOf(std::string_view type) {
    for (const MsgFile& file : kMsgFiles) {
        if (file.type == type) {
            return file.text;
        }
    }
    return {};
}

void appendDefinition(std::string_view type, std::vector<std::string_view>& seen,
                      std::string& out) {
    if (!out.empty()) {
        out +=
            "\n================================================================================\n"
            "MSG: ";
        out += type;
        out += '\n';
    }
    out += textOf(type);
    for (const Dependencies& entry : kDependencies) {
        if (entry.type != type) {
            continue;
        }
        for (std::string_view dependency : entry.on) {
            bool known = dependency.empty();
            for (std::string_view s : seen) {
                known = known || s == dependency;
            }
            if (!known) {
                seen.push_back(dependency);
                appendDefinition(dependency, seen, out);
            }
        }
    }
}

struct Kind {
    const char* name;
    std::string_view root;
};

constexpr Kind kKinds[TARN_MESSAGE_KINDS] = {
    {"sensor_msgs/msg/PointCloud2", "sensor_msgs/PointCloud2"},
    {"sensor_msgs/msg/Image", "sensor_msgs/Image"},
    {"sensor_msgs/msg/Image", "sensor_msgs/Image"},
    {"tarn_msgs/msg/ImuRaw", "tarn_msgs/ImuRaw"},
    {"sensor_msgs/msg/Imu", "sensor_msgs/Imu"},
    {"diagnostic_msgs/msg/DiagnosticArray", "diagnostic_msgs/DiagnosticArray"},
};

struct Table {
    std::array<std::string, TARN_MESSAGE_KINDS> texts;
    std::array<MessageType, TARN_MESSAGE_KINDS> types;
    Table() {
        for (int kind = 0; kind < TARN_MESSAGE_KINDS; ++kind) {
            std::vector<std::string_view> seen{kKinds[kind].root};
            appendDefinition(kKinds[kind].root, seen, texts[kind]);
            types[kind] = {kKinds[kind].name, texts[kind].c_str()};
        }
    }
};

}  // namespace

const MessageType* messageType(int kind) {
    static const Table table;  // built once, on first use
    if (kind < 0 || kind >= TARN_MESSAGE_KINDS) {
        return nullptr;
    }
    return &table.types[kind];
}

}  // namespace tarn::messages
