// Runs a fuzz harness over saved inputs without libFuzzer: each argument is a file or a directory of files.
// Any compiler builds it, so the normal and sanitizer test builds replay every corpus.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Files of a directory in name order, so that runs are comparable.
std::vector<std::string> FilesIn(const std::string& directory) {
    std::vector<std::string> files;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string path = directory + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && !IsDirectory(path)) files.push_back(path);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool Replay(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, so that the sanitizers see any read past its end.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    std::printf("replay %s (%zu bytes)\n", path.c_str(), input.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|DIRECTORY...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const std::vector<std::string> files =
            IsDirectory(path) ? FilesIn(path) : std::vector<std::string>{path};
        for (const std::string& file : files) {
            ok = Replay(file) && ok;
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    // An empty corpus would make the test pass without replaying anything.
    return ok && replayed > 0 ? 0 : 1;
}
