// Differential target of the data path. The input is a program of datagrams, built with the
// simulated sensor's encoder: whole frames of the scene in every pixel type (up to 450 datagrams,
// with one of them dropped or sent twice), single point datagrams of any placement, pixel type and
// frame flag, IMU samples, broken datagrams of each kind, repeats, and long runs of middle
// datagrams. Each datagram goes through a whole stream minus its socket (receive ring, assembly,
// frame queue, decoding, publication, callbacks) and through the socket-less decoder, and a model
// written here from the documented behaviour says what each must deliver: every frame's grid cell
// for cell, its info, every IMU sample, and at the end every counter. Any difference aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "sim/datagram.h"
#include "sim/frame_encoder.h"
#include "sim/scene.h"
#include "stream/engine.h"
#include "stream/receiver.h"
#include "tarn/tarn.h"

namespace {

using tarn::sim::Datagram;

// Bounds that keep one input quick: at most this many datagrams, and whole scene frames.
constexpr std::size_t kMaxDatagramsPerInput = 3000;
constexpr int kMaxWholeFramesPerInput = 2;
// And at most this much work, in cells written (see Model::costOf): a run of repeated last
// datagrams delivers a merged frame for each, every one of them the whole list written again, so
// a few thousand such datagrams would take minutes under the sanitizers. This is ten grids' worth.
constexpr std::size_t kMaxCellsPerInput = 10 * TARN_CELLS;
// What a frame costs beyond its cells: the grid compared and copied, in cells of decoding.
constexpr std::size_t kCellsPerFrame = 1000;
constexpr std::size_t kWorkingListBound = 1000;  // the documented bound of a frame

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads the input byte by byte; zeros once it is used up.
struct Reader {
    const uint8_t* data;
    std::size_t size;
    bool empty() const { return size == 0; }
    uint8_t byte() {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
    uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
};

// A datagram as the program made it, and what it is meant to be.
struct Made {
    enum Kind { kPoint, kImu, kBadMagic, kBadType, kShort, kBadVersion, kBadPixelType, kBadFlag };
    Kind kind = kPoint;
    Datagram bytes;
    tarn::sim::PointHeader header;                 // kPoint
    std::vector<tarn::sim::RawPoint> points;       // kPoint
    tarn::sim::ImuFields imu;                      // kImu
    // What a point datagram writes: grid index and cell, in order (see cellsOf).
    std::vector<std::pair<uint32_t, tarn_point>> cells;
};

// The cells of a point datagram: point i at row firstRow + i / 4 and column firstColumn + i % 4,
// skipped outside the grid; distance and intensity as sent, coordinates as the simulator says
// the library reads them, and the header's timestamp and tag.
void cellsOf(Made& made) {
    const tarn::sim::PointHeader& h = made.header;
    made.cells.clear();
    for (std::size_t i = 0; i < made.points.size(); ++i) {
        const std::size_t row = h.firstRow + i / tarn::sim::kStripColumns;
        const std::size_t column = h.firstColumn + i % tarn::sim::kStripColumns;
        if (row >= TARN_ROWS || column >= TARN_COLUMNS) {
            continue;
        }
        const tarn::sim::RawPoint& p = made.points[i];
        tarn_point cell{};
        cell.row = static_cast<uint16_t>(row);
        cell.column = static_cast<uint16_t>(column);
        cell.intensity = p.intensity;
        if (h.pixelType != tarn::sim::kPixelType8Bytes) {
            cell.distance = static_cast<float>(p.distance);
        }
        if (h.pixelType != tarn::sim::kPixelType4Bytes) {
            cell.x = tarn::sim::Scene::decode(p.x);
            cell.y = tarn::sim::Scene::decode(p.y);
            cell.z = tarn::sim::Scene::decode(p.z);
        }
        cell.timestamp = h.timestamp;
        cell.tag = h.tag;
        made.cells.emplace_back(static_cast<uint32_t>(row * TARN_COLUMNS + column), cell);
    }
}

std::vector<tarn::sim::RawPoint> pointsOf(Reader& in, uint8_t pixelType) {
    const std::size_t most = (tarn::sim::kMaxDatagramBytes - tarn::sim::kPointHeaderBytes) /
                             tarn::sim::pixelBytes(pixelType);
    const std::size_t count = in.byte() % (most + 1);
    const uint8_t seed = in.byte();
    std::vector<tarn::sim::RawPoint> points(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto v = static_cast<int>(seed * 131 + i * 7);
        points[i] = tarn::sim::RawPoint{static_cast<int16_t>(v), static_cast<int16_t>(-3 * v),
                                        static_cast<int16_t>(v ^ 0x5555),
                                        static_cast<uint16_t>(v * 3), static_cast<uint8_t>(v)};
    }
    return points;
}

Made pointDatagram(Reader& in) {
    Made made;
    tarn::sim::PointHeader& h = made.header;
    const uint8_t flag = in.byte();
    h.frameFlag = flag < 240 ? flag % 3 : flag;  // now and then one the library refuses
    const uint8_t type = in.byte();
    const uint8_t layout = type % 3;
    h.pixelType = type < 250 ? layout : type;
    h.firstRow = static_cast<uint16_t>(in.byte() % 160);
    h.firstColumn = static_cast<uint16_t>(in.u16() % 372);
    h.timestamp = in.byte();
    h.tag = in.byte();
    made.points = pointsOf(in, layout);
    made.bytes = tarn::sim::encodePointDatagram(h, made.points, layout);
    if (h.pixelType > 2) {
        made.kind = Made::kBadPixelType;
    } else if (h.frameFlag > 2) {
        made.kind = Made::kBadFlag;
    }
    return made;
}

Made imuDatagram(Reader& in) {
    Made made;
    made.kind = Made::kImu;
    made.imu.sampleFlag = in.byte() < 16 ? 0 : 1;
    for (int i = 0; i < 8; ++i) {
        made.imu.timestamp = (made.imu.timestamp << 8) | in.byte();
    }
    for (uint8_t& b : made.imu.sample) {
        b = in.byte();
    }
    made.bytes = tarn::sim::encodeImuDatagram(made.imu);
    return made;
}

// A valid point datagram broken in one way.
Made brokenDatagram(Reader& in) {
    Made made = pointDatagram(in);
    made.header.frameFlag %= 3;
    made.header.pixelType %= 3;
    made.bytes = tarn::sim::encodePointDatagram(made.header, made.points);
    const uint8_t how = in.byte();
    switch (how % 5) {
        case 0:
            made.kind = Made::kBadMagic;
            made.bytes[tarn::sim::kOffsetMagic] ^= 0x01;
            break;
        case 1:
            made.kind = Made::kBadType;
            made.bytes[tarn::sim::kOffsetDataType] = static_cast<uint8_t>(how | 0x08);
            break;
        case 2:
            made.kind = Made::kShort;  // shorter than a point header, or than the common one
            made.bytes.resize(1 + how % (tarn::sim::kPointHeaderBytes - 1));
            break;
        default:
            made.kind = Made::kBadVersion;
            made.bytes[tarn::sim::kOffsetVersionMinor] = static_cast<uint8_t>(how | 1);
            break;
    }
    return made;
}

void describe(Made& made);

// Frame number frameIndex of the scene in one pixel layout, made once: encoding a whole scene
// frame costs far more than running it.
constexpr int kSceneFrames = 4;
const std::vector<Made>& wholeFrame(uint8_t layout, uint8_t frameIndex) {
    static const tarn::sim::Scene scene({});
    static std::vector<Made> made[3][kSceneFrames];
    std::vector<Made>& frame = made[layout][frameIndex];
    if (frame.empty()) {
        const tarn::sim::FrameFormat format{layout, frameIndex, frameIndex};
        for (Datagram& bytes : tarn::sim::encodeFrame(scene, frameIndex, format)) {
            Made datagram;
            datagram.bytes = std::move(bytes);
            describe(datagram);
            frame.push_back(std::move(datagram));
        }
    }
    return frame;
}

// The program: datagrams in sending order.
std::vector<Made> program(Reader& in) {
    std::vector<Made> out;
    int wholeFrames = 0;
    while (!in.empty() && out.size() < kMaxDatagramsPerInput) {
        const uint8_t op = in.byte();
        switch (op % 6) {
            case 0: {  // a whole frame of the scene, perhaps with one datagram dropped or doubled
                const uint8_t layout = in.byte() % 3;
                const auto frameIndex = static_cast<uint8_t>(in.byte() % kSceneFrames);
                const uint8_t fault = in.byte();
                const uint8_t at = in.byte();
                if (++wholeFrames > kMaxWholeFramesPerInput) {
                    break;
                }
                const std::vector<Made>& frame = wholeFrame(layout, frameIndex);
                const std::size_t last = frame.size() - 1;
                const std::size_t faulty =
                    fault % 3 == 0 ? 0 : fault % 3 == 1 ? last : at % frame.size();
                for (std::size_t i = 0; i < frame.size(); ++i) {
                    const int copies = i != faulty ? 1 : fault < 64 ? 1 : fault < 160 ? 0 : 2;
                    for (int c = 0; c < copies; ++c) {
                        out.push_back(frame[i]);
                    }
                }
                break;
            }
            case 1:
                out.push_back(pointDatagram(in));
                break;
            case 2:
                out.push_back(imuDatagram(in));
                break;
            case 3:
                out.push_back(brokenDatagram(in));
                break;
            case 4:
                if (!out.empty()) {
                    const Made again = out.back();
                    out.push_back(again);
                }
                break;
            default: {  // a long run of one middle datagram
                Made made = pointDatagram(in);
                made.kind = Made::kPoint;
                made.header.frameFlag = tarn::sim::kFrameFlagMiddle;
                made.header.pixelType %= 3;
                made.bytes = tarn::sim::encodePointDatagram(made.header, made.points);
                const std::size_t run = (in.byte() + 1u) * 8u;
                for (std::size_t i = 0; i < run && out.size() < kMaxDatagramsPerInput; ++i) {
                    out.push_back(made);
                }
                break;
            }
        }
    }
    return out;
}

// Whole frames come as bytes only: read their header and points back the simulator's way.
void describe(Made& made) {
    if (made.kind != Made::kPoint || !made.cells.empty()) {
        return;
    }
    if (!made.points.empty() || made.bytes.size() < tarn::sim::kPointHeaderBytes) {
        cellsOf(made);
        return;
    }
    const Datagram& b = made.bytes;
    auto u16 = [&](std::size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); };
    tarn::sim::PointHeader& h = made.header;
    h.frameFlag = b[tarn::sim::kOffsetFrameFlag];
    h.pixelType = b[tarn::sim::kOffsetPixelType];
    h.firstRow = u16(tarn::sim::kOffsetFirstRow);
    h.firstColumn = u16(tarn::sim::kOffsetFirstColumn);
    h.tag = b[tarn::sim::kOffsetTag];
    h.timestamp = 0;
    for (int i = 7; i >= 0; --i) {
        h.timestamp = (h.timestamp << 8) | b[tarn::sim::kOffsetTimestamp + i];
    }
    const std::size_t size = tarn::sim::pixelBytes(h.pixelType);
    for (std::size_t at = tarn::sim::kPointHeaderBytes; at + size <= b.size(); at += size) {
        tarn::sim::RawPoint p{};
        const auto i16 = [&](std::size_t o) { return static_cast<int16_t>(u16(at + o)); };
        if (h.pixelType == tarn::sim::kPixelType4Bytes) {
            p = {0, 0, 0, u16(at), b[at + 2]};
        } else if (h.pixelType == tarn::sim::kPixelType8Bytes) {
            p = {i16(0), i16(2), i16(4), 0, b[at + 6]};
        } else {
            p = {i16(2), i16(4), i16(6), u16(at), b[at + 8]};
        }
        made.points.push_back(p);
    }
    cellsOf(made);
}

// What the data path must do, from the documented behaviour of assembly and decoding.
class Model {
  public:
    struct Counts {
        uint64_t completed = 0, merged = 0, lostLast = 0, tooLong = 0, redelivered = 0;
        uint64_t decoded = 0, incomplete = 0, imu = 0;
        uint64_t magic = 0, type = 0, version = 0, pixelType = 0, flag = 0, shortOnes = 0,
                 imuFlag = 0;
    };
    enum class Event { kNothing, kFrame, kImu };

