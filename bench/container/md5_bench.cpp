// md5_append throughput against OpenSSL's MD5 on the same buffer, hashed in 1 KiB chunks (the
// reader's chunk size) and in 64 KiB chunks.
#define OPENSSL_SUPPRESS_DEPRECATED  // the plain MD5_* calls are the fairest peer
#include <openssl/md5.h>

#include <random>
#include <vector>

#include "benchmark/benchmark.h"
#include "container/md5.h"

namespace {

constexpr std::size_t kMessageBytes = 4 << 20;

const std::vector<unsigned char>& Message() {
  static const std::vector<unsigned char> message = [] {
    std::vector<unsigned char> bytes(kMessageBytes);
    std::mt19937 generator(1);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(generator());
    return bytes;
  }();
  return message;
}

void BM_Md5Append(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::vector<unsigned char>& message = Message();
  unsigned char digest[kMd5DigestBytes];
  for (auto _ : state) {
    md5_state md5;
    md5_init(&md5);
    for (std::size_t done = 0; done < message.size(); done += chunk) {
      md5_append(&md5, message.data() + done, static_cast<int>(chunk));
    }
    md5_finish(&md5, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void BM_OpenSslMd5(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::vector<unsigned char>& message = Message();
  unsigned char digest[MD5_DIGEST_LENGTH];
  for (auto _ : state) {
    MD5_CTX md5;
    MD5_Init(&md5);
    for (std::size_t done = 0; done < message.size(); done += chunk) {
      MD5_Update(&md5, message.data() + done, chunk);
    }
    MD5_Final(digest, &md5);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

}  // namespace

BENCHMARK(BM_Md5Append)->Arg(1024)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslMd5)->Arg(1024)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);
