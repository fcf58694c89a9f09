#include "stream/datagram_queue.h"

namespace tarn::stream {

void DatagramQueue::clear() {
    const std::size_t queued = queue_.size_approx();
    OriginDataPack* discarded = nullptr;
    for (std::size_t i = 0; i < queued && take(&discarded); ++i) {
    }
}

void DatagramQueue::discardLeftovers() {
    clear();
    while (ready_.tryWait()) {
    }
}

}  // namespace tarn::stream
