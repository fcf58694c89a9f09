// The library's printed lines, kept for Python instead of printed. The handler runs on whichever
// thread prints, library threads included, so it only queues; Python takes the lines on its own
// thread and hands them to the logging module.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "bindings.h"
#include "tarn/tarn.h"

namespace tarn::python {
namespace {

// Lines kept between two takes; older ones are dropped and counted.
constexpr std::size_t kLogQueueLines = 256;

std::mutex logMutex;  // guards the queue and the count; any thread
std::deque<std::string> logLines;
uint64_t logLinesDropped = 0;

void onLine(tarn_stream* /*stream*/, const char* line, void* /*user*/) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logLines.size() == kLogQueueLines) {
        logLines.pop_front();
        ++logLinesDropped;
    }
    logLines.emplace_back(line);
}

}  // namespace

void bindLog(py::module_& module) {
    module.def(
        "capture_log",
        [](bool capture) { tarn_set_log_handler(capture ? onLine : nullptr, nullptr); },
        py::arg("capture"));
    // (lines, dropped since the last take)
    module.def("take_log", [] {
        std::deque<std::string> lines;
        uint64_t dropped = 0;
        {
            std::lock_guard<std::mutex> lock(logMutex);
            lines.swap(logLines);
            dropped = logLinesDropped;
            logLinesDropped = 0;
        }
        py::list list;
        for (const std::string& line : lines) {
            // Replaced rather than refused: a line may quote bytes an application passed in.
            list.append(py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
                line.data(), static_cast<Py_ssize_t>(line.size()), "replace")));
        }
        return py::make_tuple(list, dropped);
    });
}

}  // namespace tarn::python
