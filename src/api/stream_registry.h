// The open handle streams and decoders, so that a closed or unknown handle is refused rather than
// used, and so that open streams are stopped before the process exits.
#ifndef TARN_API_STREAM_REGISTRY_H
#define TARN_API_STREAM_REGISTRY_H

#include <memory>

#include "stream/engine.h"
#include "tarn/tarn.h"

namespace tarn::api {

void addStream(const std::shared_ptr<tarn_stream>& stream);
// The stream behind a handle (the default stream too), or null for a handle that is not open.
// Holding the result keeps the stream alive during a call that races with its close.
std::shared_ptr<stream::Engine> findStream(tarn_stream* handle);
// Removes a handle stream and returns it; null when it is not open.
std::shared_ptr<tarn_stream> removeStream(tarn_stream* handle);

}  // namespace tarn::api

#endif  // TARN_API_STREAM_REGISTRY_H
