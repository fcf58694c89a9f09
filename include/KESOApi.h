// tarn SDK: client library for the KESO networked depth sensor.
//
// The library streams frames of 150 x 360 points from the sensor over UDP, reads and writes the
// sensor's network settings over its TCP control connection (port 6501), rotates and translates
// frame coordinates, and measures the tilt angle of a plane seen in the frames.
//
// All state is process-wide: one measurement connection, one control connection and one angle
// measurement at a time. Failures are result codes (0 is success); the library throws nothing of
// its own. This header compiles as C++11 and later.
#ifndef KESO_API_H
#define KESO_API_H

#include <cstdint>
#include <string>

// Frame geometry: every grid exchanged with the library is KESOPointData[KESO_ROWS][KESO_COLUMNS],
// passed as a pointer to its first row and always transferred whole.
#define KESO_ROWS 150
#define KESO_COLUMNS 360

// Result codes.
#define KESO_OK 0
#define KESO_ERR_LOCAL_PORT (-2000)       // KESOConnectDevice: local port outside 1 to 65535
#define KESO_ERR_DEVICE_ADDRESS (-1999)   // KESOConnectDevice: bad device address or device port
#define KESO_ERR_BIND (-1998)             // KESOConnectDevice: binding the local UDP port failed
#define KESO_ERR_CONNECTED (-1995)        // callback registration while a connection is up
#define KESO_ERR_NO_FRAME (-1992)         // KESOGetFrame: nothing published in this connection
#define KESO_ERR_SET_NET_LINK (-1990)     // KESOSetNetInfo: control connection not made
#define KESO_ERR_GET_NET_LINK (-1989)     // KESOGetNetInfo: control connection not made
#define KESO_ERR_SET_NET_COMMAND (-1988)  // KESOSetNetInfo: linked, but the sensor did not apply it
#define KESO_ERR_GET_NET_COMMAND (-1987)  // KESOGetNetInfo: linked, but the settings were not read
#define KESO_LINK_FAILED 2                // KESOLinkDeviceNetControl: control connection not made

// One cell of a frame grid (40 bytes, natural alignment).
struct KESOPointData {
    uint16_t row;        // the cell's own row, 0 to 149
    uint16_t column;     // the cell's own column, 0 to 359
    float distance;      // raw distance, unscaled; 0 for pixels without distance
    uint32_t intensity;  // 0 to 255
    float x;             // sensor coordinates; 0 for pixels without coordinates
    float y;
    float z;
    uint64_t timestamp;  // the sensor's timestamp of the datagram that carried the point
    uint64_t tag;        // the sensor's tag byte of that datagram, 0 to 255
};
static_assert(sizeof(KESOPointData) == 40, "KESOPointData is 40 bytes");

#pragma pack(push, 1)
// One inertial sample (40 bytes, byte-packed). The library interprets only sampleFlag and
// timestamp; the other bytes come from the sensor unchanged. Read timestamp by value: a reference
// or pointer to it would be misaligned.
struct KESOImuData {
    uint8_t header[2];      // sensor-defined
    uint8_t sampleFlag;     // always 1 for a delivered sample
    uint8_t reserved[3];    // sensor-defined
    uint64_t timestamp;     // the sensor's timestamp divided by 1,000,000
    uint8_t sample[26];     // sensor-defined sample data
};
#pragma pack(pop)
static_assert(sizeof(KESOImuData) == 40, "KESOImuData is 40 bytes");

// The sensor's network settings: 44 bytes defined by the sensor. The library moves them as
// opaque bytes and never reads a member.
struct KESOIpInfo {
    uint8_t bytes[44];
};
static_assert(sizeof(KESOIpInfo) == 44, "KESOIpInfo is 44 bytes");
static_assert(alignof(KESOIpInfo) <= 4, "KESOIpInfo is aligned to at most 4 bytes");

// Rotation (degrees) and translation applied by KESOGetRotatePointcloudData. A point is turned
// about x by -angleX, then about y by angleY, then about z by angleZ, and translated last.
struct KESORotateInfo {
    float angleX;
    float angleY;
    float angleZ;
    float offsetX;
    float offsetY;
    float offsetZ;
};
static_assert(sizeof(KESORotateInfo) == 24, "KESORotateInfo is 24 bytes");

