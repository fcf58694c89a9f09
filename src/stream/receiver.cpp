#include "stream/receiver.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "api/log.h"
#include "format/datagram_format.h"
#include "stream/frame_queue.h"
#include "stream/workers.h"

namespace tarn::stream {

namespace {

// Two frames of the largest pixels, as the kernel counts a receive buffer: it books about twice
// a datagram's length for each queued datagram.
constexpr int kKernelBookingFactor = 2;
constexpr int64_t kTwoFramesOfBuffer = 2 * kKernelBookingFactor * int64_t{kLargestFrameBytes};

// What the kernel tells beside a datagram: its drop counter, when it arrived (CLOCK_REALTIME)
// and the local address it came to.
struct ReceiveControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(timespec)) +
                                CMSG_SPACE(sizeof(in_pktinfo))];
};

// Reads the control messages of one datagram; its arrival time, when the kernel gave one, goes to
// *arrivalRealtimeNs (else 0).
void readControl(msghdr& message, Counter& kernelDrops, tarn_datagram_meta& meta,
                 int64_t* arrivalRealtimeNs) {
    *arrivalRealtimeNs = 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL) {
            uint32_t drops = 0;
            std::memcpy(&drops, CMSG_DATA(header), sizeof drops);
            kernelDrops.store(drops, std::memory_order_relaxed);
        } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
            timespec arrival{};
            std::memcpy(&arrival, CMSG_DATA(header), sizeof arrival);
            *arrivalRealtimeNs =
                static_cast<int64_t>(arrival.tv_sec) * kNanosecondsPerSecond + arrival.tv_nsec;
        } else if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            meta.destination_address = ntohl(info.ipi_addr.s_addr);
        }
    }
}

// The kernel's count of datagrams it dropped on this socket's full receive buffer, now; false when
// it does not tell. A datagram read carries the count as of its own arrival, so drops after the
// last datagram of a burst are seen here first.
bool readKernelDrops(int socket, uint32_t* drops) {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length < sizeof(uint32_t) * (SK_MEMINFO_DROPS + 1)) {
        return false;
    }
    *drops = memory[SK_MEMINFO_DROPS];
    return true;
}

// A datagram's arrival, from the kernel's CLOCK_REALTIME stamp and the time it was read: the
// monotonic time is the read's, less the time the datagram waited. Without a stamp, or with one
// after the read or more than a second before it (the wall clock was set meanwhile), the time it
// was read.
ReceiveTime arrivalOf(int64_t arrivalRealtimeNs, const ReceiveTime& read) {
    const int64_t waited = read.realtimeNs - arrivalRealtimeNs;
    if (arrivalRealtimeNs == 0 || waited < 0 || waited > kNanosecondsPerSecond) {
        return read;
    }
    return ReceiveTime{read.monotonicNs - waited, arrivalRealtimeNs};
}

// A last point datagram may complete a frame; an IMU sample goes to the application at once.
bool endsAFrameOrIsImu(const uint8_t* datagram, std::size_t length) {
    if (length <= kDataTypeOffset) {
        return false;
    }
    const uint8_t type = datagram[kDataTypeOffset];
    return type == kImuDataType || (type == kPointDataType && length > kFrameFlagOffset &&
                                    datagram[kFrameFlagOffset] == kLastDatagram);
}

// Sleeps for the given time unless wakeFd, the receiver's eventfd, is signalled first; true when
// it slept the whole time.
bool sleepUnlessWoken(int wakeFd, int64_t nanoseconds) {
    pollfd wake{wakeFd, POLLIN, 0};
    const timespec timeout{static_cast<time_t>(nanoseconds / kNanosecondsPerSecond),
                           static_cast<long>(nanoseconds % kNanosecondsPerSecond)};
    if (ppoll(&wake, 1, &timeout, nullptr) <= 0) {
        return true;
    }
    uint64_t wakeups = 0;
    if (read(wakeFd, &wakeups, sizeof wakeups) < 0) {
        // Another wake-up consumed it first.
    }
    return false;
}

// A batch of receive descriptors, each aimed at a ring slot.
struct ReceiveBatch {
    static constexpr std::size_t kSize = 32;
    mmsghdr messages[kSize];
    iovec buffers[kSize];
    sockaddr_in sources[kSize];
    ReceiveControl controls[kSize];

