// MD5 as RFC 1321 describes it: four rounds of sixteen steps over each 64-byte block, with the
// sine-derived additive constants and the per-round rotation amounts of the RFC.
#include "container/md5.h"

#include <cstring>

namespace {

constexpr std::uint32_t kInitialChain[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

inline std::uint32_t RotateLeft(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

// One step: a = b + ((a + f(b, c, d) + word + constant) <<< bits). Each step waits for the
// b of the step before, so the four functions are written to keep b's path short: whatever
// needs only a, c, d, the word and the constant is added first and can be computed early.
// The forms give the RFC's results with fewer operations after b is known:
//   F(b, c, d) = (b & c) | (~b & d) = d ^ (b & (c ^ d))
//   G(b, c, d) = (b & d) | (c & ~d) = (c & ~d) + (b & d)   (disjoint bits: | equals +)
//   H(b, c, d) = b ^ c ^ d          = b ^ (c ^ d)
//   I(b, c, d) = c ^ (b | ~d)
inline std::uint32_t StepF(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t word, std::uint32_t constant, int bits) {
  return b + RotateLeft((a + word + constant) + (d ^ (b & (c ^ d))), bits);
}
inline std::uint32_t StepG(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t word, std::uint32_t constant, int bits) {
  return b + RotateLeft((a + word + constant + (c & ~d)) + (b & d), bits);
}
inline std::uint32_t StepH(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t word, std::uint32_t constant, int bits) {
  return b + RotateLeft((a + word + constant) + (b ^ (c ^ d)), bits);
}
inline std::uint32_t StepI(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t word, std::uint32_t constant, int bits) {
  return b + RotateLeft((a + word + constant) + (c ^ (b | ~d)), bits);
}

// Block words are little-endian whatever the host. Assembling them byte by byte needs no
// alignment and no byte-order test, and compilers turn it into one plain load on
// little-endian hosts, which is what reading an aligned block in place would cost.
inline std::uint32_t LoadLittleEndian(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void StoreLittleEndian(std::uint32_t value, unsigned char* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Compresses one 64-byte block (any alignment) into the chaining values.
void md5_process(md5_state* state, const unsigned char* block) {
  // Words are loaded where each step needs them: an early copy would only add stores.
  const auto x = [block](int index) { return LoadLittleEndian(block + 4 * index); };
  std::uint32_t a = state->chain[0];
  std::uint32_t b = state->chain[1];
  std::uint32_t c = state->chain[2];
  std::uint32_t d = state->chain[3];

  // Round 1.
  a = StepF(a, b, c, d, x(0), 0xd76aa478u, 7);
  d = StepF(d, a, b, c, x(1), 0xe8c7b756u, 12);
  c = StepF(c, d, a, b, x(2), 0x242070dbu, 17);
  b = StepF(b, c, d, a, x(3), 0xc1bdceeeu, 22);
  a = StepF(a, b, c, d, x(4), 0xf57c0fafu, 7);
  d = StepF(d, a, b, c, x(5), 0x4787c62au, 12);
  c = StepF(c, d, a, b, x(6), 0xa8304613u, 17);
  b = StepF(b, c, d, a, x(7), 0xfd469501u, 22);
  a = StepF(a, b, c, d, x(8), 0x698098d8u, 7);
  d = StepF(d, a, b, c, x(9), 0x8b44f7afu, 12);
  c = StepF(c, d, a, b, x(10), 0xffff5bb1u, 17);
  b = StepF(b, c, d, a, x(11), 0x895cd7beu, 22);
  a = StepF(a, b, c, d, x(12), 0x6b901122u, 7);
  d = StepF(d, a, b, c, x(13), 0xfd987193u, 12);
  c = StepF(c, d, a, b, x(14), 0xa679438eu, 17);
  b = StepF(b, c, d, a, x(15), 0x49b40821u, 22);
  // Round 2.
  a = StepG(a, b, c, d, x(1), 0xf61e2562u, 5);
  d = StepG(d, a, b, c, x(6), 0xc040b340u, 9);
  c = StepG(c, d, a, b, x(11), 0x265e5a51u, 14);
  b = StepG(b, c, d, a, x(0), 0xe9b6c7aau, 20);
  a = StepG(a, b, c, d, x(5), 0xd62f105du, 5);
  d = StepG(d, a, b, c, x(10), 0x02441453u, 9);
  c = StepG(c, d, a, b, x(15), 0xd8a1e681u, 14);
  b = StepG(b, c, d, a, x(4), 0xe7d3fbc8u, 20);
  a = StepG(a, b, c, d, x(9), 0x21e1cde6u, 5);
  d = StepG(d, a, b, c, x(14), 0xc33707d6u, 9);
  c = StepG(c, d, a, b, x(3), 0xf4d50d87u, 14);
  b = StepG(b, c, d, a, x(8), 0x455a14edu, 20);
  a = StepG(a, b, c, d, x(13), 0xa9e3e905u, 5);
  d = StepG(d, a, b, c, x(2), 0xfcefa3f8u, 9);
  c = StepG(c, d, a, b, x(7), 0x676f02d9u, 14);
  b = StepG(b, c, d, a, x(12), 0x8d2a4c8au, 20);
  // Round 3.
  a = StepH(a, b, c, d, x(5), 0xfffa3942u, 4);
  d = StepH(d, a, b, c, x(8), 0x8771f681u, 11);
  c = StepH(c, d, a, b, x(11), 0x6d9d6122u, 16);
  b = StepH(b, c, d, a, x(14), 0xfde5380cu, 23);
  a = StepH(a, b, c, d, x(1), 0xa4beea44u, 4);
  d = StepH(d, a, b, c, x(4), 0x4bdecfa9u, 11);
  c = StepH(c, d, a, b, x(7), 0xf6bb4b60u, 16);
  b = StepH(b, c, d, a, x(10), 0xbebfbc70u, 23);
  a = StepH(a, b, c, d, x(13), 0x289b7ec6u, 4);
  d = StepH(d, a, b, c, x(0), 0xeaa127fau, 11);
  c = StepH(c, d, a, b, x(3), 0xd4ef3085u, 16);
  b = StepH(b, c, d, a, x(6), 0x04881d05u, 23);
  a = StepH(a, b, c, d, x(9), 0xd9d4d039u, 4);
  d = StepH(d, a, b, c, x(12), 0xe6db99e5u, 11);
  c = StepH(c, d, a, b, x(15), 0x1fa27cf8u, 16);
  b = StepH(b, c, d, a, x(2), 0xc4ac5665u, 23);
  // Round 4.
  a = StepI(a, b, c, d, x(0), 0xf4292244u, 6);
  d = StepI(d, a, b, c, x(7), 0x432aff97u, 10);
  c = StepI(c, d, a, b, x(14), 0xab9423a7u, 15);
  b = StepI(b, c, d, a, x(5), 0xfc93a039u, 21);
  a = StepI(a, b, c, d, x(12), 0x655b59c3u, 6);
  d = StepI(d, a, b, c, x(3), 0x8f0ccc92u, 10);
  c = StepI(c, d, a, b, x(10), 0xffeff47du, 15);
  b = StepI(b, c, d, a, x(1), 0x85845dd1u, 21);
  a = StepI(a, b, c, d, x(8), 0x6fa87e4fu, 6);
  d = StepI(d, a, b, c, x(15), 0xfe2ce6e0u, 10);
  c = StepI(c, d, a, b, x(6), 0xa3014314u, 15);
  b = StepI(b, c, d, a, x(13), 0x4e0811a1u, 21);
  a = StepI(a, b, c, d, x(4), 0xf7537e82u, 6);
  d = StepI(d, a, b, c, x(11), 0xbd3af235u, 10);
  c = StepI(c, d, a, b, x(2), 0x2ad7d2bbu, 15);
  b = StepI(b, c, d, a, x(9), 0xeb86d391u, 21);

  state->chain[0] += a;
  state->chain[1] += b;
  state->chain[2] += c;
  state->chain[3] += d;
}

}  // namespace

void md5_init(md5_state* state) {
  state->bit_count[0] = 0;
  state->bit_count[1] = 0;
  std::memcpy(state->chain, kInitialChain, sizeof state->chain);
}

void md5_append(md5_state* state, const unsigned char* data, int nbytes) {
  if (nbytes <= 0) return;
  const auto count = static_cast<std::uint32_t>(nbytes);
  const std::uint32_t fill = (state->bit_count[0] >> 3) % kMd5BlockBytes;

  // The bit count is kept modulo 2^64 in two words: nbytes * 8 may carry into the high word.
  const std::uint32_t low = state->bit_count[0] + (count << 3);
  state->bit_count[1] += count >> 29;
  if (low < state->bit_count[0]) ++state->bit_count[1];
  state->bit_count[0] = low;

  std::uint32_t left = count;
  if (fill != 0) {
    const std::uint32_t room = kMd5BlockBytes - fill;
    const std::uint32_t taken = left < room ? left : room;
    std::memcpy(state->pending + fill, data, taken);
    if (taken < room) return;
    md5_process(state, state->pending);
    data += taken;
    left -= taken;
  }
  // Whole blocks straight from the caller's memory, without a copy.
  for (; left >= kMd5BlockBytes; left -= kMd5BlockBytes, data += kMd5BlockBytes) {
    md5_process(state, data);
  }
  if (left != 0) std::memcpy(state->pending, data, left);
}

void md5_finish(md5_state* state, unsigned char digest[kMd5DigestBytes]) {
  // The length is taken before the padding changes the bit count.
  unsigned char length[8];
  StoreLittleEndian(state->bit_count[0], length);
  StoreLittleEndian(state->bit_count[1], length + 4);

  // 0x80 then zeros, so the message ends 8 bytes short of a block boundary: 1 to 64 bytes.
  static constexpr unsigned char kPadding[kMd5BlockBytes] = {0x80};
  const std::uint32_t used = (state->bit_count[0] >> 3) % kMd5BlockBytes;
  const std::uint32_t padding = ((55 + kMd5BlockBytes - used) % kMd5BlockBytes) + 1;
  md5_append(state, kPadding, static_cast<int>(padding));
  md5_append(state, length, static_cast<int>(sizeof length));

  for (unsigned int i = 0; i < 4; ++i) StoreLittleEndian(state->chain[i], digest + 4 * i);
}
