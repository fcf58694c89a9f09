// The open handle streams, so that a closed or unknown handle is refused rather than used, and so
// that open streams are stopped before the process exits.
//
// A handle (tarn_stream*) names its stream by a number that no other stream of the process ever
// had, not by an address: the memory of a closed stream may hold a newer one, but a closed handle
// never reaches it.
#ifndef TARN_API_STREAM_REGISTRY_H
#define TARN_API_STREAM_REGISTRY_H

#include <memory>

#include "stream/engine.h"
#include "tarn/tarn.h"

// What a handle stands for: the stream it wraps.
struct tarn_stream {
    std::shared_ptr<tarn::stream::Engine> rep;
};

namespace tarn::api {

// A handle no stream ever had; it names nothing until addStream. Any thread.
tarn_stream* newHandle();
// Makes a handle from newHandle name an open stream. Throws std::bad_alloc.
void addStream(tarn_stream* handle, std::shared_ptr<stream::Engine> engine);
// The stream behind a handle (the default stream too), or null for a handle that is not open.
// Holding the result keeps the stream alive during a call that races with its close.
std::shared_ptr<stream::Engine> findStream(tarn_stream* handle);
// Removes a handle stream and returns it; null when it is not open.
std::shared_ptr<stream::Engine> removeStream(tarn_stream* handle);

}  // namespace tarn::api

#endif  // TARN_API_STREAM_REGISTRY_H
