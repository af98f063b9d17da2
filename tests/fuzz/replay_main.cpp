// Runs the fuzz target over input files without libFuzzer: for builds with
// another compiler (coverage with gcc) and for replaying the seeds quickly.
//   book_fuzz_replay FILE...     (a corpus: book_fuzz_replay tests/fuzz/corpus/*)
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) return std::fprintf(stderr, "cannot read %s\n", argv[i]), 1;
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%d inputs replayed\n", argc - 1);
  return argc > 1 ? 0 : 1;
}