    void aim(std::size_t i, uint8_t* target) {
        buffers[i] = iovec{target, kMaxDatagramBytes};
        sources[i] = sockaddr_in{};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &sources[i];
        messages[i].msg_hdr.msg_namelen = sizeof sources[i];
        messages[i].msg_hdr.msg_iov = &buffers[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls[i].bytes;
        messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
};

}  // namespace

Receiver::Receiver(const StreamStorage& storage, DatagramQueue& datagrams, StreamCounters& counters,
                   DeliveryGate& gate, tarn_stream* const& logStream)
    : socket_(storage.socket),
      running_(storage.running),
      datagrams_(datagrams),
      counters_(counters),
      gate_(gate),
      logStream_(logStream),
      ring_(storage.ring, storage.ringIndex),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Receiver::~Receiver() {
    if (wakeFd_ != -1) {
        close(wakeFd_);
    }
}

void Receiver::setCallback(tarn_datagram_callback callback, void* user) {
    callback_ = callback;
    callbackUser_ = user;
}

void Receiver::setUpSocket(int socket) {
    const int enable = 1;
    setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &enable, sizeof enable);
    // Arrival times from the kernel: the receiver may read a datagram a while after it arrived.
    setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &enable, sizeof enable);
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) {
        return;
    }
    counters_.receiveBufferBytes.store(static_cast<uint64_t>(granted), std::memory_order_relaxed);
    if (granted < kTwoFramesOfBuffer) {
        log::format(logStream_, log::Destination::kStandardError,
                    "receive buffer: the kernel granted %d bytes, fewer than two frames need "
                    "(%lld bytes); raise net.core.rmem_max, for example "
                    "'sysctl -w net.core.rmem_max=%lld', and connect again",
                    granted, static_cast<long long>(kTwoFramesOfBuffer),
                    static_cast<long long>(kTwoFramesOfBuffer));
    }
}

void Receiver::discardLeftovers() {
    uint64_t wakeups = 0;
    if (wakeFd_ != -1 && read(wakeFd_, &wakeups, sizeof wakeups) < 0) {
        // Nothing was pending.
    }
    rejected_.reset();
    unannounced_ = 0;
}

void Receiver::wake() {
    const uint64_t one = 1;
    if (wakeFd_ != -1 && write(wakeFd_, &one, sizeof one) < 0) {
        // The counter is already non-zero: the receiver wakes anyway.
    }
}

bool Receiver::store(const uint8_t* bytes, std::size_t length, const ReceiveTime& received) {
    if (datagrams_.queued() >= kRingFullQueuedPointers) {
        return false;
    }
    const uint64_t index = ring_.next();
    OriginDataPack* slot = ring_.slot(index);
    std::memcpy(slot->data, bytes, length);
    slot->len = static_cast<uint16_t>(length);
    ring_.setArrival(index, received);
    if (!datagrams_.push(slot)) {
        return false;
    }
    ring_.setNext(index + 1);
    return true;
}

