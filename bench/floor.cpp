// The floor of the benchmark: the bare core loops that the extension module
// cannot beat, run on input files written by bench/run.py.
//
//   tessary_bench_floor moments VALUES.f64 REPEATS
//   tessary_bench_floor moments_and_reservoir|other_sketches VALUES.f64 REPEATS
//   tessary_bench_floor string_hash OFFSETS.i32 DATA.bin REPEATS
//
// VALUES.f64 holds raw little-endian doubles, OFFSETS.i32 the row+1 int32
// offsets of an Arrow string array and DATA.bin its bytes. Each kernel runs
// REPEATS times over the whole input; the program prints one line
//
//   KERNEL elements=N best_ns_per_element=T checksum=C
//
// with the best time of the repetitions. The checksum depends on every
// element, so the compiler cannot drop the loop.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tessary/hashing.hpp"
#include "tessary/numeric_state.hpp"
#include "tessary/sketches/numeric_sketch_state.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
bool read_file(const char* path, std::vector<T>& out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamsize bytes = in.tellg();
  if (bytes < 0 || bytes % static_cast<std::streamsize>(sizeof(T)) != 0) return false;
  out.resize(static_cast<std::size_t>(bytes) / sizeof(T));
  in.seekg(0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(out.data()), bytes));
}

// Times kernel(values) REPEATS times and prints its best time per value;
// the kernel returns a checksum that depends on every value.
template <class Kernel>
int run_values_kernel(const char* name, const char* values_path, int repeats, Kernel kernel) {
  std::vector<double> values;
  if (!read_file(values_path, values)) {
    std::fprintf(stderr, "cannot read %s\n", values_path);
    return 2;
  }
  double best = std::numeric_limits<double>::infinity();
  double checksum = 0.0;
  for (int rep = 0; rep < repeats; ++rep) {
    const auto start = Clock::now();
    checksum = kernel(values);
    const auto stop = Clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  std::printf("%s elements=%zu best_ns_per_element=%.4f checksum=%.17g\n", name, values.size(),
              values.empty() ? 0.0 : best / static_cast<double>(values.size()), checksum);
  return 0;
}

// One serial chain through count, mean and the moment sums, with a division
// per element: latency bound, not bandwidth bound. The bare recurrence in
// its fastest form, the one numeric_state_f64 runs.
double moments(const std::vector<double>& values) {
  tessary::NumericState s;
  s.observe_all(values.data(), values.size());
  return s.mean + s.m2 + s.m4 + static_cast<double>(s.count);
}

// The two halves of numeric_profile_f64 on two threads, each alone: the
// moments with the reservoir fed every finite value and its position, and
// the other three sketches. The slower half bounds the two-thread time.
double moments_and_reservoir(const std::vector<double>& values) {
  tessary::NumericState s;
  tessary::PriorityReservoir reservoir;
  const std::uint64_t stream_hash = tessary::splitmix64(0);
  s.observe_run(values.data(), values.size(), [&reservoir, stream_hash](std::size_t i, double x) {
    tessary::NumericSketchState::offer_finite(reservoir, stream_hash, i, x);
  });
  return s.mean + s.m2 + s.m4 + static_cast<double>(reservoir.entries().size());
}

double other_sketches(const std::vector<double>& values) {
  tessary::NumericSketchState state;
  for (const double x : values) {
    if (tessary::is_finite_value(x)) state.observe_finite_but_reservoir(x);
  }
  return state.hll.estimate() + static_cast<double>(state.quantiles.count());
}

// FNV-1a 64 over each row's bytes, finished with SplitMix64 of the length:
// the per-row hash of the string accumulator, without the sketches.
int run_string_hash(const char* offsets_path, const char* data_path, int repeats) {
  std::vector<std::int32_t> offsets;
  std::vector<std::uint8_t> data;
  if (!read_file(offsets_path, offsets) || !read_file(data_path, data) || offsets.empty()) {
    std::fprintf(stderr, "cannot read %s or %s\n", offsets_path, data_path);
    return 2;
  }
  const std::size_t rows = offsets.size() - 1;
  double best = std::numeric_limits<double>::infinity();
  std::uint64_t checksum = 0;
  for (int rep = 0; rep < repeats; ++rep) {
    const auto start = Clock::now();
    std::uint64_t acc = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint8_t* p = data.data() + offsets[r];
      const auto len = static_cast<std::uint64_t>(offsets[r + 1] - offsets[r]);
      std::uint64_t f = 0xcbf29ce484222325ULL;
      for (std::uint64_t i = 0; i < len; ++i) f = (f ^ p[i]) * 0x100000001b3ULL;
      acc ^= tessary::splitmix64(f ^ tessary::splitmix64(len));
    }
    const auto stop = Clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
    checksum = acc;
  }
  std::printf("string_hash elements=%zu best_ns_per_element=%.4f checksum=%016llx\n", rows,
              rows == 0 ? 0.0 : best / static_cast<double>(rows),
              static_cast<unsigned long long>(checksum));
  return 0;
}

int parse_repeats(const char* text) {
  const int r = std::atoi(text);
  return r > 0 ? r : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "moments") == 0) {
    return run_values_kernel("moments", argv[2], parse_repeats(argv[3]), moments);
  }
  if (argc == 4 && std::strcmp(argv[1], "moments_and_reservoir") == 0) {
    return run_values_kernel("moments_and_reservoir", argv[2], parse_repeats(argv[3]), moments_and_reservoir);
  }
  if (argc == 4 && std::strcmp(argv[1], "other_sketches") == 0) {
    return run_values_kernel("other_sketches", argv[2], parse_repeats(argv[3]), other_sketches);
  }
  if (argc == 5 && std::strcmp(argv[1], "string_hash") == 0) {
    return run_string_hash(argv[2], argv[3], parse_repeats(argv[4]));
  }
  std::fprintf(stderr,
               "usage: %s moments|moments_and_reservoir|other_sketches VALUES.f64 REPEATS\n"
               "       %s string_hash OFFSETS.i32 DATA.bin REPEATS\n",
               argv[0], argv[0]);
  return 2;
}
