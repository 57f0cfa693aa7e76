// A failed call's message: what was being done and the system's word for why (errno's text).
// Header only: the host side and the device's static programs both use it.
#ifndef QX_SIM_COMMON_REASON_H_
#define QX_SIM_COMMON_REASON_H_

#include <cerrno>
#include <cstring>
#include <string>

namespace qx::sim {

inline std::string Reason(const std::string& what, int err = errno) {
  return what + ": " + std::strerror(err);
}

}  // namespace qx::sim

#endif  // QX_SIM_COMMON_REASON_H_
