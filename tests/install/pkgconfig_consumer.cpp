// A one-file application built only with `pkg-config --cflags --libs tarn_c_sdk`, the way a
// project without CMake uses the installed library. It calls into each subsystem that needs no
// sensor, so a library that links but lost its load-time state fails here.
#include <KESOApi.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {
// KESOGetPlaneAngle's code before KESOEnableAngleMeasure.
constexpr int kAngleNotEnabled = -100;

// A UDP port that was free a moment ago.
int freeUdpPort() {
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// An application object that connects from its constructor: with a static library this runs
// before the library's own initialisation, which must not matter.
struct EarlyConnection {
    EarlyConnection() : result(KESOConnectDevice(freeUdpPort(), "127.0.0.1", 1)) {}
    int result;
} earlyConnection;
}  // namespace

int main() {
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "pkgconfig_consumer: %s\n", what);
            ++failures;
        }
    };
    std::unique_ptr<KESOPointData[][KESO_COLUMNS]> grid(new KESOPointData[KESO_ROWS][KESO_COLUMNS]);
    check(earlyConnection.result == KESO_OK, "connect from a static constructor");
    KESODisconnectDevice();
    check(KESOGetFrame(grid.get()) == KESO_ERR_NO_FRAME, "a frame before any connection");
    check(KESOConnectDevice(0, "127.0.0.1", 1) == KESO_ERR_LOCAL_PORT, "local port 0 accepted");
    check(KESOCheckIpFormat("127.0.0.1") && !KESOCheckIpFormat("256.0.0.1"), "address check");
    const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    check(KESOCrc8(digits, sizeof digits, 0x00) == 0xA2, "CRC-8 of the check digits");
    float angle = 0.0f;
    check(KESOGetPlaneAngle(grid.get(), &angle).code == kAngleNotEnabled,
          "angle without measurement");
    if (failures == 0) {
        std::printf("pkgconfig_consumer: OK\n");
    }
    return failures == 0 ? 0 : 1;
}
