#include "container/md5.h"

#ifndef QX_MD5_WITHOUT_OPENSSL  // the router's cross sysroot has no OpenSSL
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) out.append(pair, std::snprintf(pair, 3, "%02x", bytes[i]));
  return out;
}

// The message appended in pieces of the given sizes (the last size repeats to the end; by
// default all at once), with empty and negative counts in between, which must change nothing.
std::string Digest(const std::string& message,
                   const std::vector<std::size_t>& pieces = {1u << 30}) {
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  md5_state state;
  md5_init(&state);
  for (std::size_t i = 0, done = 0; done < message.size(); ++i) {
    const std::size_t piece =
        std::min(pieces[std::min(i, pieces.size() - 1)], message.size() - done);
    md5_append(&state, data + done, static_cast<int>(piece));
    md5_append(&state, data, 0);
    md5_append(&state, data, i % 2 == 0 ? -1 : -2147483647 - 1);
    done += piece;
  }
  unsigned char digest[kMd5DigestBytes];
  md5_finish(&state, digest);
  return Hex(digest, sizeof digest);
}

std::string Message(std::size_t size) {
  std::string message(size, '\0');
  for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<char>(i * i + i / 7);
  return message;
}

TEST(Md5Test, GivesTheDigestsOfTheRfcTestSuite) {
  for (const auto& [message, digest] : std::vector<std::pair<std::string, std::string>>{
           {"", "d41d8cd98f00b204e9800998ecf8427e"},
           {"a", "0cc175b9c0f1b6a831c399e269772661"},
           {"abc", "900150983cd24fb0d6963f7d28e17f72"},
           {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
           {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
           {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
            "d174ab98d277d9f5a5611c2c9f419d9f"},
           {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
            "57edf4a22be3c955ac49da2e2107b67a"}}) {
    EXPECT_EQ(digest, Digest(message)) << message;
  }
}

// Pieces that leave every remainder in the pending block, and whole blocks read straight from
// the caller's memory at any address (odd ones too). The digest of the 5000 bytes is OpenSSL's.
TEST(Md5Test, DigestDoesNotDependOnHowTheMessageIsSplit) {
  for (const std::vector<std::size_t>& split : std::vector<std::vector<std::size_t>>{
           {5000}, {1}, {63, 1}, {64, 1}, {112, 1024}, {55, 9, 64}, {65}, {4096}}) {
    EXPECT_EQ("9b73c690869240ae1e5bc19f73e2959d", Digest(Message(5000), split))
        << ::testing::PrintToString(split);
  }
}

#ifndef QX_MD5_WITHOUT_OPENSSL
// Every length up to three blocks (every padding case: 55 bytes fit one final block, 56 need a
// second), then longer ones.
TEST(Md5Test, MatchesOpenSsl) {
  for (std::size_t size = 0; size < 5000; size += size < 192 ? 1 : 173) {
    const std::string message = Message(size);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ASSERT_EQ(1, EVP_Digest(message.data(), size, digest, &length, EVP_md5(), nullptr));
    ASSERT_EQ(Hex(digest, length), Digest(message)) << size;
  }
}
#endif

}  // namespace
