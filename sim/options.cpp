#include "sim/options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tarn::sim {
namespace {

using Refusal = std::optional<std::string>;
using Setter = Refusal (*)(SensorConfig&, const std::string&);

constexpr long long kMaxPort = 65535;
constexpr long long kMaxFrameIndex = 1000000000LL;
constexpr long long kMaxDatagramIndex = 10000;
constexpr long long kMaxByte = 255;
constexpr long long kMaxSeed = 0xFFFFFFFFLL;
constexpr double kMaxSeconds = 1e7;
constexpr uint8_t kLoopbackFirstOctet = 127;
constexpr int kOctets = 4;
constexpr int kMaxOctetDigits = 3;
constexpr int kMaxOctet = 255;
// Usage lines: the help text starts in this column.
constexpr std::size_t kHelpColumn = 25;
// and lines are wrapped at a space before this width.
constexpr std::size_t kLineWidth = 100;

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

// Shortest decimal text of a bound, so messages say "0.1 to 1000" rather than "0.100000".
std::string boundText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool parseWhole(const std::string& text, long long low, long long high, long long* value,
                bool allowHex = false) {
    const bool hex =
        allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.c_str() + (hex ? 2 : 0);
    if (*begin == '\0' || std::isspace(static_cast<unsigned char>(*begin)) != 0 ||
        (hex && (*begin == '-' || *begin == '+'))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(begin, &end, hex ? 16 : 10);
    if (*end != '\0' || errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

Refusal number(const std::string& text, double low, double high, double* value) {
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0 || *end != '\0' ||
        errno != 0 || !std::isfinite(parsed) || parsed < low || parsed > high) {
        return "must be a number from " + boundText(low) + " to " + boundText(high) + ", not " +
               quoted(text);
    }
    *value = parsed;
    return std::nullopt;
}

Refusal whole(const std::string& text, long long low, long long high, long long* value) {
    if (!parseWhole(text, low, high, value)) {
        return "must be a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not " + quoted(text);
    }
    return std::nullopt;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// Four dotted decimal components of one to three digits, each 0 to 255; nullopt otherwise.
// leadingZero tells whether a component has a leading zero (which some readers take as octal).
std::optional<std::vector<int>> dottedQuad(const std::string& text, bool* leadingZero) {
    const std::vector<std::string> parts = split(text, '.');
    if (parts.size() != kOctets) {
        return std::nullopt;
    }
    std::vector<int> octets;
    *leadingZero = false;
    for (const std::string& part : parts) {
        if (part.empty() || part.size() > kMaxOctetDigits) {
            return std::nullopt;
        }
        for (const char c : part) {
            if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
                return std::nullopt;
            }
        }
        const int octet = std::atoi(part.c_str());
        if (octet > kMaxOctet) {
            return std::nullopt;
        }
        *leadingZero = *leadingZero || (part.size() > 1 && part[0] == '0');
        octets.push_back(octet);
    }
    return octets;
}

Refusal loopback(const std::string& text, std::string* address) {
    bool leadingZero = false;
    const std::optional<std::vector<int>> octets = dottedQuad(text, &leadingZero);
    if (!octets) {
        return quoted(text) + " is not a dotted-quad IPv4 address";
    }
    if (leadingZero) {
        return quoted(text) +
               " has a leading zero, which the connection reads as octal; write it without "
               "leading zeros";
    }
    if ((*octets)[0] != kLoopbackFirstOctet) {
        return quoted(text) + " is not a loopback address (127.x.y.z)";
    }
    *address = text;
    return std::nullopt;
}

Refusal endpoint(const std::string& text, long long minPort, std::string* address, uint16_t* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return quoted(text) + " must be ADDRESS:PORT";
    }
    std::string parsedAddress;
    if (Refusal refusal = loopback(text.substr(0, colon), &parsedAddress)) {
        return refusal;
    }
    long long parsedPort = 0;
    if (!parseWhole(text.substr(colon + 1), minPort, kMaxPort, &parsedPort)) {
        return quoted(text) + ": the port must be from " + std::to_string(minPort) + " to 65535";
    }
    *address = parsedAddress;
    *port = static_cast<uint16_t>(parsedPort);
    return std::nullopt;
}

// A fault's values: "K:D" followed by more whole numbers within the extra bounds.
Refusal faultNumbers(const std::string& text,
                     const std::vector<std::pair<long long, long long>>& extra, const char* format,
                     std::vector<long long>* values) {
    std::vector<std::pair<long long, long long>> bounds = {{0, kMaxFrameIndex},
                                                           {-kMaxDatagramIndex, kMaxDatagramIndex}};
    bounds.insert(bounds.end(), extra.begin(), extra.end());
    const std::vector<std::string> parts = split(text, ':');
    values->assign(bounds.size(), 0);
    bool valid = parts.size() == bounds.size();
    for (std::size_t i = 0; valid && i < parts.size(); ++i) {
        valid = parseWhole(parts[i], bounds[i].first, bounds[i].second, &(*values)[i]);
    }
    if (!valid) {
        return quoted(text) + " must be " + format;
    }
    return std::nullopt;
}

DatagramFault fault(FaultKind kind, const std::vector<long long>& values) {
    DatagramFault result;
    result.kind = kind;
    result.frame = static_cast<uint64_t>(values[0]);
    result.datagram = static_cast<int>(values[1]);
    return result;
}

template <FaultKind kind>
Refusal setFrameDatagramFault(SensorConfig& c, const std::string& text) {
    std::vector<long long> v;
    if (Refusal refusal = faultNumbers(text, {}, "K:D", &v)) {
        return refusal;
    }
    c.faults.push_back(fault(kind, v));
    return std::nullopt;
}

template <int datagram>
Refusal setDropOfFrame(SensorConfig& c, const std::string& text) {
    long long frame = 0;
    if (!parseWhole(text, 0, kMaxFrameIndex, &frame)) {
        return quoted(text) + " must be a frame number from 0";
    }
    c.faults.push_back(fault(FaultKind::kDrop, {frame, datagram}));
    return std::nullopt;
}

Refusal setTruncate(SensorConfig& c, const std::string& text) {
    std::vector<long long> v;
    if (Refusal refusal =
            faultNumbers(text, {{0, static_cast<long long>(kMaxDatagramBytes)}}, "K:D:N", &v)) {
        return refusal;
    }
    DatagramFault f = fault(FaultKind::kTruncate, v);
    f.offset = static_cast<std::size_t>(v[2]);
    c.faults.push_back(f);
    return std::nullopt;
}

Refusal setCorrupt(SensorConfig& c, const std::string& text) {
    std::vector<long long> v;
    if (Refusal refusal =
            faultNumbers(text, {{0, static_cast<long long>(kMaxDatagramBytes) - 1}, {0, kMaxByte}},
                         "K:D:O:V", &v)) {
        return refusal;
    }
    DatagramFault f = fault(FaultKind::kCorruptByte, v);
    f.offset = static_cast<std::size_t>(v[2]);
    f.value = static_cast<uint8_t>(v[3]);
    c.faults.push_back(f);
    return std::nullopt;
}

struct Named {
    const char* name;
    long long value;
};

constexpr Named kCommands[] = {
    {"get-pkg-size", 0x0001}, {"set-pkg-size", 0x0002}, {"set-net", 0x0201}, {"get-net", 0x0202}};

constexpr Named kReplyFaults[] = {
    {"refuse", static_cast<long long>(ReplyFault::refuse)},
    {"wrong-command", static_cast<long long>(ReplyFault::wrongCommand)},
    {"wrong-head-crc", static_cast<long long>(ReplyFault::wrongHeadCrc)},
    {"wrong-data-len", static_cast<long long>(ReplyFault::wrongDataLen)},
    {"wrong-data-crc", static_cast<long long>(ReplyFault::wrongDataCrc)},
    {"truncated-data", static_cast<long long>(ReplyFault::truncatedData)},
    {"split", static_cast<long long>(ReplyFault::split)},
    {"late", static_cast<long long>(ReplyFault::late)},
    {"silent", static_cast<long long>(ReplyFault::silent)},
    {"close-mid-reply", static_cast<long long>(ReplyFault::closeMidReply)},
};

template <std::size_t N>
std::optional<long long> lookUp(const Named (&table)[N], const std::string& name) {
    for (const Named& entry : table) {
        if (name == entry.name) {
            return entry.value;
        }
    }
    return std::nullopt;
}

Refusal setControlFault(SensorConfig& c, const std::string& text) {
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 3) {
        return quoted(text) + " must be COMMAND:FAULT or COMMAND:FAULT:N";
    }
    std::optional<long long> command = lookUp(kCommands, parts[0]);
    long long code = 0;
    if (!command && parseWhole(parts[0], 0, 0xFFFF, &code, true)) {
        command = code;
    }
    if (!command) {
        return quoted(text) + ": unknown command " + quoted(parts[0]);
    }
    const std::optional<ReplyFault> kind = replyFaultNamed(parts[1]);
    if (!kind) {
        return quoted(text) + ": unknown fault " + quoted(parts[1]);
    }
    long long replies = FaultPlan::kEveryReply;
    if (parts.size() == 3 && !parseWhole(parts[2], 1, std::numeric_limits<int>::max(), &replies)) {
        return quoted(text) + ": the count must be a whole number from 1";
    }
    ControlFaultSetting setting;
    setting.command = static_cast<uint16_t>(*command);
    setting.plan.fault = *kind;
    setting.plan.replies = static_cast<int>(replies);
    c.controlFaults.push_back(setting);
    return std::nullopt;
}

// The setters of single numbers: the value goes to a member only once it is known to be valid.
#define TARN_SIM_NUMBER(member, low, high)                     \
    [](SensorConfig& c, const std::string& text) -> Refusal {  \
        double value = 0.0;                                    \
        Refusal refusal = number(text, low, high, &value);     \
        if (!refusal) {                                        \
            c.member = static_cast<decltype(c.member)>(value); \
        }                                                      \
        return refusal;                                        \
    }
#define TARN_SIM_WHOLE(member, low, high)                      \
    [](SensorConfig& c, const std::string& text) -> Refusal {  \
        long long value = 0;                                   \
        Refusal refusal = whole(text, low, high, &value);      \
        if (!refusal) {                                        \
            c.member = static_cast<decltype(c.member)>(value); \
        }                                                      \
        return refusal;                                        \
    }

struct Entry {
    tarn_sim_option option;
    Setter set;
};

constexpr int kValue = TARN_SIM_OPTION_VALUE;
constexpr int kRepeated = TARN_SIM_OPTION_REPEATED;
constexpr int kFlag = TARN_SIM_OPTION_FLAG;
constexpr int kStream = TARN_SIM_GROUP_STREAM;
constexpr int kFaults = TARN_SIM_GROUP_FAULTS;
constexpr int kControl = TARN_SIM_GROUP_CONTROL;

const Entry kEntries[] = {
    {{"to", nullptr, "A:P", "where the measurements go, A within 127.0.0.0/8", "127.0.0.1:7001",
      kValue, kStream},
     [](SensorConfig& c, const std::string& text) {
         return endpoint(text, 1, &c.sender.destinationAddress, &c.sender.destinationPort);
     }},
    {{"from", nullptr, "A:P", "the sensor's source address and port, port 0 for any",
      "127.0.0.1:6301", kValue, kStream},
     [](SensorConfig& c, const std::string& text) {
         return endpoint(text, 0, &c.sender.sourceAddress, &c.sender.sourcePort);
     }},
    {{"port", nullptr, "P", "destination UDP port (the library's local port)", "7001", kValue,
      kStream},
     TARN_SIM_WHOLE(sender.destinationPort, 1, kMaxPort)},
    {{"address", nullptr, "A", "destination address, 127.x.y.z", "127.0.0.1", kValue, kStream},
     [](SensorConfig& c, const std::string& text) {
         return loopback(text, &c.sender.destinationAddress);
     }},
    {{"source-address", nullptr, "A", "source address, 127.x.y.z", "127.0.0.1", kValue, kStream},
     [](SensorConfig& c, const std::string& text) {
         return loopback(text, &c.sender.sourceAddress);
     }},
    {{"source-port", nullptr, "P", "source port, 0 for any", "6301", kValue, kStream},
     TARN_SIM_WHOLE(sender.sourcePort, 0, kMaxPort)},
    {{"fps", nullptr, "F", "frames per second, 0.1 to 1000", "15", kValue, kStream},
     TARN_SIM_NUMBER(fps, 0.1, 1000.0)},
    {{"pixel-type", nullptr, "T",
      "0: 4-byte (distance), 1: 8-byte (x y z), 2: 10-byte (both) pixels", "2", kValue, kStream},
     TARN_SIM_WHOLE(pixelType, kPixelType4Bytes, kPixelType10Bytes)},
    {{"imu-rate", nullptr, "H", "IMU samples per second, 0 for none", "100", kValue, kStream},
     TARN_SIM_NUMBER(imuRate, 0.0, 10000.0)},
    {{"tilt", nullptr, "D", "the wall's tilt in degrees, -89 to 89", "12", kValue, kStream},
     TARN_SIM_NUMBER(scene.tiltDegrees, -89.0, 89.0)},
    {{"distance", nullptr, "X", "the wall's distance at its centre", "2000", kValue, kStream},
     TARN_SIM_NUMBER(scene.wallDistance, 1.0, 6000.0)},
    {{"noise", nullptr, "R", "standard deviation of the noise in raw units of 0.2", "2", kValue,
      kStream},
     TARN_SIM_NUMBER(scene.noiseRaw, 0.0, 1000.0)},
    {{"frames", nullptr, "N", "stop after N frames, 0 for no bound", "no bound", kValue, kStream},
     TARN_SIM_WHOLE(frames, 0, kMaxFrameIndex)},
    {{"duration", "seconds", "S", "stop after S seconds, 0 for no bound", "no bound", kValue,
      kStream},
     TARN_SIM_NUMBER(seconds, 0.0, kMaxSeconds)},
    {{"first-frame", nullptr, "N",
      "the first frame's number, which each frame carries as timestamp", "1", kValue, kStream},
     TARN_SIM_WHOLE(firstFrame, 0, kMaxFrameIndex)},
    {{"tag", nullptr, "N", "the tag byte of every measurement datagram", "0", kValue, kStream},
     TARN_SIM_WHOLE(tag, 0, kMaxByte)},
    {{"spread", nullptr, "S", "share of the frame period a frame's datagrams are spread over",
      "0.5", kValue, kStream},
     TARN_SIM_NUMBER(spread, 0.0, 1.0)},
    {{"no-stream", nullptr, nullptr, "send no measurements, only serve the control port", nullptr,
      kFlag, kStream},
     [](SensorConfig& c, const std::string&) -> Refusal {
         c.streaming = false;
         return std::nullopt;
     }},

    {{"loss", "drop-rate", "R", "share of datagrams dropped at random, 0 to 1", "0", kValue,
      kFaults},
     TARN_SIM_NUMBER(random.dropRate, 0.0, 1.0)},
    {{"duplicates", "duplicate-rate", "R", "share of datagrams sent twice", "0", kValue, kFaults},
     TARN_SIM_NUMBER(random.duplicateRate, 0.0, 1.0)},
    {{"reorder", "reorder-rate", "R", "share of datagrams sent after their successor", "0", kValue,
      kFaults},
     TARN_SIM_NUMBER(random.reorderRate, 0.0, 1.0)},
    {{"seed", nullptr, "S", "seed of the random faults and of the noise", "1", kValue, kFaults},
     [](SensorConfig& c, const std::string& text) {
         long long value = 0;
         Refusal refusal = whole(text, 0, kMaxSeed, &value);
         if (!refusal) {
             c.scene.seed = c.random.seed = static_cast<uint32_t>(value);
         }
         return refusal;
     }},
    {{"drop-first-of", nullptr, "K",
      "drop the first datagram of frame K (it merges into the frame before)", nullptr, kRepeated,
      kFaults},
     setDropOfFrame<0>},
    {{"drop-last-of", nullptr, "K",
      "drop the last datagram of frame K (the frame is never complete)", nullptr, kRepeated,
      kFaults},
     setDropOfFrame<-1>},
    {{"drop", nullptr, "K:D", "drop datagram D of frame K", nullptr, kRepeated, kFaults},
     setFrameDatagramFault<FaultKind::kDrop>},
    {{"duplicate", nullptr, "K:D", "send datagram D of frame K twice", nullptr, kRepeated, kFaults},
     setFrameDatagramFault<FaultKind::kDuplicate>},
    {{"delay", nullptr, "K:D", "send datagram D of frame K after the one that follows it", nullptr,
      kRepeated, kFaults},
     setFrameDatagramFault<FaultKind::kReorder>},
    {{"corrupt", nullptr, "K:D:O:V", "set byte O of datagram D of frame K to V", nullptr, kRepeated,
      kFaults},
     setCorrupt},
    {{"truncate", nullptr, "K:D:N", "send only the first N bytes of datagram D of frame K", nullptr,
      kRepeated, kFaults},
     setTruncate},
    {{"foreign", nullptr, "K:D", "send datagram D of frame K from another source port", nullptr,
      kRepeated, kFaults},
     setFrameDatagramFault<FaultKind::kForeignPort>},

    {{"control", nullptr, "A", "serve the control port on A:6501, A within 127.0.0.0/8", nullptr,
      kValue, kControl},
     [](SensorConfig& c, const std::string& text) { return loopback(text, &c.control); }},
    {{"pkg-size", nullptr, "N", "package size reported for command 0x0001", "8192", kValue,
      kControl},
     TARN_SIM_WHOLE(pkgSize, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max())},
    {{"control-fault", nullptr, "C:F[:N]",
      "spoil the replies to command C with fault F, N times or always.\n"
      "C: 0x0001 get-pkg-size, 0x0002 set-pkg-size, 0x0201 set-net,\n"
      "   0x0202 get-net.\n"
      "F: refuse, wrong-command, wrong-head-crc, wrong-data-len,\n"
      "   wrong-data-crc, truncated-data, split, late, silent,\n"
      "   close-mid-reply.",
      nullptr, kRepeated, kControl},
     setControlFault},
};

#undef TARN_SIM_NUMBER
#undef TARN_SIM_WHOLE

const Entry* findEntry(const std::string& name) {
    for (const Entry& entry : kEntries) {
        if (name == entry.option.name ||
            (entry.option.alias != nullptr && name == entry.option.alias)) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

SensorConfig::SensorConfig() {
    sender = {"127.0.0.1", 6301, "127.0.0.1", 7001};
    scene.tiltDegrees = 12.0f;
}

std::size_t optionCount() {
    return sizeof kEntries / sizeof kEntries[0];
}

const tarn_sim_option* optionAt(std::size_t index) {
    return index < optionCount() ? &kEntries[index].option : nullptr;
}

const tarn_sim_option* findOption(const std::string& name) {
    const Entry* entry = findEntry(name);
    return entry != nullptr ? &entry->option : nullptr;
}

std::optional<std::string> setOption(SensorConfig& config, const std::string& name,
                                     const std::string& text) {
    const Entry* entry = findEntry(name);
    if (entry == nullptr) {
        return std::string("is not an option");
    }
    SensorConfig changed = config;
    Refusal refusal = entry->set(changed, text);
    if (!refusal) {
        config = std::move(changed);
    }
    return refusal;
}

std::optional<ReplyFault> replyFaultNamed(const std::string& name) {
    const std::optional<long long> value = lookUp(kReplyFaults, name);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<ReplyFault>(*value);
}

std::string optionUsage(const tarn_sim_option& option, const std::string& shown,
                        const std::string& prefix) {
    std::string head = "  --" + shown;
    if (option.syntax != nullptr) {
        head += std::string(" ") + option.syntax;
    }
    const std::string indent(kHelpColumn, ' ');
    std::string help = prefix + option.help;
    if (option.fallback != nullptr) {
        help += std::string(" [") + option.fallback + "]";
    }
    std::string text = head.size() + 2 <= kHelpColumn
                           ? head + std::string(kHelpColumn - head.size(), ' ')
                           : head + "\n" + indent;
    std::size_t column = kHelpColumn;
    for (const std::string& line : split(help, '\n')) {
        if (column != kHelpColumn) {
            text += "\n" + indent;
            column = kHelpColumn;
        }
        std::size_t start = 0;
        while (start < line.size()) {
            std::size_t end = line.find(' ', start + 1);
            end = end == std::string::npos ? line.size() : end;
            if (column + (end - start) > kLineWidth && start > 0 && line[start] == ' ') {
                text += "\n" + indent;
                column = kHelpColumn;
                ++start;  // the space that broke the line
            }
            text += line.substr(start, end - start);
            column += end - start;
            start = end;
        }
        column = column == kHelpColumn ? kHelpColumn + 1 : column;
    }
    return text + "\n";
}

std::optional<std::string> loopbackText(const std::string& text) {
    std::string address;
    if (loopback(text, &address)) {
        return std::nullopt;
    }
    return address;
}

}  // namespace tarn::sim
