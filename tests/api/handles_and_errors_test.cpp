// Decoder handles that outlive their decoder, allocation failures inside the C interface, and the
// named codes of the plane angle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "KESOApi.h"
#include "tarn/tarn.h"

// AddressSanitizer and ThreadSanitizer bring their own operator new, which a test cannot replace.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARN_RUNTIME_OWNS_NEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARN_RUNTIME_OWNS_NEW 1
#endif
#endif

namespace {
// While set, every allocation through operator new fails as it would on an exhausted heap.
std::atomic<bool> failAllocations{false};
}  // namespace

#ifndef TARN_RUNTIME_OWNS_NEW
void* operator new(std::size_t size) {
    if (failAllocations.load(std::memory_order_relaxed)) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
// GCC takes the replaced operators for the library's and warns that they do not match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
#endif

namespace {

TEST(DecoderHandles, AClosedHandleNeverReachesADecoderOpenedLater) {
    tarn_decoder* closed = nullptr;
    ASSERT_EQ(tarn_decoder_open(&closed), TARN_OK);
    ASSERT_EQ(tarn_decoder_close(closed), TARN_OK);
    tarn_decoder* open = nullptr;
    ASSERT_EQ(tarn_decoder_open(&open), TARN_OK);

    const uint8_t datagram[4] = {0x5A, 0xA5, 0, 1};
    tarn_stream_stats stats{};
    EXPECT_EQ(tarn_decoder_push(closed, datagram, sizeof datagram, 0, 0), TARN_ERR_INVALID_HANDLE);
    EXPECT_EQ(tarn_decoder_get_stats(closed, &stats), TARN_ERR_INVALID_HANDLE);
    EXPECT_EQ(tarn_decoder_close(closed), TARN_ERR_INVALID_HANDLE);
    // The newer decoder saw nothing of the calls on the stale handle, and is still open.
    ASSERT_EQ(tarn_decoder_get_stats(open, &stats), TARN_OK);
    EXPECT_EQ(stats.datagrams_read, 0u);
    EXPECT_EQ(tarn_decoder_close(open), TARN_OK);
    EXPECT_EQ(tarn_decoder_close(nullptr), TARN_ERR_INVALID_HANDLE);
}

TEST(DecoderHandles, AnExhaustedHeapIsAResultCodeNotAnException) {
#ifdef TARN_RUNTIME_OWNS_NEW
    GTEST_SKIP() << "the sanitizer's runtime owns operator new; the release build runs this";
#endif
    tarn_decoder* decoder = nullptr;
    failAllocations = true;
    const int opened = tarn_decoder_open(&decoder);
    failAllocations = false;
    EXPECT_EQ(opened, TARN_ERR_NO_MEMORY);
    EXPECT_EQ(decoder, nullptr);
}

TEST(ResultCodes, ThePlaneAngleCodesHaveTheirNames) {
    static KESOPointData grid[KESO_ROWS][KESO_COLUMNS];
    KESOEnableAngleMeasure(false, KESOAngleMeasureParam{});
    float angle = 0.0f;
    const KESOAngleResult result = KESOGetPlaneAngle(grid, &angle);
    EXPECT_EQ(result.code, TARN_ANGLE_NOT_ENABLED);
    EXPECT_STREQ(tarn_strerror(TARN_ANGLE_NOT_ENABLED),
                 "plane angle: the measurement is not enabled");
    EXPECT_STREQ(tarn_strerror(TARN_ERR_INVALID_HANDLE),
                 "not an open stream or decoder (closed, or never opened)");
    EXPECT_STREQ(tarn_strerror(KESO_ERR_BIND),
                 "KESOConnectDevice: binding the local UDP port failed");
    EXPECT_STREQ(tarn_strerror(12345), "unknown result code");
}

}  // namespace
