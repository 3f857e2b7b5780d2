// Runs a fuzz target over corpus files and folders without libFuzzer, so
// that the seeds and every crash found so far stay regression tests in
// ordinary builds.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int runFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}

static int runPath(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return -1;
  }
  if (!S_ISDIR(info.st_mode)) return runFile(path);
  int count = 0;
  DIR* dir = ::opendir(path.c_str());
  while (dirent* entry = dir ? ::readdir(dir) : nullptr)
    if (entry->d_name[0] != '.') count += runFile(path + "/" + entry->d_name);
  if (dir) ::closedir(dir);
  return count;
}

int main(int argc, char** argv) {
  int total = 0;
  for (int i = 1; i < argc; ++i) {
    const int n = runPath(argv[i]);
    if (n < 0) return 1;
    total += n;
  }
  std::printf("replayed %d inputs\n", total);
  return total > 0 ? 0 : 1;
}
