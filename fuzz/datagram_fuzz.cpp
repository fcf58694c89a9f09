// Feeds arbitrary bytes through the assembler's and the decoder's per-datagram steps: the first
// byte picks the pixel size the decoder assumes, the rest is split into datagrams at 0xFF 0xFF
// markers. Nothing may read past a datagram or write outside the grid.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <list>
#include <memory>
#include <string>

#include "KESOApi.h"
#include "stream/assembler.h"
#include "stream/decoder.h"

namespace {

constexpr int kPixelSizes[] = {4, 8, 10};
constexpr std::size_t kMaxDatagramBytes = 1472;

std::list<std::string> splitIntoDatagrams(const uint8_t* data, std::size_t size) {
    std::list<std::string> datagrams(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFF) {
            datagrams.emplace_back();
            ++i;
        } else if (datagrams.back().size() < kMaxDatagramBytes) {
            datagrams.back().push_back(static_cast<char>(data[i]));
        }
    }
    return datagrams;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::unique_ptr<KESOPointData[][KESO_COLUMNS]> grid(
        new KESOPointData[KESO_ROWS][KESO_COLUMNS]());
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    if (size == 0) {
        return 0;
    }
    const int pixelBytes = kPixelSizes[data[0] % 3];
    const std::list<std::string> datagrams = splitIntoDatagrams(data + 1, size - 1);

    std::list<std::string> workingList;
    KESOImuData sample{};
    for (const std::string& datagram : datagrams) {
        tarn::stream::assembleDatagram(reinterpret_cast<const uint8_t*>(datagram.data()),
                                       datagram.size(), workingList, &sample);
    }
    tarn::stream::decodeHalf(datagrams.begin(), datagrams.end(), pixelBytes, grid.get());
    const auto middle = std::next(datagrams.begin(), static_cast<long>(datagrams.size() / 2));
    tarn::stream::halvesShareCells(datagrams.begin(), middle, datagrams.end(), pixelBytes);
    return 0;
}
