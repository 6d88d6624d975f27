// Replays a fuzz corpus through a harness without libFuzzer: every file of
// the folders given is handed to LLVMFuzzerTestOneInput once. Every build
// runs this over the committed corpus, so that a harness that no longer
// builds, or an input that once broke a parser, is seen at once.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(argv[i], ec), end; !ec && it != end;
         it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      std::ifstream in(it->path(), std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
      std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++replayed;
    }
    if (ec) {
      std::fprintf(stderr, "cannot read the corpus %s: %s\n", argv[i], ec.message().c_str());
      return 1;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "the corpus is empty\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", replayed);
  return 0;
}
