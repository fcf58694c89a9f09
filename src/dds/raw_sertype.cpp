#include "raw_sertype.h"

#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace tarn::dds {
namespace {

constexpr size_t align4(size_t n) {
    return (n + 3) & ~size_t(3);
}

// The sertype, which Cyclone DDS may free on a thread of its own once the topic is gone: as
// RawSample::reads does for samples, `uses` orders its making and every read of it here before
// freeType.
struct RawType {
    struct ddsi_sertype c;  // first, so a ddsi_sertype* is a RawType*
    std::atomic<uint32_t> uses{0};
};

uint32_t basehashOf(const struct ddsi_sertype* type) {
    RawType* t = reinterpret_cast<RawType*>(const_cast<struct ddsi_sertype*>(type));
    const uint32_t h = t->c.serdata_basehash;
    t->uses.fetch_add(1, std::memory_order_release);
    return h;
}

// A sample: Cyclone DDS's serdata header, then the CDR bytes it owns. Cyclone DDS counts the
// references (serdata.refc) and calls freeSample when the last one goes; until then the bytes
// stay where they are, as to_ser_ref promises.
struct RawSample {
    struct ddsi_serdata c;  // first, so a ddsi_serdata* is a RawSample*
    SampleBytes bytes;      // align4(length) of them, the padding zero
    uint32_t length = 0;    // the CDR bytes, encapsulation header included
    // The bytes are written before the sample exists and only read after. Cyclone DDS hands
    // samples between its threads and counts their references with locks and atomics of its
    // own, which ThreadSanitizer does not see in Debian's uninstrumented build; so the order is
    // stated here as well: the sample releases its bytes on this counter when made, every read
    // of them begins with an acquire and ends with a release, and freeSample acquires first.
    std::atomic<uint32_t> reads{0};
};

RawSample* raw(const struct ddsi_serdata* d) {
    return reinterpret_cast<RawSample*>(const_cast<struct ddsi_serdata*>(d));
}
const RawSample& beginRead(const struct ddsi_serdata* d) {
    const RawSample& s = *raw(d);
    (void)s.reads.load(std::memory_order_acquire);
    return s;
}
void endRead(const struct ddsi_serdata* d) {
    raw(d)->reads.fetch_add(1, std::memory_order_release);
}

// A sample of type; an untyped one (for Cyclone DDS's instance map) has no type of its own.
struct ddsi_serdata* make(const struct ddsi_sertype* type, enum ddsi_serdata_kind kind,
                          SampleBytes&& bytes, size_t length, bool untyped = false) {
    if (length > bytes.size() || length > UINT32_MAX - 3) {
        return nullptr;
    }
    RawSample* s = new (std::nothrow) RawSample;
    if (s == nullptr) {
        return nullptr;
    }
    try {
        bytes.resize(align4(length), 0);  // within the capacity a caller left for it
    } catch (const std::bad_alloc&) {
        delete s;
        return nullptr;
    }
    std::fill(bytes.begin() + std::ptrdiff_t(length), bytes.end(), uint8_t(0));
    std::memset(static_cast<void*>(&s->c), 0, sizeof s->c);
    ddsi_serdata_init(&s->c, type, kind);
    s->c.hash = basehashOf(type);  // no key: every sample is the one instance
    s->bytes = std::move(bytes);
    s->length = uint32_t(length);
    if (untyped) {
        s->c.type = nullptr;  // as Cyclone DDS's own: the map outlives topics
    }
    s->reads.store(0, std::memory_order_release);
    return &s->c;
}

bool eqkey(const struct ddsi_serdata*, const struct ddsi_serdata*) {
    return true;
}
uint32_t size(const struct ddsi_serdata* d) {
    return beginRead(d).length;
}
void freeSample(struct ddsi_serdata* d) {
    (void)beginRead(d);  // ordered after every read of the bytes
    // and after every reference dropped here (ddsi_serdata_unref is inline, so ours are seen)
    (void)__atomic_load_n(&d->refc.v, __ATOMIC_ACQUIRE);
    delete raw(d);
}

struct ddsi_serdata* fromSerIov(const struct ddsi_sertype* type, enum ddsi_serdata_kind kind,
                                ddsrt_msg_iovlen_t niov, const ddsrt_iovec_t* iov, size_t) {
    SampleBytes bytes;
    try {
        for (ddsrt_msg_iovlen_t i = 0; i < niov; ++i) {
            const uint8_t* p = static_cast<const uint8_t*>(iov[i].iov_base);
            bytes.insert(bytes.end(), p, p + iov[i].iov_len);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const size_t length = bytes.size();
    return make(type, kind, std::move(bytes), length);
}
struct ddsi_serdata* fromSer(const struct ddsi_sertype*, enum ddsi_serdata_kind,
                             const struct nn_rdata*, size_t) {
    return nullptr;  // never read from the network: there are no readers of this type here
}
struct ddsi_serdata* fromKeyhash(const struct ddsi_sertype* type, const struct ddsi_keyhash*) {
    return make(type, SDK_KEY, {}, 0);
}
struct ddsi_serdata* fromSample(const struct ddsi_sertype*, enum ddsi_serdata_kind, const void*) {
    return nullptr;  // samples come as bytes, through dds_writecdr
}
// Cyclone DDS asks for at most align4(length) bytes from off; the padding is there.
bool inBounds(const RawSample& s, size_t off, size_t sz) {
    return off <= s.bytes.size() && sz <= s.bytes.size() - off;
}
void toSer(const struct ddsi_serdata* d, size_t off, size_t sz, void* buf) {
    const RawSample& s = beginRead(d);
    if (inBounds(s, off, sz)) {
        std::memcpy(buf, s.bytes.data() + off, sz);
    } else {
        std::memset(buf, 0, sz);  // never asked for: nothing to send but zeros
    }
    endRead(d);
}
struct ddsi_serdata* toSerRef(const struct ddsi_serdata* d, size_t off, size_t sz,
                              ddsrt_iovec_t* ref) {
    const RawSample& s = beginRead(d);
    if (!inBounds(s, off, sz)) {
        off = s.bytes.size();
        sz = 0;
    }
    ref->iov_base = const_cast<uint8_t*>(s.bytes.data()) + off;
    ref->iov_len = static_cast<ddsrt_iov_len_t>(sz);
    return ddsi_serdata_ref(d);
}
// Cyclone DDS has sent what the reference showed.
void toSerUnref(struct ddsi_serdata* d, const ddsrt_iovec_t*) {
    endRead(d);
    ddsi_serdata_unref(d);
}
bool toSample(const struct ddsi_serdata*, void*, void**, void*) {
    return false;
}
// The instance map's form of a sample: no key, no bytes, no type.
struct ddsi_serdata* toUntyped(const struct ddsi_serdata* d) {
    return make(d->type, SDK_KEY, {}, 0, true);
}
bool untypedToSample(const struct ddsi_sertype*, const struct ddsi_serdata*, void*, void**, void*) {
    return true;
}
size_t print(const struct ddsi_sertype*, const struct ddsi_serdata* d, char* buf, size_t n) {
    return static_cast<size_t>(std::snprintf(buf, n, "(%u CDR bytes)", beginRead(d).length));
}
void getKeyhash(const struct ddsi_serdata*, struct ddsi_keyhash* buf, bool) {
    std::memset(buf, 0, sizeof *buf);
}

const struct ddsi_serdata_ops& serdataOps() {
    static const struct ddsi_serdata_ops ops = [] {
        struct ddsi_serdata_ops o;
        std::memset(&o, 0, sizeof o);
        o.eqkey = eqkey;
        o.get_size = size;
        o.from_ser = fromSer;
        o.from_ser_iov = fromSerIov;
        o.from_keyhash = fromKeyhash;
        o.from_sample = fromSample;
        o.to_ser = toSer;
        o.to_ser_ref = toSerRef;
        o.to_ser_unref = toSerUnref;
        o.to_sample = toSample;
        o.to_untyped = toUntyped;
        o.untyped_to_sample = untypedToSample;
        o.free = freeSample;
        o.print = print;
        o.get_keyhash = getKeyhash;
        return o;
    }();
    return ops;
}

void freeType(struct ddsi_sertype* type) {
    RawType* t = reinterpret_cast<RawType*>(type);
    (void)t->uses.load(std::memory_order_acquire);
    ddsi_sertype_fini(type);
    delete t;
}
void zeroSamples(const struct ddsi_sertype*, void*, size_t) {}
void reallocSamples(void** ptrs, const struct ddsi_sertype*, void*, size_t, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        ptrs[i] = nullptr;
    }
}
void freeSamples(const struct ddsi_sertype*, void**, size_t, dds_free_op_t) {}
bool equal(const struct ddsi_sertype*, const struct ddsi_sertype*) {
    return true;
}
uint32_t hash(const struct ddsi_sertype*) {
    return 0;
}

const struct ddsi_sertype_ops& sertypeOps() {
    static const struct ddsi_sertype_ops ops = [] {
        struct ddsi_sertype_ops o;
        std::memset(&o, 0, sizeof o);
        o.version = ddsi_sertype_v0;
        o.free = freeType;
        o.zero_samples = zeroSamples;
        o.realloc_samples = reallocSamples;
        o.free_samples = freeSamples;
        o.equal = equal;
        o.hash = hash;
        return o;
    }();
    return ops;
}

}  // namespace

struct ddsi_sertype* newRawSertype(const char* typeName) {
    RawType* t = new (std::nothrow) RawType;
    if (t == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(&t->c), 0, sizeof t->c);
    ddsi_sertype_init_flags(&t->c, typeName, &sertypeOps(), &serdataOps(),
                            DDSI_SERTYPE_FLAG_TOPICKIND_NO_KEY);
    t->c.allowed_data_representation = DDS_DATA_REPRESENTATION_FLAG_XCDR1;
    t->uses.store(0, std::memory_order_release);
    return &t->c;
}

struct ddsi_serdata* newRawSample(const struct ddsi_sertype* type, SampleBytes&& bytes,
                                  size_t length) {
    return make(type, SDK_DATA, std::move(bytes), length);
}

}  // namespace tarn::dds