    Model() : grid_(TARN_CELLS) {}

    // What taking the datagram costs at most, in cells written: its own as it arrives and, when it
    // may end a frame, the frame's once more.
    std::size_t costOf(const Made& d) const {
        if (d.kind != Made::kPoint) {
            return 1;
        }
        std::size_t cost = d.cells.size() + 1;
        if (d.header.frameFlag == tarn::sim::kFrameFlagLast) {
            cost += handCells_ + d.cells.size() + kCellsPerFrame;
        }
        return cost;
    }

    Event take(const Made& d) {
        switch (d.kind) {
            case Made::kBadMagic: ++counts.magic; return Event::kNothing;
            case Made::kBadType: ++counts.type; return Event::kNothing;
            case Made::kShort: ++counts.shortOnes; return Event::kNothing;
            case Made::kBadVersion: ++counts.version; return Event::kNothing;
            case Made::kBadPixelType: ++counts.pixelType; return Event::kNothing;
            case Made::kBadFlag: ++counts.flag; return Event::kNothing;
            case Made::kImu: return takeImu(d);
            case Made::kPoint: break;
        }
        switch (d.header.frameFlag) {
            case tarn::sim::kFrameFlagFirst:
                // A copy of the first datagram of the frame in hand changes nothing.
                if (!queued_ && !merged_ && begunWithFirst_ && !hand_.empty() &&
                    hand_.front()->bytes == d.bytes) {
                    return Event::kNothing;
                }
                if (!hand_.empty() && !queued_) {
                    ++counts.lostLast;
                }
                reset();
                begunWithFirst_ = true;
                append(d);
                return Event::kNothing;
            case tarn::sim::kFrameFlagMiddle:
                append(d);
                return Event::kNothing;
            default: {
                const bool repeated = queued_ && hand_.back()->bytes == d.bytes;
                const bool wasMerged = merged_;
                if (!append(d)) {
                    return Event::kNothing;
                }
                if (repeated) {
                    merged_ = wasMerged;
                    redelivered_ = true;
                }
                ++counts.completed;
                queued_ = true;
                if (redelivered_) {
                    ++counts.redelivered;
                } else if (merged_) {
                    ++counts.merged;
                }
                decode();
                return Event::kFrame;
            }
        }
    }

