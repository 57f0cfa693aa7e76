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

// Hashes the whole message in chunks of state.range(0) bytes per iteration with Hasher.
template <typename Hasher>
void HashInChunks(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::vector<unsigned char>& message = Message();
  for (auto _ : state) {
    Hasher hasher;
    for (std::size_t done = 0; done < message.size(); done += chunk) {
      hasher.Append(message.data() + done, chunk);
    }
    benchmark::DoNotOptimize(hasher.Finish());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

struct OurMd5 {
  OurMd5() { md5_init(&state); }
  void Append(const unsigned char* data, std::size_t size) {
    md5_append(&state, data, static_cast<int>(size));
  }
  unsigned char Finish() {
    md5_finish(&state, digest);
    return digest[0];
  }
  md5_state state;
  unsigned char digest[kMd5DigestBytes];
};

struct OpenSslMd5 {
  OpenSslMd5() { MD5_Init(&context); }
  void Append(const unsigned char* data, std::size_t size) { MD5_Update(&context, data, size); }
  unsigned char Finish() {
    MD5_Final(digest, &context);
    return digest[0];
  }
  MD5_CTX context;
  unsigned char digest[MD5_DIGEST_LENGTH];
};

void BM_Md5Append(benchmark::State& state) { HashInChunks<OurMd5>(state); }
void BM_OpenSslMd5(benchmark::State& state) { HashInChunks<OpenSslMd5>(state); }

}  // namespace

BENCHMARK(BM_Md5Append)->Arg(1024)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslMd5)->Arg(1024)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);
