// Files that appear under their final name only once they are complete: a crash, a full disk or a Ctrl-C
// never leaves a half-written file that looks finished.
#pragma once

#include <cstdio>
#include <string>

namespace orvane {
namespace tool {

class AtomicFile {
  public:
    // Opens "<path>.part" for writing; ok() tells whether that worked (error() says why not).
    explicit AtomicFile(std::string path);
    ~AtomicFile();  // removes the partial file unless commit() succeeded
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return file_ != nullptr && error_.empty(); }
    FILE* stream() { return file_; }
    bool write(const void* data, size_t size);
    // Flushes, closes and renames the partial file to its final name.
    bool commit();
    const std::string& error() const { return error_; }

  private:
    void fail(const std::string& what);

    std::string path_;
    std::string part_path_;
    FILE* file_ = nullptr;
    bool committed_ = false;
    std::string error_;
};

}  // namespace tool
}  // namespace orvane
