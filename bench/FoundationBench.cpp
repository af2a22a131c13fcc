// Throughput of the byte buffer, Base64 and the zlib codecs, each beside the plain baseline it is
// measured against (memcpy-free memmem over the file's bytes, zlib called directly).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "aslib/ASDeflate.h"
#include "aslib/ASInflate.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "tests/ZlibReference.h"

namespace zel {
namespace {

constexpr int64_t kSpilled = 50 << 20;

std::string Text(size_t n) {
  // Compressible, document-like bytes.
  static const char* words[] = {"<ed:Container>", "<cat:Goods>", "1234.50", "ООО Ромашка", "\r\n", "RU", " "};
  std::mt19937 rng(1);
  std::string s;
  s.reserve(n + 32);
  while (s.size() < n) s += words[rng() % 7];
  s.resize(n);
  return s;
}

void BM_BufferAppendInMemory(benchmark::State& state) {
  const std::string piece(size_t(state.range(0)), 'x');
  ASVariableBuffer buffer;
  for (auto _ : state) {
    buffer.reset();
    for (int64_t at = 0; at + int64_t(piece.size()) <= ASVariableBuffer::kMemorySize; at += int64_t(piece.size()))
      buffer.append(piece);
    benchmark::DoNotOptimize(buffer.length());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * ASVariableBuffer::kMemorySize);
}
BENCHMARK(BM_BufferAppendInMemory)->Arg(512)->Arg(4096);

void BM_BufferReadInMemory(benchmark::State& state) {
  ASVariableBuffer buffer;
  buffer.append(std::string(size_t(ASVariableBuffer::kMemorySize), 'x'));
  std::vector<char> out(size_t(state.range(0)));
  for (auto _ : state) {
    buffer.setReadPosition(0);
    while (buffer.read(out.data(), int64_t(out.size())) > 0) {
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * ASVariableBuffer::kMemorySize);
}
BENCHMARK(BM_BufferReadInMemory)->Arg(512)->Arg(4096);

void BM_BufferAppendSpilled(benchmark::State& state) {
  const std::string piece(65536, 'y');
  for (auto _ : state) {
    ASVariableBuffer buffer;
    for (int64_t at = 0; at < kSpilled; at += int64_t(piece.size())) buffer.append(piece);
    benchmark::DoNotOptimize(buffer.length());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kSpilled);
}
BENCHMARK(BM_BufferAppendSpilled)->Unit(benchmark::kMillisecond);

void BM_BufferReadSpilled(benchmark::State& state) {
  ASVariableBuffer buffer;
  const std::string piece(65536, 'y');
  for (int64_t at = 0; at < kSpilled; at += int64_t(piece.size())) buffer.append(piece);
  std::vector<char> out(65536);
  for (auto _ : state) {
    buffer.setReadPosition(0);
    while (buffer.read(out.data(), int64_t(out.size())) > 0) {
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kSpilled);
}
BENCHMARK(BM_BufferReadSpilled)->Unit(benchmark::kMillisecond);

// A 50 MB buffer whose pattern stands only at the very end.
struct SpilledHaystack {
  ASVariableBuffer buffer;
  std::string bytes;
  std::string pattern = "\r\n--boundary-zel-7f3a--\r\n";
  SpilledHaystack() {
    bytes = Text(size_t(kSpilled));
    bytes.replace(bytes.size() - pattern.size(), pattern.size(), pattern);
    buffer.append(bytes);
  }
};

void BM_BufferFindSpilled(benchmark::State& state) {
  static SpilledHaystack hay;
  for (auto _ : state) benchmark::DoNotOptimize(hay.buffer.find(hay.pattern, 0));
  state.SetBytesProcessed(int64_t(state.iterations()) * kSpilled);
}
BENCHMARK(BM_BufferFindSpilled)->Unit(benchmark::kMillisecond);

// The baseline: the same bytes read from a file in 64 KiB windows, memmem over each.
void BM_MemmemOverFile(benchmark::State& state) {
  static SpilledHaystack hay;
  char name[] = "/tmp/zelbenchXXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  if (write(fd, hay.bytes.data(), hay.bytes.size()) != ssize_t(hay.bytes.size())) state.SkipWithError("write");
  const size_t m = hay.pattern.size();
  std::vector<char> window(65536 + m);
  for (auto _ : state) {
    int64_t found = -1;
    for (off_t at = 0; found < 0;) {
      ssize_t got = pread(fd, window.data(), window.size(), at);
      if (got < ssize_t(m)) break;
      const void* hit = memmem(window.data(), size_t(got), hay.pattern.data(), m);
      if (hit) found = at + (static_cast<const char*>(hit) - window.data());
      at += got - ssize_t(m) + 1;
    }
    benchmark::DoNotOptimize(found);
  }
  close(fd);
  state.SetBytesProcessed(int64_t(state.iterations()) * kSpilled);
}
BENCHMARK(BM_MemmemOverFile)->Unit(benchmark::kMillisecond);

void BM_Base64Encode(benchmark::State& state) {
  const std::string data = Text(1 << 20);
  CPBase64 codec;
  for (auto _ : state) benchmark::DoNotOptimize(codec.encode(data));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_Base64Encode);

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = CPBase64().encode(Text(1 << 20));
  for (auto _ : state) benchmark::DoNotOptimize(CPBase64::decode(text));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_Base64Decode);

// Arg 0: a 48 KiB document whose output stays in the buffer's memory; arg 1: 8 MiB, which spills.
const std::string& Document(int64_t which) {
  static const std::string small = Text(48 << 10), large = Text(8 << 20);
  return which ? large : small;
}

void BM_DeflateThroughBuffers(benchmark::State& state) {
  for (auto _ : state) {
    ASVariableBuffer in, out;
    in.append(Document(state.range(0)));
    DeflateBuffer(1, &in, &out, 65536);
    benchmark::DoNotOptimize(out.length());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Document(state.range(0)).size()));
}
BENCHMARK(BM_DeflateThroughBuffers)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_DeflateZlibDirect(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(test::ZlibCompress(Document(state.range(0)), 31));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Document(state.range(0)).size()));
}
BENCHMARK(BM_DeflateZlibDirect)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_InflateThroughBuffers(benchmark::State& state) {
  const std::string packed = test::ZlibCompress(Document(state.range(0)), 31);
  for (auto _ : state) {
    ASInflate inflater(1);
    ASVariableBuffer out;
    for (size_t at = 0; at < packed.size(); at += 65536)
      inflater.inflateInto(packed.data() + at, int64_t(std::min<size_t>(65536, packed.size() - at)), &out);
    benchmark::DoNotOptimize(out.length());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Document(state.range(0)).size()));
}
BENCHMARK(BM_InflateThroughBuffers)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_InflateZlibDirect(benchmark::State& state) {
  const std::string packed = test::ZlibCompress(Document(state.range(0)), 31);
  std::string out(Document(state.range(0)).size(), '\0');
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, 31);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = uInt(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    inflate(&z, Z_FINISH);
    inflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Document(state.range(0)).size()));
}
BENCHMARK(BM_InflateZlibDirect)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
