#include "container/md5.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// The message appended from an odd address in pieces of the given sizes (the last size repeats
// to the end), with empty and negative counts in between, which must change nothing.
std::string Digest(const std::string& message, const std::vector<std::size_t>& pieces) {
  const std::string odd = "#" + message;
  const auto* data = reinterpret_cast<const unsigned char*>(odd.data()) + 1;
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
  std::string hex;
  char pair[3];
  for (const unsigned char byte : digest) hex.append(pair, std::snprintf(pair, 3, "%02x", byte));
  return hex;
}

// The RFC 1321 test suite, then the padding's edges (55 bytes fit one final block, 56 need a
// second) and a long message (digests by md5sum). Split, the pieces leave every remainder in the
// pending block, and whole blocks are read straight from the caller's memory.
TEST(Md5Test, GivesTheRfcDigestsHoweverTheMessageIsSplit) {
  for (const auto& [message, digest] : std::vector<std::pair<std::string, std::string>>{
           {"", "d41d8cd98f00b204e9800998ecf8427e"},
           {"a", "0cc175b9c0f1b6a831c399e269772661"},
           {"abc", "900150983cd24fb0d6963f7d28e17f72"},
           {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
           {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
           {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
            "d174ab98d277d9f5a5611c2c9f419d9f"},
           {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
            "57edf4a22be3c955ac49da2e2107b67a"},
           {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
           {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
           {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
           {std::string(5000, 'a'), "7aaa7dec709fa4fa82f3746abfd80bdb"}}) {
    for (const std::vector<std::size_t>& split : std::vector<std::vector<std::size_t>>{
             {5000}, {1}, {63, 1}, {112, 1024}, {55, 9, 64}, {65}}) {
      EXPECT_EQ(digest, Digest(message, split))
          << message.size() << " bytes in " << ::testing::PrintToString(split);
    }
  }
}

}  // namespace
