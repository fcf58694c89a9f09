#include "tools/tarn/writers/byte_buffer.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace tarn::writers {

void ByteBuffer::writeTo(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    const std::size_t written = std::fwrite(bytes_.data(), 1, bytes_.size(), file);
    const int writeError = written == bytes_.size() ? 0 : errno;
    const int closeError = std::fclose(file) == 0 ? 0 : errno;
    if (writeError != 0 || closeError != 0) {
        throw std::runtime_error("cannot write " + path + ": " +
                                 std::strerror(writeError != 0 ? writeError : closeError));
    }
}

}  // namespace tarn::writers
