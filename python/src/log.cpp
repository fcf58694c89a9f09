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

struct LogQueue {
    std::mutex mutex;  // guards the lines and the count; any thread
    std::deque<std::string> lines;
    uint64_t dropped = 0;
};

// Never destroyed: streams left open at exit may still print while static objects go away.
LogQueue& logQueue() {
    static auto* const queue = new LogQueue();
    return *queue;
}

void onLine(tarn_stream* /*stream*/, const char* line, void* /*user*/) {
    LogQueue& queue = logQueue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.lines.size() == kLogQueueLines) {
        queue.lines.pop_front();
        ++queue.dropped;
    }
    queue.lines.emplace_back(line);
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
            LogQueue& queue = logQueue();
            std::lock_guard<std::mutex> lock(queue.mutex);
            lines.swap(queue.lines);
            dropped = queue.dropped;
            queue.dropped = 0;
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
