#include "atomic_file.h"

#include <cerrno>
#include <cstring>

namespace orvane {
namespace tool {

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)), part_path_(path_ + ".part") {
    file_ = std::fopen(part_path_.c_str(), "wb");
    if (!file_) fail("cannot create");
}

AtomicFile::~AtomicFile() {
    if (file_) std::fclose(file_);
    if (!committed_) std::remove(part_path_.c_str());
}

void AtomicFile::fail(const std::string& what) {
    if (error_.empty()) error_ = what + " " + path_ + ": " + std::strerror(errno);
}

bool AtomicFile::write(const void* data, size_t size) {
    if (!ok()) return false;
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) fail("cannot write");
    return ok();
}

bool AtomicFile::commit() {
    if (!ok()) return false;
    FILE* f = file_;
    file_ = nullptr;
    // fclose reports a write-back failure (for example a full disk) that fwrite did not see.
    if (std::fflush(f) != 0 || std::ferror(f)) {
        fail("cannot write");
        std::fclose(f);
        return false;
    }
    if (std::fclose(f) != 0) {
        fail("cannot write");
        return false;
    }
    if (std::rename(part_path_.c_str(), path_.c_str()) != 0) {
        fail("cannot rename to");
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace tool
}  // namespace orvane
