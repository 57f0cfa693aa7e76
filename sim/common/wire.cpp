#include "sim/common/wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qx::sim::wire {
namespace {

constexpr std::uint32_t kMaxFrameBytes = 1u << 30;

void PutLength(std::string& out, std::size_t length) {
  const auto value = static_cast<std::uint32_t>(length);
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof value);
}

bool GetLength(std::string_view in, std::size_t& pos, std::uint32_t& length) {
  if (in.size() - pos < sizeof length) return false;
  std::memcpy(&length, in.data() + pos, sizeof length);
  pos += sizeof length;
  return true;
}

}  // namespace

void Message::AddList(const std::vector<std::string>& list) {
  AddInt(static_cast<std::int64_t>(list.size()));
  for (const std::string& item : list) Add(item);
}

bool Message::Next(std::string& field) {
  if (next_ >= fields_.size()) return false;
  field = fields_[next_++];
  return true;
}

bool Message::NextInt(std::int64_t& value) {
  std::string text;
  if (!Next(text) || text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  value = parsed;
  return true;
}

bool Message::NextList(std::vector<std::string>& list) {
  std::int64_t count = 0;
  if (!NextInt(count) || count < 0) return false;
  list.clear();
  for (std::int64_t i = 0; i < count; ++i) {
    std::string item;
    if (!Next(item)) return false;
    list.push_back(std::move(item));
  }
  return true;
}

std::string Message::Encode() const {
  std::string out;
  for (const std::string& field : fields_) {
    PutLength(out, field.size());
    out += field;
  }
  return out;
}

bool Message::Decode(std::string_view bytes) {
  fields_.clear();
  next_ = 0;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::uint32_t length = 0;
    if (!GetLength(bytes, pos, length) || bytes.size() - pos < length) return false;
    fields_.emplace_back(bytes.substr(pos, length));
    pos += length;
  }
  return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendMessage(int fd, const Message& message, int pass_fd) {
  const std::string body = message.Encode();
  if (body.size() > kMaxFrameBytes) return false;
  std::string frame;
  PutLength(frame, body.size());
  frame += body;
  std::size_t sent = 0;
  if (pass_fd >= 0) {  // with the frame's first bytes
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec data{frame.data(), frame.size()};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &pass_fd, sizeof(int));
    ssize_t n;
    while ((n = ::sendmsg(fd, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (n <= 0) return false;
    sent = static_cast<std::size_t>(n);
  }
  return WriteAll(fd, frame.data() + sent, frame.size() - sent);
}

namespace {

// The frame's length, and a descriptor that rides with it.
bool ReceiveLength(int fd, std::uint32_t& length, int* passed_fd) {
  if (passed_fd == nullptr) return ReadAll(fd, &length, sizeof length);
  *passed_fd = -1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec data{&length, sizeof length};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = ::recvmsg(fd, &header, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  if (n <= 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
        c->cmsg_len == CMSG_LEN(sizeof(int))) {
      std::memcpy(passed_fd, CMSG_DATA(c), sizeof(int));
    }
  }
  const auto got = static_cast<std::size_t>(n);
  return got == sizeof length ||
         ReadAll(fd, reinterpret_cast<char*>(&length) + got, sizeof length - got);
}

}  // namespace

bool ReceiveMessage(int fd, Message& message, int* passed_fd) {
  std::uint32_t length = 0;
  const bool received = ReceiveLength(fd, length, passed_fd) && length <= kMaxFrameBytes;
  std::string body(received ? length : 0, '\0');
  if (received && (length == 0 || ReadAll(fd, body.data(), length)) && message.Decode(body)) {
    return true;
  }
  if (passed_fd != nullptr && *passed_fd >= 0) ::close(*passed_fd);
  if (passed_fd != nullptr) *passed_fd = -1;
  return false;
}

}  // namespace qx::sim::wire
