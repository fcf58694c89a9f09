#include "api/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace tarn::log {

namespace {

// The handler and its user pointer change together, so they share a mutex; a line copies both and
// calls the handler outside the lock, so a handler may log or replace itself.
struct Handler {
    tarn_log_handler function = nullptr;
    void* user = nullptr;
};
// Made on first use, so that a line printed from an application's static constructor finds it;
// never destroyed, so that a line printed at exit finds it too.
std::mutex& handlerMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}
Handler currentHandler;

Handler handler() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return currentHandler;
}

constexpr std::size_t kLineBytes = 512;

}  // namespace

void setHandler(tarn_log_handler function, void* user) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    currentHandler = Handler{function, user};
}

void line(tarn_stream* stream, Destination destination, const char* text) {
    const Handler current = handler();
    if (current.function != nullptr) {
        current.function(stream, text, current.user);
        return;
    }
    std::FILE* out = destination == Destination::kStandardError ? stderr : stdout;
    std::fputs(text, out);
    std::fputc('\n', out);
    std::fflush(out);
}

void format(tarn_stream* stream, Destination destination, const char* format, ...) {
    char text[kLineBytes];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    const std::size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') {
        text[length - 1] = '\0';
    }
    line(stream, destination, text);
}

void systemError(tarn_stream* stream, const char* prefix, int error) {
    char text[kLineBytes];
    std::snprintf(text, sizeof text, "%s: %s", prefix, std::strerror(error));
    line(stream, Destination::kStandardError, text);
}

}  // namespace tarn::log

void tarn_set_log_handler(tarn_log_handler handler, void* user) {
    tarn::log::setHandler(handler, user);
}
