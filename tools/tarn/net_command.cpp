// tarn net: reads and writes sensors' network settings over their control connections, several
// sensors in parallel, and checks address texts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KESOApi.h"
#include "tarn/control.h"
#include "tools/tarn/address.h"
#include "tools/tarn/commands.h"
#include "tools/tarn/exit_status.h"
#include "tools/tarn/options.h"
#include "tools/tarn/settings_text.h"

namespace tarn::cli {
namespace {

constexpr long kDefaultTimeoutMs = 1000;
constexpr long kMaxTimeoutMs = 60000;
constexpr long kMaxPort = 65535;

const char* const kNetUsage = R"(usage: tarn net <get | set | check> [options]
Reads or writes sensors' 44-byte network settings over their control connections (TCP port
6501), several sensors in parallel, or checks whether the library accepts an address text. Each
has its own --help.

  get     prints the settings as hex and decoded
  set     writes the settings from --hex or from single members
  check   says whether an address text is accepted

Examples:
  tarn net get --device 192.168.1.10 --device 192.168.1.11
  tarn net set --device 192.168.1.10 --host-address 192.168.1.20 --host-port 7001
  tarn net check 192.168.1.10
)";

const char* const kGetUsage = "usage: tarn net get --device A [--device B ...] [--timeout MS]";
const char* const kGetDescription =
    R"(Reads each sensor's 44-byte network settings, all sensors in parallel, and prints them in the
order given, as hex (what tarn net set --hex takes) and decoded with the layout of
tarn/net_settings.h, the simulated sensor's: address, netmask, gateway, host address, data port,
host port, MAC. A real sensor may lay them out its own way. Settings whose data CRC does not
match are not printed. The exit status is that of the first sensor, in the order given, that
failed.)";
const char* const kGetExamples = R"(  tarn net get --device 192.168.1.10
  tarn net get --device 127.0.10.1 --timeout 200      a tarn sim --control 127.0.10.1
)";

const char* const kSetUsage =
    "usage: tarn net set --device A [--device B ...] [--timeout MS] [--force]\n"
    "                    (--hex H | member options)";
const char* const kSetDescription =
    R"(Writes each sensor's 44-byte network settings, all sensors in parallel. --hex gives the whole
record; the member options change single members (layout of tarn/net_settings.h), starting from
--hex when given, or else from the settings read from each sensor first, so every other byte
stays as it is. Settings read with a data CRC that does not match are not written back (a byte
may have changed on the way, and writing it could move the sensor elsewhere) unless --force is
given. The exit status is that of the first sensor, in the order given, that failed.)";
const char* const kSetExamples =
    R"usage(  tarn net set --device 192.168.1.10 --host-address 192.168.1.20 --host-port 7001
  tarn net set --device 192.168.1.10 --hex "$(tarn net get --device 192.168.1.10 | sed -n 's/^  hex *//p')"
)usage";

const char* const kCheckUsage = "usage: tarn net check ADDRESS";
const char* const kCheckDescription =
    R"(Says whether the library accepts ADDRESS as a sensor address (four components 0 to 255 of one to
three digits, separated by dots, nothing around them). It also says when the connection would
read an accepted text differently: a component with a leading zero is octal there.
Exit status 0 when accepted, 3 when not.)";
const char* const kCheckExamples = R"(  tarn net check 192.168.1.10          accepted
  tarn net check 192.168.1.010         accepted, but reaches 192.168.1.8
  tarn net check 256.1.1.1             not accepted
)";

// The control connection's port: --device A:P takes no other.
constexpr uint16_t kControlPort = 6501;

// The sensors and the wait, as get and set take them.
struct Devices {
    std::vector<Endpoint> endpoints;
    long timeoutMs = kDefaultTimeoutMs;
};

void addDeviceOptions(CLI::App& app, Devices& d) {
    addEndpointsOption(app, "device", d.endpoints,
                       {kControlPort, kControlPort, kControlPort, false},
                       "a sensor's address, dotted decimal without leading zeros; the port,\n"
                       "when given, is the control port 6501 (required; repeat it for more\n"
                       "sensors)");
    app.add_option("--timeout", d.timeoutMs,
                   "longest wait for each connection, 1 to 60000 ms [1000]")
        ->type_name("MS")
        ->check(wholeNumberIn(1, kMaxTimeoutMs));
}

struct Link {
    std::string device;
    int timeoutMs = 0;
};

std::vector<Link> readLinks(const Devices& d) {
    if (d.endpoints.empty()) {
        throw UsageError("--device is required");
    }
    std::vector<Link> links;
    for (const Endpoint& device : d.endpoints) {
        links.push_back(Link{device.address, static_cast<int>(d.timeoutMs)});
    }
    return links;
}

