// Throughput of the engine next to OpenSSL EVP in the same binary: AES-256-CBC
// on the table, bitsliced, vector-permute, AES-NI and VAES paths, SHA-256 on the portable, SHA-NI
// and ARMv8 paths, and CBC with the ciphertext's HMAC-SHA256 in two passes and in the one-pass
// loops.
//
//   cmake -S . -B build -DQOX_BUILD_BENCH=ON && cmake --build build -j2 --target engine_bench
//   build/bench/engine_bench --benchmark_repetitions=5
//
// After the usual report, prints each path's median (and best) MB/s over the
// repetitions and its ratio to OpenSSL for the same direction and size.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/aes/portable/cbc_table.h"
#include "engine/aes/cbc_paths.h"
#include "engine/aes/cbc.h"
#include "engine/hmac/cbc_hmac.h"
#include "engine/hmac/hmac_sha256.h"
#include "engine/aes/key_schedule.h"
#include "engine/sha256/paths.h"

namespace {

using namespace qox::aes;
namespace hmac = qox::hmac;
namespace sha256 = qox::sha256;
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

void set_bytes(benchmark::State& state, size_t len) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

// The whole digest of the buffer (padding included) on one compression path.
void bench_sha256(benchmark::State& state,
                  void (*blocks)(sha256::Sha256State&, const uint8_t*, size_t)) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> in(len + sha256::kSha256BlockSize, 0x3C);
  for (auto _ : state) {
    sha256::Sha256State s = sha256::kSha256Initial;
    blocks(s, in.data(), len / sha256::kSha256BlockSize);
    in[len] = 0x80;  // the padding block of a whole-block message
    blocks(s, in.data() + len, 1);
    benchmark::DoNotOptimize(s);
  }
  set_bytes(state, len);
}

void bench_openssl_sha256(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> in(len, 0x3C);
  uint8_t digest[32];
  for (auto _ : state) {
    unsigned n = 0;
    if (EVP_Digest(in.data(), len, digest, &n, EVP_sha256(), nullptr) != 1) {
      state.SkipWithError("EVP_Digest failed");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  set_bytes(state, len);
}

// CBC and the HMAC of the ciphertext: the dispatch then hmac_sha256, or the
// one-pass loop.
void bench_cbc_mac(benchmark::State& state, bool decrypt, bool one_pass) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> in(len, 0x3C), out(len);
  const RoundKeys k = round_keys(decrypt ? schedule().dec : schedule().enc);
  const hmac::HmacSha256Key mac_key(kKey, sizeof kKey);
  uint8_t tag[32];
  for (auto _ : state) {
    if (one_pass) {
      (decrypt ? hmac::cbc_decrypt_and_mac : hmac::cbc_encrypt_then_mac)(
          k, kIv, in.data(), out.data(), len / 16, mac_key, tag);
    } else if (decrypt) {
      hmac::hmac_sha256(mac_key, in.data(), len, tag);
      cbc_decrypt_auto(k, kIv, in.data(), out.data(), len / 16);
    } else {
      cbc_encrypt_auto(k, kIv, in.data(), out.data(), len / 16);
      hmac::hmac_sha256(mac_key, out.data(), len, tag);
    }
    benchmark::DoNotOptimize(tag);
    benchmark::ClobberMemory();
  }
  set_bytes(state, len);
}

// OpenSSL's AES-256-CBC and its one-shot HMAC, in the same order.
void bench_openssl_cbc_mac(benchmark::State& state, bool decrypt) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> in(len, 0x3C), out(len);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  uint8_t tag[32];
  for (auto _ : state) {
    int n = 0;
    unsigned tag_len = 0;
    if (decrypt) HMAC(EVP_sha256(), kKey, sizeof kKey, in.data(), len, tag, &tag_len);
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, kKey, kIv, decrypt ? 0 : 1) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(len)) != 1) {
      state.SkipWithError("EVP cipher failed");
      break;
    }
    if (!decrypt) HMAC(EVP_sha256(), kKey, sizeof kKey, out.data(), len, tag, &tag_len);
    benchmark::DoNotOptimize(tag);
    benchmark::ClobberMemory();
  }
  set_bytes(state, len);
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
  std::printf("\n%-8s %-8s %-8s %12s %12s %14s\n", "dir", "size", "path", "median MB/s",
              "best MB/s", "ours / OpenSSL");
  for (const char* dir : {"encrypt", "decrypt", "sha256", "enc+mac", "dec+mac"}) {
    for (int64_t size : kSizes) {
      const std::string arg = std::to_string(size);
      const auto peer = rep.rates.find({std::string(dir) + "/openssl", arg});
      for (const char* path : {"openssl", "table", "bitsliced", "ssse3", "neon", "aesni", "vaes",
                               "portable", "shani", "armv8", "2pass", "1pass"}) {
        const auto it = rep.rates.find({std::string(dir) + "/" + path, arg});
        if (it == rep.rates.end()) continue;
        const double med = median(it->second);
        const double best = *std::max_element(it->second.begin(), it->second.end());
        std::printf("%-8s %-8s %-8s %12.1f %12.1f", dir,
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
  add("encrypt/bitsliced",
      [](benchmark::State& s) { bench_engine(s, cbc_encrypt_bitsliced, false); });
  if (vperm_available())
    add(std::string("encrypt/") + vperm_name(),
        [](benchmark::State& s) { bench_engine(s, cbc_encrypt_vperm, false); });
  if (aesni_available())
    add("encrypt/aesni", [](benchmark::State& s) { bench_engine(s, cbc_encrypt_aesni, false); });
  add("decrypt/openssl", [](benchmark::State& s) { bench_openssl(s, true); });
  add("decrypt/table", [](benchmark::State& s) { bench_engine(s, cbc_decrypt_table, true); });
  add("decrypt/bitsliced",
      [](benchmark::State& s) { bench_engine(s, cbc_decrypt_bitsliced, true); });
  if (vperm_available())
    add(std::string("decrypt/") + vperm_name(),
        [](benchmark::State& s) { bench_engine(s, cbc_decrypt_vperm, true); });
  if (aesni_available())
    add("decrypt/aesni", [](benchmark::State& s) { bench_engine(s, cbc_decrypt_aesni, true); });
  if (vaes_available())
    add("decrypt/vaes", [](benchmark::State& s) { bench_engine(s, cbc_decrypt_vaes, true); });

  add("sha256/openssl", bench_openssl_sha256);
  add("sha256/portable",
      [](benchmark::State& s) { bench_sha256(s, sha256::sha256_blocks_portable); });
  if (sha256::shani_available())
    add("sha256/shani", [](benchmark::State& s) { bench_sha256(s, sha256::sha256_blocks_shani); });
  if (sha256::armv8_sha2_available())
    add("sha256/armv8", [](benchmark::State& s) { bench_sha256(s, sha256::sha256_blocks_armv8); });
  for (bool decrypt : {false, true}) {
    const std::string dir = decrypt ? "dec+mac/" : "enc+mac/";
    add(dir + "openssl", [decrypt](benchmark::State& s) { bench_openssl_cbc_mac(s, decrypt); });
    add(dir + "2pass", [decrypt](benchmark::State& s) { bench_cbc_mac(s, decrypt, false); });
    add(dir + "1pass", [decrypt](benchmark::State& s) { bench_cbc_mac(s, decrypt, true); });
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_ratios(reporter);
  benchmark::Shutdown();
  return 0;
}
