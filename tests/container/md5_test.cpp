#include "container/md5.h"

#ifndef QX_MD5_WITHOUT_OPENSSL  // the router's cross sysroot has no OpenSSL
#include <openssl/evp.h>
#endif

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/container/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Digest(const unsigned char* data, int size) {
  md5_state state;
  md5_init(&state);
  md5_append(&state, data, size);
  unsigned char digest[kMd5DigestBytes];
  md5_finish(&state, digest);
  return qx::test::Hex(digest, sizeof digest);
}

// The same message appended in pieces of the given sizes (the last size repeats to the end).
std::string DigestInPieces(const Bytes& message, const std::vector<std::size_t>& pieces) {
  md5_state state;
  md5_init(&state);
  std::size_t done = 0;
  for (std::size_t i = 0; done < message.size(); ++i) {
    const std::size_t piece =
        std::min(pieces[std::min(i, pieces.size() - 1)], message.size() - done);
    md5_append(&state, message.data() + done, static_cast<int>(piece));
    done += piece;
  }
  unsigned char digest[kMd5DigestBytes];
  md5_finish(&state, digest);
  return qx::test::Hex(digest, sizeof digest);
}

#ifndef QX_MD5_WITHOUT_OPENSSL
std::string OpenSslDigest(const unsigned char* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(1, EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr));
  return qx::test::Hex(digest, length);
}
#endif

Bytes RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

TEST(Md5Test, GivesTheDigestsOfTheRfcTestSuite) {
  struct Case {
    const char* message;
    const char* digest;
  };
  const Case kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.digest, Digest(reinterpret_cast<const unsigned char*>(c.message),
                               static_cast<int>(std::strlen(c.message))));
  }
}

TEST(Md5Test, DigestDoesNotDependOnHowTheMessageIsSplit) {
  const Bytes message = RandomBytes(5000, 1);
  const std::string whole = DigestInPieces(message, {message.size()});
  const std::vector<std::vector<std::size_t>> kSplits = {{1},         {63, 1}, {64, 1}, {112, 1024},
                                                         {55, 9, 64}, {65},    {4096}};
  for (const auto& split : kSplits) {
    SCOPED_TRACE(::testing::PrintToString(split));
    EXPECT_EQ(whole, DigestInPieces(message, split));
  }
}

TEST(Md5Test, UnalignedDataGivesTheSameDigest) {
  const Bytes message = RandomBytes(1000, 2);
  const std::string aligned = Digest(message.data(), static_cast<int>(message.size()));
  for (std::size_t shift = 1; shift < 8; ++shift) {
    SCOPED_TRACE(shift);
    Bytes shifted(message.size() + shift);
    std::memcpy(shifted.data() + shift, message.data(), message.size());
    EXPECT_EQ(aligned, Digest(shifted.data() + shift, static_cast<int>(message.size())));
  }
}

TEST(Md5Test, ZeroOrNegativeCountChangesNothing) {
  const Bytes message = RandomBytes(100, 3);
  md5_state state;
  md5_init(&state);
  md5_append(&state, message.data(), 37);
  md5_state before;
  std::memcpy(&before, &state, sizeof state);
  for (int count : {0, -1, -64, -2147483647 - 1}) {
    SCOPED_TRACE(count);
    md5_append(&state, message.data(), count);
    EXPECT_EQ(0, std::memcmp(&before, &state, sizeof state));
  }
}

TEST(Md5Test, BitCountCarriesIntoTheHighWord) {
  md5_state state;
  md5_init(&state);
  state.bit_count[0] = 0xFFFFFFF8u;  // one byte short of wrapping the low word
  const unsigned char byte = 'x';
  md5_append(&state, &byte, 1);
  EXPECT_EQ(0u, state.bit_count[0]);
  EXPECT_EQ(1u, state.bit_count[1]);
}

#ifndef QX_MD5_WITHOUT_OPENSSL
// Every length up to three blocks (so every padding case: 55 bytes fit one final block, 56
// need a second), then random lengths up to 5000.
TEST(Md5Test, MatchesOpenSsl) {
  std::mt19937 generator(4);
  std::uniform_int_distribution<std::size_t> random_length(0, 5000);
  for (std::size_t round = 0; round < 400; ++round) {
    const std::size_t size = round < 192 ? round : random_length(generator);
    SCOPED_TRACE(size);
    const Bytes message = RandomBytes(size, static_cast<unsigned>(round));
    ASSERT_EQ(OpenSslDigest(message.data(), size), Digest(message.data(), static_cast<int>(size)));
  }
}
#endif

}  // namespace
