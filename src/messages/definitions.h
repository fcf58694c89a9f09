// The ROS 2 types this component writes: their names and their full definitions in the form bags
// store (ros2msg): the type's .msg text, then each type it depends on, depth first in name order,
// each once, after a line of 80 '=' and a line "MSG: package/Type".
//
// The .msg texts are data: msg/ beside this file holds ROS 2 Humble's files unchanged, and
// share/tarn_msgs/msg/ the project's own; the build embeds them.
#ifndef TARN_MESSAGES_DEFINITIONS_H
#define TARN_MESSAGES_DEFINITIONS_H

namespace tarn::messages {

struct MessageType {
    const char* name;        // "sensor_msgs/msg/PointCloud2"
    const char* definition;  // the full definition
};

// The type of a TARN_MESSAGE_ kind, or null for an unknown kind. Any thread.
const MessageType* messageType(int kind);

}  // namespace tarn::messages

#endif  // TARN_MESSAGES_DEFINITIONS_H