    Counts counts;
    tarn_frame_info info{};
    tarn_imu_sample imu{};
    const std::vector<tarn_point>& grid() const { return grid_; }

  private:
    Event takeImu(const Made& d) {
        if (d.imu.sampleFlag != 1) {
            ++counts.imuFlag;
            return Event::kNothing;
        }
        ++counts.imu;
        imu = tarn_imu_sample{};
        imu.sample_flag = 1;
        imu.timestamp = d.imu.timestamp / 1000000;
        std::memcpy(imu.sample, d.imu.sample.data(), sizeof imu.sample);
        return Event::kImu;
    }

    void reset() {
        hand_.clear();
        handCells_ = 0;
        queued_ = merged_ = redelivered_ = begunWithFirst_ = discarding_ = false;
    }

    bool append(const Made& d) {
        if (discarding_) {
            return false;
        }
        if (hand_.size() >= kWorkingListBound) {
            ++counts.tooLong;
            reset();
            discarding_ = true;  // up to the next first datagram
            return false;
        }
        if (queued_) {
            queued_ = false;
            merged_ = true;
            redelivered_ = false;
        }
        hand_.push_back(&d);
        handCells_ += d.cells.size();
        return true;
    }

    // In arrival order, the later datagram winning a cell; cells outside the grid are skipped.
    void decode() {
        ++frames_;  // a cell is written in this frame when its mark is this frame's number
        uint32_t cells = 0;
        info = tarn_frame_info{};
        tarn_point* const grid = grid_.data();
        uint64_t* const marks = marks_.data();
        for (const Made* d : hand_) {
            for (const auto& written : d->cells) {
                grid[written.first] = written.second;
                cells += marks[written.first] != frames_ ? 1 : 0;
                marks[written.first] = frames_;
            }
            info.mixed_pixel_types |=
                d->header.pixelType != hand_.back()->header.pixelType ? 1 : 0;
        }
        info.sequence = ++counts.decoded;
        info.datagrams = static_cast<uint32_t>(hand_.size());
        info.cells_written = cells;
        info.complete = cells == TARN_CELLS ? 1 : 0;
        info.merged = merged_ ? 1 : 0;
        info.redelivered = redelivered_ ? 1 : 0;
        info.pixel_type = hand_.back()->header.pixelType;
        info.first_timestamp = hand_.front()->header.timestamp;
        info.last_timestamp = hand_.back()->header.timestamp;
        counts.incomplete += info.complete ? 0 : 1;
    }

