// AES-256-CBC throughput of the table, AES-NI and VAES paths next to OpenSSL EVP.
//
//   cmake -S . -B build -DQOX_BUILD_BENCH=ON && cmake --build build -j2 --target engine_bench
//   build/bench/engine_bench --benchmark_repetitions=5
//
// After the usual report, prints each path's median (and best) MB/s over the
// repetitions and its ratio to OpenSSL for the same direction and size.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aes/cbc.h"
#include "aes/cbc_aesni.h"
#include "aes/cbc_vaes.h"
#include "aes/key_schedule.h"

namespace {

using namespace qox::aes;
using CbcFn = void (*)(const RoundKeys&, const uint8_t*, const uint8_t*, uint8_t*, size_t);

constexpr int64_t kSizes[] = {16 << 10, 1 << 20};
const uint8_t kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                          0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                          0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const uint8_t kIv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

const SchedulePair& schedule() {
  static const SchedulePair s = [] {
    SchedulePair p;
    expand_key(kKey, sizeof kKey, p);
    return p;
  }();
  return s;
}

void bench_engine(benchmark::State& state, CbcFn fn, bool decrypt) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> in(len, 0x3C), out(len);
  const RoundKeys k = round_keys(decrypt ? schedule().dec : schedule().enc);
  for (auto _ : state) {
    fn(k, kIv, in.data(), out.data(), len / 16);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

// One context per run; each iteration is one EVP_CipherUpdate over the
// whole buffer (no padding, so no Final is needed).
void bench_openssl(benchmark::State& state, bool decrypt) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> in(len, 0x3C), out(len);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, kKey, kIv, decrypt ? 0 : 1) != 1) {
    state.SkipWithError("EVP_CipherInit_ex failed");
    return;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  for (auto _ : state) {
    int n = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(len)) != 1) {
      state.SkipWithError("EVP_CipherUpdate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

// Console output as usual, plus every iteration run's bytes/s kept by
// "direction/path" and size for the ratio table.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  using Key = std::pair<std::string, std::string>;  // ("encrypt/aesni", "16384")
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const auto rate = r.counters.find("bytes_per_second");
      if (r.run_type != Run::RT_Iteration || r.error_occurred || rate == r.counters.end()) continue;
      rates[{r.run_name.function_name, r.run_name.args}].push_back(rate->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<Key, std::vector<double>> rates;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void print_ratios(const CollectingReporter& rep) {
  std::printf("\n%-8s %-8s %-6s %12s %12s %14s\n", "dir", "size", "path", "median MB/s",
              "best MB/s", "ours / OpenSSL");
  for (const char* dir : {"encrypt", "decrypt"}) {
    for (int64_t size : kSizes) {
      const std::string arg = std::to_string(size);
      const auto peer = rep.rates.find({std::string(dir) + "/openssl", arg});
      for (const char* path : {"openssl", "table", "aesni", "vaes"}) {
        const auto it = rep.rates.find({std::string(dir) + "/" + path, arg});
        if (it == rep.rates.end()) continue;
        const double med = median(it->second);
        const double best = *std::max_element(it->second.begin(), it->second.end());
        std::printf("%-8s %-8s %-6s %12.1f %12.1f", dir,
                    (std::to_string(size >> 10) + "KiB").c_str(), path, med / 1e6, best / 1e6);
        if (peer != rep.rates.end() && std::string(path) != "openssl") {
          const double peer_best = *std::max_element(peer->second.begin(), peer->second.end());
          std::printf("   %5.2f (best %4.2f)", med / median(peer->second), best / peer_best);
        }
        std::printf("\n");
      }
    }
  }
}

void add(const std::string& name, std::function<void(benchmark::State&)> fn) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(), std::move(fn));
  for (int64_t size : kSizes) b->Arg(size);
}

}  // namespace

int main(int argc, char** argv) {
  add("encrypt/openssl", [](benchmark::State& s) { bench_openssl(s, false); });
  add("encrypt/table", [](benchmark::State& s) { bench_engine(s, cbc_encrypt_table, false); });
  if (aesni_available())
    add("encrypt/aesni", [](benchmark::State& s) { bench_engine(s, cbc_encrypt_aesni, false); });
  add("decrypt/openssl", [](benchmark::State& s) { bench_openssl(s, true); });
  add("decrypt/table", [](benchmark::State& s) { bench_engine(s, cbc_decrypt_table, true); });
  if (aesni_available())
    add("decrypt/aesni", [](benchmark::State& s) { bench_engine(s, cbc_decrypt_aesni, true); });
  if (vaes_available())
    add("decrypt/vaes", [](benchmark::State& s) { bench_engine(s, cbc_decrypt_vaes, true); });

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_ratios(reporter);
  benchmark::Shutdown();
  return 0;
}