// Throws Failure for every result but success.
void check(int result, const Link& link, const char* doing) {
    if (result == KESO_OK) {
        return;
    }
    const ResultMeaning meaning = meaningOf(result);
    const std::string message = meaning.status == ExitStatus::failure
                                    ? "unexpected library result " + std::to_string(result)
                                    : meaning.message;
    throw Failure(meaning.status, link.device + ": " + doing + message);
}

using Control = std::unique_ptr<tarn_control, decltype(&tarn_control_close)>;

Control openControl(const Link& link) {
    tarn_control* control = nullptr;
    const int result = tarn_control_open(link.device.c_str(), link.timeoutMs, &control);
    if (result != TARN_OK) {
        throw Failure(ExitStatus::failure, link.device + ": " + tarn_strerror(result));
    }
    return Control(control, &tarn_control_close);
}

// Reads the settings; with force, settings whose data CRC does not match are taken as they came.
SettingsRecord readSettings(tarn_control* control, const Link& link, const char* doing, bool force,
                            const char* advice) {
    SettingsRecord record{};
    const int result = tarn_control_get_net_info(control, record.data());
    if (result == TARN_ERR_DATA_CRC && !force) {
        throw Failure(ExitStatus::getNetCommand,
                      link.device + ": " + doing +
                          "the settings arrived with a data CRC that does not match their bytes "
                          "(-18)" +
                          advice);
    }
    if (result != TARN_ERR_DATA_CRC) {
        check(result, link, doing);
    }
    return record;
}

std::string settingsText(const char* what, const Link& link, const SettingsRecord& record) {
    return std::string(what) + " " + link.device + " (" + std::to_string(record.size()) +
           " bytes):\n  hex           " + toHex(record) + "\n" + describe(record);
}

