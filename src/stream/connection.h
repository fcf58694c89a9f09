// The default stream's measurement connection: binds the UDP socket and starts and ends the data
// path's workers.
#ifndef TARN_STREAM_CONNECTION_H
#define TARN_STREAM_CONNECTION_H

namespace tarn::stream {

// Binds localPort, waits for the previous connection's workers to return, discards what they left
// in the queues, then starts the receiver, the assembler and the decoder. Result codes as
// KESOConnectDevice. On a worker thread (inside a callback) it starts nothing, since waiting there
// for the workers would never end: it then returns -1998 after the argument checks and leaves the
// connection as it is.
int connectDevice(int localPort, const char* deviceIp, int devicePort);

// Ends the connection: stops and wakes the workers, lets the receiver return, closes the socket
// and pauses 100 ms. Always 0. Does not wait for the assembler or the decoder, so it is safe
// inside a callback.
int disconnectDevice();

}  // namespace tarn::stream

#endif  // TARN_STREAM_CONNECTION_H
