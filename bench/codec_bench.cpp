// The codecs on the message path, in MB/s of input, with their yields to the thread's loop
// active. Sizes: 1 KiB, 1 MiB, 64 MiB.
//
// The yields run against three loops: the library's own loop with nothing watched (a host
// that encodes outside a send), the same loop watching an idle socket (what a send sees:
// the loop samples its descriptors at most every 50 us), and a loop whose pass does nothing
// (the floor: only the call itself). Their difference is the cost of the yields.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "postwing/event_loop.hpp"

#include "null_loop.hpp"

namespace {

using postwing::EventLoop;

std::string RandomBytes(size_t n) {
  std::mt19937_64 gen(42);
  std::string s(n, '\0');
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = gen();
    std::memcpy(&s[i], &v, 8);
  }
  for (; i < n; ++i) s[i] = static_cast<char>(gen());
  return s;
}

// Text like a CSV or HTML attachment: words, CR LF lines of varying length, tabs, a few
// 8-bit letters and "=" signs.
std::string SampleText(size_t n) {
  static const char* words[] = {"the",  "quick", "brown",   "fox",      "jumps", "over",
                                "lazy", "dog",   "caf\xE9", "na\xEFve", "a=b",   "value",
                                "<td>", "</td>", "mail",    "send",     "line",  "text"};
  std::mt19937 gen(7);
  std::string s;
  s.reserve(n + 64);
  size_t line = 0;
  const size_t limit = 40 + gen() % 80;
  size_t target = limit;
  while (s.size() < n) {
    s += words[gen() % (sizeof(words) / sizeof(words[0]))];
    line += 5;
    if (line >= target) {
      s += "\r\n";
      line = 0;
      target = 20 + gen() % 100;
    } else {
      s += (gen() % 9 == 0) ? '\t' : ' ';
    }
  }
  s.resize(n);
  return s;
}

enum LoopKind { kIdle = 0, kSocketWatched = 1, kNull = 2 };

// Installs the kind of loop for the benchmark's thread.
class LoopScope {
 public:
  explicit LoopScope(int kind) {
    if (kind == kNull) {
      postwing::SetThreadEventLoop(std::make_shared<NullLoop>());
      return;
    }
    auto loop = postwing::MakePollEventLoop();
    postwing::SetThreadEventLoop(loop);
    if (kind == kSocketWatched && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd_) == 0)
      loop->Watch(fd_[0], EventLoop::kReadable, [](unsigned) {});
  }
  ~LoopScope() {
    postwing::SetThreadEventLoop(nullptr);
    if (fd_[0] >= 0) ::close(fd_[0]);
    if (fd_[1] >= 0) ::close(fd_[1]);
  }

 private:
  int fd_[2] = {-1, -1};
};

const char* LoopName(int kind) {
  return kind == kIdle ? "loop:idle" : kind == kSocketWatched ? "loop:socket" : "loop:null";
}