    std::vector<const Made*> hand_;
    std::size_t handCells_ = 0;  // of the datagrams in hand
    bool queued_ = false, merged_ = false, redelivered_ = false, begunWithFirst_ = false,
         discarding_ = false;
    std::vector<tarn_point> grid_;
    std::vector<uint64_t> marks_ = std::vector<uint64_t>(TARN_CELLS, 0);
    uint64_t frames_ = 0;
};

void checkInfo(const tarn_frame_info& got, const tarn_frame_info& expected) {
    tarn_frame_info a = got;
    a.receive_monotonic_ns = a.receive_realtime_ns = 0;  // the host's, not the model's
    check(std::memcmp(&a, &expected, sizeof a) == 0);
}

void checkGrid(const tarn_point* got, const Model& model) {
    check(std::memcmp(got, model.grid().data(), sizeof(tarn_point) * TARN_CELLS) == 0);
}

void checkCounts(const tarn_stream_stats& s, const Model::Counts& c) {
    check(s.frames_completed == c.completed && s.frames_merged == c.merged &&
          s.frames_lost_last == c.lostLast && s.frames_too_long == c.tooLong &&
          s.frames_redelivered == c.redelivered && s.frames_decoded == c.decoded &&
          s.frames_incomplete == c.incomplete && s.imu_samples == c.imu &&
          s.frames_queue_full == 0);
    check(s.invalid_magic == c.magic && s.invalid_type == c.type &&
          s.invalid_version == c.version && s.invalid_pixel_type == c.pixelType &&
          s.invalid_frame_flag == c.flag && s.invalid_short == c.shortOnes &&
          s.invalid_imu_flag == c.imuFlag);
}

// What the stream's callbacks were given since the last look.
struct Delivered {
    int frames = 0;
    int imuSamples = 0;
    const Model* model = nullptr;
};

void onFrame(const tarn_point* grid, const tarn_frame_info* info, void* user) {
    auto* delivered = static_cast<Delivered*>(user);
    ++delivered->frames;
    checkInfo(*info, delivered->model->info);
    checkGrid(grid, *delivered->model);
}

void onImu(const tarn_imu_sample* sample, void* user) {
    auto* delivered = static_cast<Delivered*>(user);
    ++delivered->imuSamples;
    check(std::memcmp(sample, &delivered->model->imu, sizeof *sample) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;

    Reader in{data, size};
    std::vector<Made> datagrams = program(in);
    for (Made& made : datagrams) {
        describe(made);
    }

    // A fresh stream and decoder for every input, so that each input is a test of its own.
    Model model;
    Delivered delivered;
    delivered.model = &model;
    tarn::stream::Engine stream;
    tarn::stream::StreamCallbacks callbacks;
    callbacks.frame = onFrame;
    callbacks.frameUser = &delivered;
    callbacks.imu = onImu;
    callbacks.imuUser = &delivered;
    stream.setCallbacks(callbacks);
    stream.storage().running.store(true);  // running, but its workers are this thread
    tarn_decoder* decoder = nullptr;
    check(tarn_decoder_open(&decoder) == TARN_OK);
    std::vector<tarn_point> decoded(TARN_CELLS);

    std::size_t taken = 0;
    std::size_t spent = 0;
    for (const Made& made : datagrams) {
        spent += model.costOf(made);
        if (spent > kMaxCellsPerInput) {
            break;
        }
        ++taken;
        const Model::Event expected = model.take(made);
        const int frames = delivered.frames;
        const int imuSamples = delivered.imuSamples;
        const Datagram& bytes = made.bytes;
        check(stream.receiver().store(bytes.data(), bytes.size(), tarn::stream::receiveTimeNow()));
        while (stream.assembler().assembleQueued()) {
        }
        while (stream.decoder().decodeQueued()) {
        }
        check(delivered.frames == frames + (expected == Model::Event::kFrame ? 1 : 0));
        check(delivered.imuSamples == imuSamples + (expected == Model::Event::kImu ? 1 : 0));

        const int pushed = tarn_decoder_push(decoder, bytes.data(), bytes.size(), 0, 0);
        if (expected == Model::Event::kFrame) {
            check(pushed == TARN_FRAME_READY);
            tarn_frame_info info{};
            check(tarn_decoder_frame(decoder, decoded.data(), &info) == TARN_OK);
            checkInfo(info, model.info);
            checkGrid(decoded.data(), model);
        } else if (expected == Model::Event::kImu) {
            check(pushed == TARN_IMU_READY);
            tarn_imu_sample sample{};
            check(tarn_decoder_imu(decoder, &sample) == TARN_OK);
            check(std::memcmp(&sample, &model.imu, sizeof sample) == 0);
        } else {
            check(pushed == TARN_DATAGRAM_TAKEN);
        }
    }
    checkCounts(stream.counters().snapshot(), model.counts);
    tarn_stream_stats stats{};
    check(tarn_decoder_get_stats(decoder, &stats) == TARN_OK);
    checkCounts(stats, model.counts);
    check(stats.datagrams_read == taken);
    tarn_decoder_close(decoder);
    stream.storage().running.store(false);
    return 0;
}
