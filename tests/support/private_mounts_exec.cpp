// private_mounts_exec COMMAND [ARG...]: runs COMMAND in a mount namespace of its own whose
// mounts are all private, so that nothing it mounts reaches the host. Unlike
// `unshare --mount --propagation private`, it also works in a plain chroot (its / not a mount
// point), as the package stage's throwaway root needs when CI itself runs in one.
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/host/private_mounts.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: private_mounts_exec COMMAND [ARG...]\n");
    return 2;
  }
  std::string error;
  if (::unshare(CLONE_NEWNS) != 0) {
    error = std::string("cannot create a mount namespace: ") + std::strerror(errno);
  } else if (qx::sim::MakeMountsPrivate("/tmp", &error)) {
    ::execvp(argv[1], argv + 1);
    error = std::string("cannot run ") + argv[1] + ": " + std::strerror(errno);
  }
  std::fprintf(stderr, "private_mounts_exec: %s\n", error.c_str());
  return 125;
}
