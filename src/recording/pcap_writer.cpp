#include "recording/pcap_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarn::recording {
namespace {

constexpr uint32_t kNanosecondMagic = 0xA1B23C4D;
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkEthernet = 1;
constexpr std::size_t kFileHeaderBytes = 24;
constexpr std::size_t kRecordHeaderBytes = 16;
constexpr std::size_t kFlushBytes = 256 * 1024;
constexpr int64_t kNanosecondsPerSecond = 1000000000;
constexpr int kLastStandardDescriptor = 2;  // standard error

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// Writes all of bytes; returns how many the file took and sets *error when that is not all.
std::size_t writeAll(int fd, const uint8_t* bytes, std::size_t length, int* error) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC;
            return done;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

PcapWriter::PcapWriter(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        throw WriteError("cannot write " + path + ": " + std::strerror(errno));
    }
    if (fd_ <= kLastStandardDescriptor) {
        // A process started with standard output closed would print into the recording.
        const int moved = ::fcntl(fd_, F_DUPFD_CLOEXEC, kLastStandardDescriptor + 1);
        const int error = errno;
        ::close(fd_);
        fd_ = moved;
        if (fd_ < 0) {
            throw WriteError("cannot write " + path + ": " + std::strerror(error));
        }
    }
    buffer_.reserve(kFlushBytes + kRecordHeaderBytes + kSnapLength);
    put32(buffer_, kNanosecondMagic);
    put16(buffer_, kVersionMajor);
    put16(buffer_, kVersionMinor);
    put32(buffer_, 0);  // time zone
    put32(buffer_, 0);  // time accuracy
    put32(buffer_, kSnapLength);
    put32(buffer_, kLinkEthernet);
    int error = 0;
    if (writeAll(fd_, buffer_.data(), kFileHeaderBytes, &error) != kFileHeaderBytes) {
        ::close(fd_);
        fd_ = -1;
        throw WriteError("cannot write " + path + ": " + std::strerror(error));
    }
    fileBytes_ = kFileHeaderBytes;
    buffer_.clear();
}

PcapWriter::~PcapWriter() {
    if (fd_ >= 0) {
        try {
            close();
        } catch (const WriteError&) {
            // The owner asked close() for the error if it wanted it.
        }
    }
}

void PcapWriter::fail(const std::string& what, int error) {
    failed_ = true;
    throw WriteError("cannot " + what + " " + path_ + ": " + std::strerror(error));
}

void PcapWriter::write(int64_t realtimeNs, const uint8_t* frame, std::size_t length) {
    if (failed_ || fd_ < 0) {
        throw WriteError("cannot write " + path_ + ": the file is closed after an error");
    }
    const std::size_t kept = length < kSnapLength ? length : kSnapLength;
    realtimeNs = realtimeNs < 0 ? 0 : realtimeNs;
    const int64_t seconds = realtimeNs / kNanosecondsPerSecond;
    put32(buffer_, static_cast<uint32_t>(seconds));
    put32(buffer_, static_cast<uint32_t>(realtimeNs - seconds * kNanosecondsPerSecond));
    put32(buffer_, static_cast<uint32_t>(kept));
    put32(buffer_, static_cast<uint32_t>(length));
    buffer_.insert(buffer_.end(), frame, frame + kept);
    ends_.push_back(buffer_.size());
    ++accepted_;
    if (buffer_.size() >= kFlushBytes) {
        flush();
    }
}

void PcapWriter::write(std::chrono::system_clock::time_point when,
                       const std::vector<uint8_t>& frame) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
    write(static_cast<int64_t>(ns.count()), frame.data(), frame.size());
}

void PcapWriter::flush() {
    if (failed_ || fd_ < 0) {
        throw WriteError("cannot write " + path_ + ": the file is closed after an error");
    }
    if (buffer_.empty()) {
        return;
    }
    int error = 0;
    const std::size_t done = writeAll(fd_, buffer_.data(), buffer_.size(), &error);
    if (done == buffer_.size()) {
        records_ += ends_.size();
        fileBytes_ += done;
        buffer_.clear();
        ends_.clear();
        return;
    }
    // Keep the records the file took whole and cut away the piece of the next one, so the file
    // reads to its end and records_ says what it holds.
    std::size_t whole = 0;
    for (const std::size_t end : ends_) {
        if (end > done) {
            break;
        }
        ++records_;
        whole = end;
    }
    fileBytes_ += whole;
    if (done > whole) {
        (void)::ftruncate(fd_, static_cast<off_t>(fileBytes_));  // shrinking needs no room
    }
    buffer_.clear();
    ends_.clear();
    fail("write", error);
}

void PcapWriter::close() {
    if (fd_ < 0) {
        return;
    }
    std::string failure;
    if (!failed_) {
        try {
            flush();
        } catch (const WriteError& e) {
            failure = e.what();
        }
    }
    // Data the disk cannot hold may show up only here (network file systems, delayed allocation).
    if (failure.empty() && !failed_ && ::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
        failure = "cannot write " + path_ + ": " + std::strerror(errno);
    }
    if (::close(fd_) != 0 && failure.empty() && !failed_) {
        failure = "cannot close " + path_ + ": " + std::strerror(errno);
    }
    fd_ = -1;
    if (!failure.empty()) {
        failed_ = true;
        throw WriteError(failure);
    }
}

}  // namespace tarn::recording
