// The measurement connection: binds the UDP socket and starts and ends the data path's workers.
#ifndef TARN_STREAM_CONNECTION_H
#define TARN_STREAM_CONNECTION_H

#include <functional>

namespace tarn::stream {

// Binds localPort, waits for the previous connection's workers to return, then starts the
// receiver, the assembler and the decoder. Result codes as KESOConnectDevice. On a worker thread
// (inside a callback) it starts nothing, since waiting there for the workers would never end:
// it then returns -1998 after the argument checks and leaves the connection as it is.
int connectDevice(int localPort, const char* deviceIp, int devicePort);

// Ends the connection: clears the flags, lets the receiver return (about 1 ms), closes the socket
// and pauses 100 ms. Always 0. Does not wait for the assembler or the decoder, so it is safe
// inside a callback.
int disconnectDevice();

// Starts a detached thread running body; throws std::system_error when it cannot.
using WorkerLauncher = void (*)(std::function<void()> body);

// Replaces the way workers are started (tests use it to make a start fail); null restores the
// default. Call only while disconnected.
void setWorkerLauncher(WorkerLauncher launcher);

}  // namespace tarn::stream

#endif  // TARN_STREAM_CONNECTION_H