// Configuration of the plane angle measurement. The measurement's X range bounds a point's y,
// its Y range bounds z, and its Z range bounds x; every bound is exclusive.
struct KESOAngleMeasureParam {
    int32_t xLower;         // y must be above this
    int32_t xUpper;         // y must be below this
    int32_t yLower;         // z must be above this
    int32_t yUpper;         // z must be below this
    int32_t windowWidth;    // width in y of the edge window kept while the plane is steep
    int32_t windowStep;     // shift in y of the neighbour windows tried while tracking
    int32_t binWidth;       // slice width along z; must not be 0
    int32_t zUpper;         // x must be below this (note: upper before lower)
    int32_t zLower;         // x must be above this
    int32_t minFitPoints;   // least number of points in a slice or window to fit a line
    float angleTolerance;   // degrees a fit may differ from the reference angle
    float extendAngle;      // degrees above which an edge window is added
    float resetAngle;       // degrees below which the next measurement starts afresh
};
static_assert(sizeof(KESOAngleMeasureParam) == 52, "KESOAngleMeasureParam is 13 fields of 4 bytes");

#pragma pack(push, 1)
// Result of KESOGetPlaneAngle: a code (0, -98, -99 or -100) and a static message text that the
// caller never frees.
struct KESOAngleResult {
    int32_t code;
    const char* message;
};
#pragma pack(pop)
static_assert(sizeof(KESOAngleResult) == sizeof(int32_t) + sizeof(const char*),
              "KESOAngleResult is packed");

// Callback types. Callbacks run on library threads and hold them up while they run.
typedef void (*KESOFrameCallback)(KESOPointData (*grid)[KESO_COLUMNS]);
typedef void (*KESOImuCallback)(KESOImuData sample);

// ---- Connection and frames ----------------------------------------------------------------

// Binds localPort on all local IPv4 addresses and starts streaming frames from the sensor at
// deviceIp (dotted decimal), accepting datagrams from its source port devicePort or 6301. Returns
// 0; -2000 when localPort is outside 1 to 65535; -1999 when deviceIp is null or not a dotted-quad
// IPv4 address (no leading zeros, no blanks) or devicePort is outside 1 to 65535; -1998 when the
// bind failed (the connection is then closed; also while already connected). Blocks until the
// workers of a previous connection have returned (a slow frame callback delays it), then discards
// the datagrams and frames that connection left queued. Prints one line to standard error when
// the receive buffer the kernel granted holds fewer than two frames, with how to raise
// net.core.rmem_max. Call from one application thread at a time. Inside a callback it cannot
// wait for the workers: there it starts nothing, leaves the connection as it is and returns
// -1998 ("bind error!" with EDEADLK). The connection is the default stream of tarn/tarn.h, whose
// tarn_stream_get_stats and tarn_stream_wait_frame also serve it.
int KESOConnectDevice(int localPort, const char* deviceIp, int devicePort);

// Ends the measurement connection (also when there is none), then pauses 100 ms. Always 0.
// Wakes the workers and waits only for the receiver (well under a millisecond) before closing the
// socket, never for a callback, so it may also be called inside a callback. Call from one
// application thread at a time.
int KESODisconnectDevice();

// Copies a whole grid into the published buffer; while connected, KESOGetFrame then returns it.
// The decoder calls it after every frame. A null grid is ignored. Safe to call from any thread.
void KESOSetFrame(KESOPointData (*grid)[KESO_COLUMNS]);

// Copies the latest published grid into grid. Returns 0, or -1992 when nothing was published
// during the current connection or grid is null (grid is then untouched). Safe to call from any
// thread.
int KESOGetFrame(KESOPointData (*grid)[KESO_COLUMNS]);

// Registers the frame callback, called on the decoder thread with the decoded grid after every
// frame; the grid stays unchanged only until the callback returns. Returns 0, or -1995 while
// connected. A null func keeps the previous callback.
int KESORegisterCallbackUpdateFrame(void (*func)(KESOPointData (*)[KESO_COLUMNS]));

