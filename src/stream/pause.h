// Pauses of the worker loops.
#ifndef TARN_STREAM_PAUSE_H
#define TARN_STREAM_PAUSE_H

namespace tarn::stream {

// Sleeps for the given time; a signal that interrupts the sleep does not shorten it.
void pauseMicroseconds(long microseconds);

constexpr long kDisconnectPauseMicroseconds = 100000;

}  // namespace tarn::stream

#endif  // TARN_STREAM_PAUSE_H
