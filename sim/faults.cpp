#include "sim/faults.h"

namespace tarn::sim {
namespace {

// What happens to one datagram of a frame.
struct Treatment {
    Outgoing out;
    bool drop = false;
    bool duplicate = false;
    bool reorder = false;
};

// The datagram a fault names, or -1 when the frame has no such datagram.
long resolveIndex(int datagram, std::size_t count) {
    const long n = static_cast<long>(count);
    const long index = datagram < 0 ? n + datagram : datagram;
    return (index >= 0 && index < n) ? index : -1;
}

}  // namespace

void FaultInjector::setRandom(const RandomFaults& faults) {
    random_ = faults;
    generator_.seed(faults.seed);
}

void FaultInjector::add(const DatagramFault& fault) {
    faults_.push_back(fault);
}

void FaultInjector::clear() {
    faults_.clear();
    setRandom(RandomFaults{});
}

bool FaultInjector::empty() const {
    return faults_.empty() && random_.dropRate <= 0.0 && random_.duplicateRate <= 0.0 &&
           random_.reorderRate <= 0.0;
}

bool FaultInjector::chance(double rate) {
    if (rate <= 0.0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator_) < rate;
}

std::vector<Outgoing> FaultInjector::apply(uint64_t frame, const std::vector<Datagram>& datagrams) {
    std::vector<Treatment> plan(datagrams.size());
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        plan[i].out.bytes = datagrams[i];
    }

    for (const DatagramFault& fault : faults_) {
        const long index = resolveIndex(fault.datagram, plan.size());
        if (fault.frame != frame || index < 0) {
            continue;
        }
        Treatment& t = plan[static_cast<std::size_t>(index)];
        switch (fault.kind) {
            case FaultKind::kDrop:
                t.drop = true;
                break;
            case FaultKind::kDuplicate:
                t.duplicate = true;
                break;
            case FaultKind::kReorder:
                t.reorder = true;
                break;
            case FaultKind::kTruncate:
                if (fault.offset < t.out.bytes.size()) {
                    t.out.bytes.resize(fault.offset);
                    ++counters_.truncated;
                }
                break;
            case FaultKind::kCorruptByte:
                if (fault.offset < t.out.bytes.size()) {
                    t.out.bytes[fault.offset] = fault.value;
                    ++counters_.corrupted;
                }
                break;
            case FaultKind::kForeignPort:
                t.out.foreignPort = true;
                ++counters_.foreign;
                break;
        }
    }

    for (Treatment& t : plan) {
        t.drop = chance(random_.dropRate) || t.drop;
        t.duplicate = chance(random_.duplicateRate) || t.duplicate;
        t.reorder = chance(random_.reorderRate) || t.reorder;
    }

    // A reordered datagram waits until the next datagram that is sent has gone out.
    std::vector<Outgoing> out;
    std::vector<Outgoing> held;
    for (Treatment& t : plan) {
        if (t.drop) {
            ++counters_.dropped;
            continue;
        }
        const int copies = t.duplicate ? 2 : 1;
        counters_.duplicated += t.duplicate ? 1 : 0;
        std::vector<Outgoing>& target = t.reorder ? held : out;
        for (int copy = 0; copy < copies; ++copy) {
            target.push_back(t.out);
        }
        if (t.reorder) {
            ++counters_.reordered;
            continue;
        }
        out.insert(out.end(), held.begin(), held.end());
        held.clear();
    }
    out.insert(out.end(), held.begin(), held.end());
    return out;
}

}  // namespace tarn::sim
