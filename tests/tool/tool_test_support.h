// Helpers of the kvdepth tool tests: running a program, reading files back, scratch directories.
#pragma once

#include <string>
#include <vector>

namespace kvtool {

struct RunResult {
    int exit_code = -1;  // 128 + signal when it was killed
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments (no shell) and waits for it, at most timeout_ms (then it is killed). With
// interrupt_when, SIGINT is sent once standard output contains that text.
RunResult run(const std::vector<std::string>& argv, int timeout_ms = 60000,
              const std::string& interrupt_when = "");

// Vertices of a PLY file as an independent reader (meshio, through python3) sees them.
struct PlyVertex {
    float x, y, z;
    int r = -1, g = -1, b = -1;
};
bool readPlyIndependently(const std::string& path, std::vector<PlyVertex>& out, std::string* error);

// A fresh empty directory under the system's temporary directory, removed with its contents at the end.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string readText(const std::string& path);
std::vector<std::string> listDir(const std::string& path);

}  // namespace kvtool
