// Faults the simulated sensor injects on request into the datagrams of the frames it sends.
// Deterministic faults name a frame and a datagram; random faults hit each datagram with a rate,
// drawn from a seeded generator so a run can be repeated exactly.
#ifndef TARN_SIM_FAULTS_H
#define TARN_SIM_FAULTS_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "sim/datagram.h"

namespace tarn::sim {

enum class FaultKind {
    kDrop,       // the datagram is not sent
    kDuplicate,  // the datagram is sent twice in a row
    kReorder,    // the datagram is sent after the one that follows it (at the frame's end if last)
    kTruncate,   // only the first `offset` bytes are sent
    kCorruptByte,  // byte `offset` is replaced by `value` (see the kOffset* constants)
    kForeignPort,  // the datagram is sent from another source port of the same address
};

struct DatagramFault {
    FaultKind kind = FaultKind::kDrop;
    uint64_t frame = 0;  // counts the frames this sender sends, from 0
    int datagram = 0;    // index in the frame; negative counts from the end (-1 is the last)
    std::size_t offset = 0;
    uint8_t value = 0;
};

// Each rate is the chance (0 to 1) that one datagram is dropped, duplicated or reordered.
struct RandomFaults {
    double dropRate = 0.0;
    double duplicateRate = 0.0;
    double reorderRate = 0.0;
    uint32_t seed = 1;
};

// A datagram ready to go out, and whether it goes from the foreign port.
struct Outgoing {
    Datagram bytes;
    bool foreignPort = false;
};

struct FaultCounters {
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    uint64_t truncated = 0;
    uint64_t corrupted = 0;
    uint64_t foreign = 0;
};

class FaultInjector {
  public:
    void setRandom(const RandomFaults& faults);
    void add(const DatagramFault& fault);
    void clear();
    bool empty() const;

    // What to send, in order, for the datagrams of frame number frame. Deterministic faults act
    // first, in the order they were added; then the random faults.
    std::vector<Outgoing> apply(uint64_t frame, const std::vector<Datagram>& datagrams);

    const FaultCounters& counters() const { return counters_; }

  private:
    bool chance(double rate);

    std::vector<DatagramFault> faults_;
    RandomFaults random_;
    std::mt19937 generator_{1};
    FaultCounters counters_;
};

}  // namespace tarn::sim

#endif  // TARN_SIM_FAULTS_H
