// The MD5 message digest (RFC 1321) as a small incremental interface over a caller-owned
// record, so a header and the data behind it can be hashed as one stream while they are read
// piece by piece.
//
// Calling order: md5_init, any number of md5_append, one md5_finish. The digest depends only on
// the concatenation of the appended bytes, never on how they were split among calls. After
// md5_finish the record must be started again with md5_init before it hashes another message.
// Nothing here allocates, and the record holds no pointer: a plain local variable is enough.
#ifndef QX_CONTAINER_MD5_H_
#define QX_CONTAINER_MD5_H_

#include <cstdint>

constexpr unsigned int kMd5DigestBytes = 16;
constexpr unsigned int kMd5BlockBytes = 64;

struct md5_state {
  // Bits appended since md5_init, modulo 2^64: low word first.
  std::uint32_t bit_count[2];
  // The chaining values A, B, C and D.
  std::uint32_t chain[4];
  // Bytes of the block not yet complete; how many are in use follows from bit_count.
  unsigned char pending[kMd5BlockBytes];
};

// Starts a new message: bit count 0 and the initial chaining values.
void md5_init(md5_state* state);

// Hashes nbytes further bytes from data (any alignment). A count of 0 or less changes nothing.
void md5_append(md5_state* state, const unsigned char* data, int nbytes);

// Pads and completes the message and writes its 16-byte digest.
void md5_finish(md5_state* state, unsigned char digest[kMd5DigestBytes]);

#endif  // QX_CONTAINER_MD5_H_