// A file for the benchmarks that read one; removed at exit.
class BenchFile {
 public:
  explicit BenchFile(const std::string& data) {
    path_ = (std::filesystem::temp_directory_path() /
             ("pwbench-" + std::to_string(::getpid()) + "-" + std::to_string(data.size())))
                .string();
    std::ofstream(path_, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  ~BenchFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void Base64Lines(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  LoopScope loop(static_cast<int>(state.range(1)));
  postwing::Base64 codec;
  codec.Init();
  for (auto _ : state) {
    int16_t size = 76;
    std::string text = codec.EncodeLines(data, size);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetLabel(LoopName(static_cast<int>(state.range(1))));
}

void Base64ThreeCalls(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  LoopScope loop(static_cast<int>(state.range(1)));
  postwing::Base64 codec;
  codec.Init();
  for (auto _ : state) {
    postwing::ByteArray encoded;
    codec.Encode(data, encoded);
    std::vector<std::string> lines;
    int16_t size = 76;
    codec.span(encoded, lines, size, "");
    std::string text = codec.StrAryToStr(lines);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetLabel(LoopName(static_cast<int>(state.range(1))));
}

// A file attachment as assembly encodes it: Load (a yield every 101 bytes), then the lines.
void Base64LoadAndLines(benchmark::State& state) {
  const BenchFile file(RandomBytes(static_cast<size_t>(state.range(0))));
  LoopScope loop(static_cast<int>(state.range(1)));
  postwing::Base64 codec;
  codec.Init();
  for (auto _ : state) {
    postwing::ByteArray bytes;
    codec.Load(file.path(), bytes);
    int16_t size = 76;
    std::string text = codec.EncodeLines(bytes, size);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetLabel(LoopName(static_cast<int>(state.range(1))));
}

// The same file encoded from pieces, never held whole.
void Base64FileLines(benchmark::State& state) {
  const BenchFile file(RandomBytes(static_cast<size_t>(state.range(0))));
  LoopScope loop(static_cast<int>(state.range(1)));
  postwing::Base64 codec;
  codec.Init();
  for (auto _ : state) {
    int16_t size = 76;
    std::string text = codec.EncodeFileLines(file.path(), size);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetLabel(LoopName(static_cast<int>(state.range(1))));
}

// The file as a send streams it: pieces of about 3 MiB, each queued and then dropped.
void Base64StreamedFile(benchmark::State& state) {
  const BenchFile file(RandomBytes(static_cast<size_t>(state.range(0))));
  LoopScope loop(static_cast<int>(state.range(1)));
  postwing::Base64 codec;
  codec.Init();
  for (auto _ : state) {
    postwing::Base64::FileLines lines(codec, file.path());
    std::string piece;
    while (lines.Next(piece)) benchmark::DoNotOptimize(piece.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetLabel(LoopName(static_cast<int>(state.range(1))));
}

void Base64Decode(benchmark::State& state) {
  postwing::Base64 codec;
  codec.Init();
  postwing::ByteArray encoded;
  codec.Encode(RandomBytes(static_cast<size_t>(state.range(0))), encoded);
  for (auto _ : state) {
    postwing::ByteArray bytes;
    codec.Decode(encoded, bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void QuotedPrintableEncodeText(benchmark::State& state) {
  const std::string text = SampleText(static_cast<size_t>(state.range(0)));
  postwing::QuotedPrintable qp;
  for (auto _ : state) {
    std::string encoded = qp.Encode(text);
    benchmark::DoNotOptimize(encoded.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void QuotedPrintableDecode(benchmark::State& state) {
  postwing::QuotedPrintable qp;
  const std::string encoded = qp.Encode(SampleText(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::string text = qp.Decode(encoded);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void UUEncodeFile(benchmark::State& state) {
  const BenchFile file(RandomBytes(static_cast<size_t>(state.range(0))));
  LoopScope loop(static_cast<int>(state.range(1)));
  postwing::UUEncode uu;
  for (auto _ : state) {
    std::string text = uu.UUEncodeFile(file.path(), "bench.bin");
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.SetLabel(LoopName(static_cast<int>(state.range(1))));
}

constexpr int64_t kKiB = 1024, kMiB = 1024 * 1024;

void SizesAndLoops(benchmark::internal::Benchmark* b) {
  for (int64_t size : {kKiB, kMiB, 64 * kMiB})
    for (int loop : {kIdle, kSocketWatched, kNull}) b->Args({size, loop});
  b->Unit(benchmark::kMicrosecond);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {kKiB, kMiB, 64 * kMiB}) b->Arg(size);
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(Base64Lines)->Apply(SizesAndLoops);
BENCHMARK(Base64ThreeCalls)->Apply(SizesAndLoops);
BENCHMARK(Base64LoadAndLines)->Apply(SizesAndLoops);
BENCHMARK(Base64FileLines)->Apply(SizesAndLoops);
BENCHMARK(Base64StreamedFile)->Apply(SizesAndLoops);
BENCHMARK(Base64Decode)->Apply(Sizes);
BENCHMARK(QuotedPrintableEncodeText)->Apply(Sizes);
BENCHMARK(QuotedPrintableDecode)->Apply(Sizes);
BENCHMARK(UUEncodeFile)->Apply(SizesAndLoops);

}  // namespace

BENCHMARK_MAIN();