// Reads what the socket holds, up to kDatagramsPerWake datagrams, in batches straight into the
// next free ring slots. With the ring full it stops and leaves the rest in the socket, whose
// receive buffer holds them until the assembler has made room (and where the kernel counts what
// does not fit). Accepted datagrams are kept in consecutive slots: one that follows a rejected
// datagram moves down into the rejected one's slot.
Receiver::Drained Receiver::drainSocket(int socket, const SourceFilter& filter) {
    static thread_local ReceiveBatch batch;
    Drained drained;
    std::size_t& read = drained.datagrams;
    while (read < kDatagramsPerWake) {
        const uint64_t queued = datagrams_.queued();
        const uint64_t free =
            queued >= kRingFullQueuedPointers ? 0 : kRingFullQueuedPointers - queued;
        const uint64_t first = ring_.next();
        const uint64_t untilWrap = kRingSlots - first;
        std::size_t slots = ReceiveBatch::kSize;
        slots = std::min<std::size_t>(slots, free);
        slots = std::min<std::size_t>(slots, untilWrap);
        if (slots == 0) {
            drained.ringFull = true;
            break;
        }
        const std::size_t wanted = slots;
        for (std::size_t i = 0; i < wanted; ++i) {
            batch.aim(i, ring_.slot(first + i)->data);
        }
        const int received =
            recvmmsg(socket, batch.messages, static_cast<unsigned>(wanted), MSG_DONTWAIT, nullptr);
        if (received <= 0) {
            break;
        }
        const ReceiveTime now = receiveTimeNow();
        uint64_t next = first;  // the slot the next accepted datagram belongs in
        bool urgent = false;
        bool stopped = false;
        for (int i = 0; i < received; ++i) {
            mmsghdr& message = batch.messages[i];
            const std::size_t length = message.msg_len;
            bump(counters_.datagramsRead);
            tarn_datagram_meta meta{};
            int64_t arrivalRealtimeNs = 0;
            readControl(message.msg_hdr, counters_.kernelDrops, meta, &arrivalRealtimeNs);
            ReceiveTime arrived = arrivalOf(arrivalRealtimeNs, now);
            // The monotonic time is derived through the wall clock, read a moment apart from
            // the monotonic one for each batch; arrivals are kept in order across batches.
            arrived.monotonicNs = std::max(arrived.monotonicNs, lastArrivalNs_);
            lastArrivalNs_ = arrived.monotonicNs;
            const sockaddr_in& source = batch.sources[i];
            const bool foreign = !filter.accepts(source);
            if (length == 0 || foreign) {
                bump(counters_.datagramsRejected);
                if (foreign) {
                    rejected_.note(ntohl(source.sin_addr.s_addr), ntohs(source.sin_port));
                }
                continue;
            }
            const auto* bytes = static_cast<const uint8_t*>(batch.buffers[i].iov_base);
            pace_.note(bytes, length, now.monotonicNs);
            if (callback_ != nullptr) {
                const Delivery delivery(gate_);
                if (!delivery.passed()) {
                    stopped = true;  // the rest of the batch is dropped with the connection
                    break;
                }
                meta.source_address = ntohl(source.sin_addr.s_addr);
                meta.source_port = ntohs(source.sin_port);
                meta.destination_port = static_cast<uint16_t>(localPort_.load());
                meta.receive_monotonic_ns = arrived.monotonicNs;
                meta.receive_realtime_ns = arrived.realtimeNs;
                callback_(bytes, length, &meta, callbackUser_);
            }
            OriginDataPack* slot = ring_.slot(next);
            if (slot->data != bytes) {
                std::memmove(slot->data, bytes, length);
            }
            slot->len = static_cast<uint16_t>(length);
            ring_.setArrival(next, arrived);
            if (!datagrams_.push(slot, false)) {
                bump(counters_.datagramsQueueFull);
                continue;
            }
            ++next;
            ++unannounced_;
            urgent = urgent || endsAFrameOrIsImu(slot->data, length);
        }
        ring_.setNext(next);
        // A sleeping assembler costs a system call to wake, so it is woken once a batch, and only
        // when it has something to deliver or much to do.
        if (unannounced_ > 0 && (urgent || unannounced_ >= kDatagramsBeforeWake)) {
            unannounced_ = 0;
            datagrams_.wakeAssembler();
        }
        read += static_cast<std::size_t>(received);
        if (stopped || static_cast<std::size_t>(received) < wanted) {
            drained.emptied = !stopped;
            break;
        }
    }
    if (unannounced_ > 0 && drained.ringFull) {
        unannounced_ = 0;
        datagrams_.wakeAssembler();
    }
    return drained;
}

// Waits on the socket and drains it; in the middle of a frame it sleeps instead, as long as the
// frames' pace allows (see ArrivalPace). A stop wakes it from either wait.
void Receiver::run(const SourceFilter& filter) {
    const int socket = socket_.load();
    pace_ = ArrivalPace{};
    uint64_t kernelDrops = counters_.kernelDrops.load(std::memory_order_relaxed);
    int64_t linger = 0;
    while (running_.load()) {
        bool readable = false;
        if (linger > 0) {
            // In the middle of a frame: the datagrams due meanwhile are read in one go afterwards.
            readable = sleepUnlessWoken(wakeFd_, linger);
            linger = 0;
        } else {
            pollfd waits[2] = {{socket, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const nfds_t count = wakeFd_ != -1 ? 2 : 1;
            if (poll(waits, count, kIdleWakeMilliseconds) <= 0) {
                continue;
            }
            readable = waits[0].revents != 0;
            uint64_t wakeups = 0;
            if (count == 2 && waits[1].revents != 0 &&
                read(wakeFd_, &wakeups, sizeof wakeups) < 0) {
                // Another wake-up consumed it first.
            }
        }
        if (!readable || !running_.load()) {
            continue;
        }
        const Drained drained = drainSocket(socket, filter);
        uint32_t dropsNow = 0;
        if (drained.emptied && drained.datagrams >= ReceiveBatch::kSize &&
            readKernelDrops(socket, &dropsNow)) {
            // A backlog was just read: a burst may have ended with drops no datagram told of.
            const uint64_t counted = counters_.kernelDrops.load(std::memory_order_relaxed);
            counters_.kernelDrops.store(std::max<uint64_t>(dropsNow, counted),
                                        std::memory_order_relaxed);
        }
        const uint64_t drops = counters_.kernelDrops.load(std::memory_order_relaxed);
        if (drained.ringFull) {
            // The assembler is behind: the socket's buffer keeps the rest until it has made room.
            pace_.forget();
            linger = kRingFullWaitNs;
        } else if (drops != kernelDrops) {
            kernelDrops = drops;
            pace_.forget();
        } else if (drained.datagrams > 0 && drained.emptied && wakeFd_ != -1) {
            linger = pace_.lingerNs(clockNanoseconds(CLOCK_MONOTONIC),
                                    counters_.receiveBufferBytes.load(std::memory_order_relaxed));
        }
    }
}

}  // namespace tarn::stream
