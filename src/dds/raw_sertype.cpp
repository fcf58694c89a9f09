#include "raw_sertype.h"

#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace tarn::dds {
namespace {

struct RawSample {
    struct ddsi_serdata c;  // first, so a ddsi_serdata* is a RawSample*
    std::vector<uint8_t> bytes;
};

RawSample* raw(const struct ddsi_serdata* d) {
    return reinterpret_cast<RawSample*>(const_cast<struct ddsi_serdata*>(d));
}

struct ddsi_serdata* make(const struct ddsi_sertype* type, enum ddsi_serdata_kind kind,
                          std::vector<uint8_t>&& bytes) {
    RawSample* s = new (std::nothrow) RawSample;
    if (s == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(&s->c), 0, sizeof s->c);
    ddsi_serdata_init(&s->c, type, kind);
    s->c.hash = type->serdata_basehash;  // no key: every sample is the one instance
    s->bytes = std::move(bytes);
    return &s->c;
}

bool eqkey(const struct ddsi_serdata*, const struct ddsi_serdata*) { return true; }
uint32_t size(const struct ddsi_serdata* d) { return static_cast<uint32_t>(raw(d)->bytes.size()); }
void freeSample(struct ddsi_serdata* d) { delete raw(d); }

struct ddsi_serdata* fromSerIov(const struct ddsi_sertype* type, enum ddsi_serdata_kind kind,
                                ddsrt_msg_iovlen_t niov, const ddsrt_iovec_t* iov, size_t) {
    std::vector<uint8_t> bytes;
    for (ddsrt_msg_iovlen_t i = 0; i < niov; ++i) {
        const uint8_t* p = static_cast<const uint8_t*>(iov[i].iov_base);
        bytes.insert(bytes.end(), p, p + iov[i].iov_len);
    }
    return make(type, kind, std::move(bytes));
}
struct ddsi_serdata* fromSer(const struct ddsi_sertype*, enum ddsi_serdata_kind,
                             const struct nn_rdata*, size_t) {
    return nullptr;  // never read from the network: there are no readers of this type here
}
struct ddsi_serdata* fromKeyhash(const struct ddsi_sertype* type, const struct ddsi_keyhash*) {
    return make(type, SDK_KEY, {});
}
struct ddsi_serdata* fromSample(const struct ddsi_sertype*, enum ddsi_serdata_kind, const void*) {
    return nullptr;  // samples come as bytes, through dds_writecdr
}
void toSer(const struct ddsi_serdata* d, size_t off, size_t sz, void* buf) {
    const std::vector<uint8_t>& bytes = raw(d)->bytes;
    size_t n = off < bytes.size() ? std::min(sz, bytes.size() - off) : 0;
    if (n != 0) {
        std::memcpy(buf, bytes.data() + off, n);
    }
    if (n < sz) {
        std::memset(static_cast<uint8_t*>(buf) + n, 0, sz - n);  // padding to 4 bytes
    }
}
struct ddsi_serdata* toSerRef(const struct ddsi_serdata* d, size_t off, size_t sz,
                              ddsrt_iovec_t* ref) {
    ref->iov_base = raw(d)->bytes.data() + off;
    ref->iov_len = static_cast<ddsrt_iov_len_t>(sz);
    return ddsi_serdata_ref(d);
}
void toSerUnref(struct ddsi_serdata* d, const ddsrt_iovec_t*) { ddsi_serdata_unref(d); }
bool toSample(const struct ddsi_serdata*, void*, void**, void*) { return false; }
struct ddsi_serdata* toUntyped(const struct ddsi_serdata* d) { return make(d->type, SDK_KEY, {}); }
bool untypedToSample(const struct ddsi_sertype*, const struct ddsi_serdata*, void*, void**, void*) {
    return true;
}
size_t print(const struct ddsi_sertype*, const struct ddsi_serdata* d, char* buf, size_t n) {
    return static_cast<size_t>(std::snprintf(buf, n, "(%zu CDR bytes)", raw(d)->bytes.size()));
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
    ddsi_sertype_fini(type);
    delete type;
}
void zeroSamples(const struct ddsi_sertype*, void*, size_t) {}
void reallocSamples(void** ptrs, const struct ddsi_sertype*, void*, size_t, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        ptrs[i] = nullptr;
    }
}
void freeSamples(const struct ddsi_sertype*, void**, size_t, dds_free_op_t) {}
bool equal(const struct ddsi_sertype*, const struct ddsi_sertype*) { return true; }
uint32_t hash(const struct ddsi_sertype*) { return 0; }

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
    struct ddsi_sertype* type = new (std::nothrow) struct ddsi_sertype;
    if (type == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(type), 0, sizeof *type);
    ddsi_sertype_init_flags(type, typeName, &sertypeOps(), &serdataOps(),
                            DDSI_SERTYPE_FLAG_TOPICKIND_NO_KEY);
    type->allowed_data_representation = DDS_DATA_REPRESENTATION_FLAG_XCDR1;
    return type;
}

struct ddsi_serdata* newRawSample(const struct ddsi_sertype* type, std::vector<uint8_t>&& bytes) {
    return make(type, SDK_DATA, std::move(bytes));
}

}  // namespace tarn::dds
