// The one place where the library prints: every line goes to the application's log handler when
// one is set (tarn_set_log_handler), and otherwise to standard output or standard error, flushed.
#ifndef TARN_API_LOG_H
#define TARN_API_LOG_H

#include "tarn/tarn.h"

namespace tarn::log {

enum class Destination { kStandardOutput, kStandardError };

// Prints one line; text has no line end. stream may be null (control channel, angle measurement).
void line(tarn_stream* stream, Destination destination, const char* text);

// Formats one line printf-style; a trailing line end in the format is dropped for the handler and
// printed as is otherwise.
void format(tarn_stream* stream, Destination destination, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Replaces the handler; null prints again.
void setHandler(tarn_log_handler function, void* user);

// "prefix: <text of error>" on standard error, like perror.
void systemError(tarn_stream* stream, const char* prefix, int error);

}  // namespace tarn::log

#endif  // TARN_API_LOG_H
