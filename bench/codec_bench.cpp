// SPDX-License-Identifier: MIT
// Each benchmark times the codec and its floor alternately, in the same iterations, and reports
// the codec's throughput, the floor's, and the ratio of their times: the figure the targets are
// set in. Run with --benchmark_repetitions=7 (or more) for medians.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <xorcodec/xor_codec.h>

#include "key_schedule.h"

namespace {

using Clock = std::chrono::steady_clock;

// Small sizes run in batches of about 1 MiB, so that reading the clock does not count; the time
// shown is a batch's.
template <class Subject, class Floor>
void Paired(benchmark::State& state, std::size_t bytes, Subject subject, Floor floor) {
  const std::size_t batch = std::max<std::size_t>(1, (std::size_t{1} << 20) / bytes);
  const auto timed = [batch](auto&& work) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < batch; ++i) work();
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  double subject_s = 0;
  double floor_s = 0;
  bool floor_first = true;
  for (auto _ : state) {
    // Alternate which goes first, so that neither always finds the caches as the other left them.
    double s;
    if (floor_first) {
      floor_s += timed(floor);
      subject_s += s = timed(subject);
    } else {
      subject_s += s = timed(subject);
      floor_s += timed(floor);
    }
    state.SetIterationTime(s);
    floor_first = !floor_first;
  }
  const double total = static_cast<double>(bytes) * static_cast<double>(state.iterations()) *
                       static_cast<double>(batch);
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["floor_GB/s"] = total / floor_s / 1e9;
  state.counters["ratio"] = subject_s / floor_s;
}

// Page-aligned, like the large buffers malloc hands out: buffers that happen to sit a few bytes
// apart modulo 4 KiB would slow memcpy down and flatter the ratio.
struct Buffer {
  explicit Buffer(std::size_t n)
      : bytes(static_cast<unsigned char*>(std::aligned_alloc(4096, (n + 4096) / 4096 * 4096)),
              &std::free) {
    for (std::size_t i = 0; i < n; ++i) bytes.get()[i] = static_cast<unsigned char>(i * 131 + 7);
  }
  unsigned char* data() const { return bytes.get(); }
  char* chars() const { return reinterpret_cast<char*>(bytes.get()); }
  std::unique_ptr<unsigned char, decltype(&std::free)> bytes;
};

// The XOR kernel against memcpy of the same bytes.
void BM_XorKernel(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Buffer data(n);
  const Buffer pattern(n);
  const Buffer copy(n);
  Paired(
      state, n,
      [&] {
        xorcodec::detail::XorBytes(data.data(), pattern.data(), n);
        benchmark::DoNotOptimize(data.data());
      },
      [&] {
        std::memcpy(copy.data(), data.data(), n);
        benchmark::DoNotOptimize(copy.data());
      });
}

// EncodeString against memcpy of the same bytes.
void BM_EncodeString(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Buffer str(n);
  std::memset(str.data(), 'j', n);
  str.data()[n] = '\0';
  const Buffer copy(n);
  // Two keys, so that no character ever becomes 0 and shortens the next call's string.
  const int32_t key[] = {0x100, 0x200, 0x300};
  Paired(
      state, n,
      [&] {
        XorCodec::Instance().EncodeString(str.chars(), key, 3);
        benchmark::DoNotOptimize(str.data());
      },
      [&] {
        std::memcpy(copy.data(), str.data(), n);
        benchmark::DoNotOptimize(copy.data());
      });
}

// EncodeBuffer with the built-in key, at a stream offset of each phase of the key, against memcpy
// of the same bytes.
void BM_EncodeBuffer(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto offset = static_cast<uint64_t>(state.range(1));
  const Buffer data(n);
  const Buffer copy(n);
  Paired(
      state, n,
      [&] {
        XorCodec::Instance().EncodeBuffer(data.data(), n, xorcodec::kBuiltInKey,
                                          xorcodec::kBuiltInKeyLen, offset);
        benchmark::DoNotOptimize(data.data());
      },
      [&] {
        std::memcpy(copy.data(), data.data(), n);
        benchmark::DoNotOptimize(copy.data());
      });
}

// GetDataFromFile on a page-cached file against one read() of it into a fresh buffer.
void BM_GetDataFromFile(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  char path[] = "/var/tmp/xorcodec-bench-XXXXXX";
  const int fd = mkstemp(path);
  const Buffer content(n);
  if (fd < 0 || write(fd, content.data(), n) != static_cast<ssize_t>(n)) {
    state.SkipWithError("cannot write the benchmark's file");
    return;
  }
  Paired(
      state, n,
      [&] {
        uint32_t size = 0;
        const std::unique_ptr<unsigned char[]> data(XorCodec::Instance().GetDataFromFile(
            path, &size, xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen));
        benchmark::DoNotOptimize(data.get());
      },
      [&] {
        const std::unique_ptr<unsigned char[]> data(new unsigned char[n + 1]);
        const int in = open(path, O_RDONLY | O_CLOEXEC);
        std::size_t done = 0;
        for (ssize_t got; done < n && (got = read(in, data.get() + done, n - done)) > 0;) {
          done += static_cast<std::size_t>(got);
        }
        close(in);
        benchmark::DoNotOptimize(data.get());
      });
  close(fd);
  unlink(path);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(16)->Range(1 << 10, 64 << 20)->Arg(128 << 20)->UseManualTime();
}

BENCHMARK(BM_XorKernel)->Apply(Sizes);
BENCHMARK(BM_EncodeString)->Apply(Sizes);
BENCHMARK(BM_EncodeBuffer)
    ->ArgsProduct({{1 << 20, 128 << 20}, {0, 1, 2, (int64_t{1} << 32) + 1}})
    ->UseManualTime();
BENCHMARK(BM_GetDataFromFile)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