// Runs work for every link, each on a thread of its own, then prints what each printed in the
// order given. The first failure, in that order, is thrown; the others are reported before it.
template <typename Work>
void onEachDevice(const std::string& name, const std::vector<Link>& links, Work work) {
    struct Outcome {
        std::string out;
        std::exception_ptr failure;
    };
    std::vector<Outcome> outcomes(links.size());
    {
        std::vector<std::thread> threads;
        threads.reserve(links.size());
        for (std::size_t i = 0; i < links.size(); ++i) {
            threads.emplace_back([&, i] {
                try {
                    outcomes[i].out = work(links[i]);
                } catch (...) {
                    outcomes[i].failure = std::current_exception();
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    std::exception_ptr first;
    for (const Outcome& outcome : outcomes) {
        std::fputs(outcome.out.c_str(), stdout);
        if (!outcome.failure) {
            continue;
        }
        if (!first) {
            first = outcome.failure;
            continue;
        }
        try {
            std::rethrow_exception(outcome.failure);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
        }
    }
    if (first) {
        std::rethrow_exception(first);
    }
}

int runGet(const Words& words) {
    CLI::App app;
    Devices devices;
    describeCommand(app, kGetUsage, kGetDescription, kGetExamples);
    addDeviceOptions(app, devices);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    onEachDevice("tarn net get", readLinks(devices), [](const Link& link) {
        const Control control = openControl(link);
        return settingsText("settings of", link, readSettings(control.get(), link, "", false, ""));
    });
    return 0;
}

// The members the options of tarn net set change; the others stay unset.
struct Members {
    std::optional<Ipv4> address;
    std::optional<Ipv4> netmask;
    std::optional<Ipv4> gateway;
    std::optional<Ipv4> hostAddress;
    std::optional<uint16_t> dataPort;
    std::optional<uint16_t> hostPort;
    std::optional<Mac> mac;

    bool any() const {
        return address || netmask || gateway || hostAddress || dataPort || hostPort || mac;
    }
};

struct SetOptions {
    Devices devices;
    bool force = false;
    std::string hex;
    Members members;
};

void addAddressMember(CLI::App& app, const std::string& name, std::optional<Ipv4>& member,
                      const std::string& help) {
    app.add_option_function<std::string>(
           "--" + name,
           [name, &member](const std::string& text) { member = deviceAddress(name, text); }, help)
        ->type_name("A");
}

void addPortMember(CLI::App& app, const std::string& name, std::optional<uint16_t>& member,
                   const std::string& help) {
    app.add_option_function<long>(
           "--" + name, [&member](long port) { member = static_cast<uint16_t>(port); }, help)
        ->type_name("P")
        ->check(wholeNumberIn(1, kMaxPort));
}

void registerSet(CLI::App& app, SetOptions& o) {
    describeCommand(app, kSetUsage, kSetDescription, kSetExamples);
    addDeviceOptions(app, o.devices);
    app.add_flag("--force", o.force,
                 "write back settings read with a data CRC that does not match");
    app.add_option("--hex", o.hex,
                   "the whole record as 88 hex digits (spaces, colons, dashes ignored)")
        ->type_name("H");
    Members& m = o.members;
    addAddressMember(app, "address", m.address, "the sensor's new address");
    addAddressMember(app, "netmask", m.netmask, "its netmask");
    addAddressMember(app, "gateway", m.gateway, "its gateway");
    addAddressMember(app, "host-address", m.hostAddress, "where it sends its measurements");
    addPortMember(app, "data-port", m.dataPort, "its UDP source port, 1 to 65535");
    addPortMember(app, "host-port", m.hostPort, "the UDP port its measurements go to, 1 to 65535");
    app.add_option_function<std::string>(
           "--mac",
           [&m](const std::string& text) {
               m.mac = parseMac(text);
               if (!m.mac) {
                   throw UsageError("--mac '" + text +
                                    "' must be six hex bytes such as 02:00:00:00:00:01");
               }
           },
           "its hardware address, six hex bytes: 02:00:00:00:00:01")
        ->type_name("M");
}

void copyAddress(const std::optional<Ipv4>& address, uint8_t (&member)[4]) {
    if (address) {
        std::copy(address->begin(), address->end(), member);
    }
}

// The members m names, on top of `current`.
tarn_net_settings changedMembers(const Members& m, const tarn_net_settings& current) {
    tarn_net_settings s = current;
    copyAddress(m.address, s.address);
    copyAddress(m.netmask, s.netmask);
    copyAddress(m.gateway, s.gateway);
    copyAddress(m.hostAddress, s.host_address);
    s.data_port = m.dataPort.value_or(s.data_port);
    s.host_port = m.hostPort.value_or(s.host_port);
    if (m.mac) {
        std::copy(m.mac->begin(), m.mac->end(), s.mac);
    }
    return s;
}

int runSet(const Words& words) {
    CLI::App app;
    SetOptions o;
    registerSet(app, o);
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    const std::vector<Link> links = readLinks(o.devices);
    const bool force = o.force;
    std::optional<SettingsRecord> base;
    if (app.count("--hex") != 0) {
        base = parseHex(o.hex);
        if (!base) {
            throw UsageError("--hex must be 88 hex digits (44 bytes)");
        }
    }
    const bool members = o.members.any();
    if (!base && !members) {
        throw UsageError("nothing to write: give --hex or a member option such as --host-port");
    }

    onEachDevice("tarn net set", links, [&](const Link& link) {
        const Control control = openControl(link);
        SettingsRecord record =
            base ? *base
                 : readSettings(control.get(), link, "reading the current settings: ", force,
                                "; --force writes them back all the same");
        if (members) {
            // Every byte is a member or reserved, so the bytes no option names stay as they were.
            record = recordOf(changedMembers(o.members, membersOf(record)));
        }
        const int result = tarn_control_set_net_info(control.get(), record.data());
        if (result == TARN_ERR_DATA_CRC) {
            throw Failure(ExitStatus::setNetCommand,
                          link.device +
                              ": the sensor's confirmation arrived with a data CRC that does not "
                              "match: read the settings back (-18)");
        }
        check(result, link, "");
        return settingsText("wrote the settings of", link, record);
    });
    return 0;
}

int runCheck(const Words& words) {
    CLI::App app;
    std::string text;
    describeCommand(app, kCheckUsage, kCheckDescription, kCheckExamples);
    app.add_option("ADDRESS", text, "the address text to check");
    if (!parseCommandLine(app, words)) {
        return 0;
    }
    if (app.count("ADDRESS") == 0) {
        throw UsageError("missing the address to check");
    }
    if (!KESOCheckIpFormat(text)) {
        std::printf("'%s': not accepted: not four components 0 to 255 separated by dots\n",
                    text.c_str());
        return static_cast<int>(ExitStatus::rejected);
    }
    if (parseIpv4(text)) {
        std::printf("%s: accepted\n", text.c_str());
        return 0;
    }
    const std::optional<Ipv4> target = connectionTarget(text);
    if (target) {
        std::printf(
            "%s: accepted, but the connection reads leading zeros as octal and reaches %s\n",
            text.c_str(), formatIpv4(*target).c_str());
    } else {
        std::printf(
            "%s: accepted, but the connection reads leading zeros as octal and gets no "
            "address from it (8 and 9 are not octal digits)\n",
            text.c_str());
    }
    return 0;
}

}  // namespace

int runNet(const Words& words) {
    struct Sub {
        const char* name;
        int (*run)(const Words&);
    };
    static constexpr Sub kSubs[] = {{"get", runGet}, {"set", runSet}, {"check", runCheck}};
    if (words.empty()) {
        throw UsageError("missing subcommand (get, set or check)");
    }
    if (words[0] == "--help" || words[0] == "-h") {
        std::fputs(kNetUsage, stdout);
        return static_cast<int>(ExitStatus::ok);
    }
    for (const Sub& sub : kSubs) {
        if (words[0] == sub.name) {
            return runGuarded(std::string("tarn net ") + sub.name, sub.run,
                              Words(words.begin() + 1, words.end()));
        }
    }
    throw UsageError("unknown subcommand '" + words[0] + "' (get, set or check)");
}

}  // namespace tarn::cli