// Registers the IMU callback, called on the assembler thread for every IMU sample. Returns 0, or
// -1995 while connected. A null func keeps the previous callback.
int KESORegisterCallbackUpdateImu(void (*func)(KESOImuData));

// ---- Control channel ----------------------------------------------------------------------
// The control functions share unlocked state: call them from one thread at a time. Each command
// makes at most two attempts, each within 1 s (plus 100 ms after a send that failed), so a link
// takes at most its connection wait plus 4.4 s (two commands of the package-size negotiation),
// and a settings call at most its connection wait plus 6.7 s, whatever the sensor does.

// CRC-8 (polynomial 0x31, MSB first, no reflection, no final XOR) of len bytes, starting from
// init. Reads nothing when len is 0 or data is null, and then returns init. Safe to call from any
// thread.
unsigned char KESOCrc8(const unsigned char* data, uint32_t len, unsigned char init);

// Opens the control connection to port 6501 of ip within timeoutMs and negotiates the package
// size. Returns 0 when linked, 2 when the connection was not made. ip must be a dotted-quad
// address written in decimal without leading zeros ("192.168.1.8", not "192.168.1.08"); any other
// text fails with 2 and the line "ctrl-server address "<ip>" is not a dotted-quad IPv4 address"
// on standard output, without connecting. timeoutMs bounds the connection wait only: a refused
// connection fails at once, and the system gives up an unanswered one by itself after about two
// minutes (Linux defaults), so a larger time-out waits no longer.
int KESOLinkDeviceNetControl(std::string ip, uint32_t timeoutMs);

// Closes the control connection (also when there is none), then pauses 100 ms.
void KESOBreakLinkDeviceNetControl();

// Links to the sensor at ip within timeoutMs, writes info, and breaks the link. Returns 0, -1990
// (connection not made) or -1988 (the sensor did not confirm the settings). A null ip, a negative
// timeoutMs or an address KESOLinkDeviceNetControl refuses give -1990 and one line on standard
// output, and nothing is connected.
int KESOSetNetInfo(const char* ip, int timeoutMs, KESOIpInfo info);

// Links to the sensor at ip within timeoutMs, reads its settings into *info, and breaks the
// link. Returns 0, -1989 (connection not made) or -1987 (settings not read; *info unchanged). A
// null ip, a negative timeoutMs or a refused address give -1989 as for KESOSetNetInfo; a null
// info gives -1987 without connecting.
int KESOGetNetInfo(const char* ip, int timeoutMs, KESOIpInfo* info);

// True exactly when ip is a dotted-quad IPv4 address: four components 0 to 255 of one to three
// digits, separated by single dots, nothing around them. Safe to call from any thread. (The
// control link also refuses leading zeros, which this check accepts.)
bool KESOCheckIpFormat(const std::string& ip);

// ---- Geometry -----------------------------------------------------------------------------

#define KESO_ERR_NULL_GRID (-1986)  // KESOGetRotatePointcloudData: grid is null

// Rotates and translates the x, y, z of every cell of grid in place (other members untouched).
// Returns 0, or -1986 when grid is null. Safe to call from any thread on a grid that no other
// thread uses meanwhile.
int KESOGetRotatePointcloudData(KESOPointData (*grid)[KESO_COLUMNS], KESORotateInfo info);

// ---- Plane angle measurement --------------------------------------------------------------

// Replaces the measurement with a fresh one configured by param (enable true), or removes it
// (enable false). Warns on standard error about reversed X or Y ranges and a zero bin width.
// Returns enable. Safe to call from any thread.
bool KESOEnableAngleMeasure(bool enable, KESOAngleMeasureParam param);

// Measures the plane angle (degrees) of one frame and writes it to *angle (NaN on failure).
// Result codes: 0 "OK", always with a finite angle from -90 to 90; -99 "Hashmap is empty",
// "Hashmap is error", "Angle data is error" (no slice gave a line); -98 "History data is error";
// -100 "Do not init algotithm module" (*angle untouched). Once enabled, a null frame or angle
// gives -99 "Frame or angle is null" and measures nothing. Safe to call from any thread; calls
// are serialised.
KESOAngleResult KESOGetPlaneAngle(KESOPointData (*frame)[KESO_COLUMNS], float* angle);

#endif  // KESO_API_H
