/* qx-old-kernel PROGRAM [ARGUMENT...]: runs PROGRAM with the system-call surface of the router's
 * kernel, Linux 2.6.35, on a newer kernel. A seccomp filter, inherited by everything PROGRAM
 * starts, answers ENOSYS to every call that 2.6.35 does not have (refused_syscalls.h, generated
 * from the ARM call numbers and the releases). One flag is refused too: fstatat64 with
 * AT_EMPTY_PATH came with 2.6.39, and 2.6.35 answers EINVAL. That answer goes to the upgrader
 * only (a process named "upgrader"), through this launcher as the filter's supervisor; the
 * busybox commands it runs stand in for the router's own old busybox, which never asks for the
 * flag, and get today's answer. Exits with PROGRAM's status (128 + signal), 127 when it could
 * not be started, 126 when the filter could not be installed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#define kAtEmptyPath 0x1000

static const struct {
  unsigned int number;
  const char* name;
} kRefused[] = {
#include "refused_syscalls.h"
};
#define kRefusedCount (sizeof kRefused / sizeof kRefused[0])

/* The filter: other architectures pass; a refused number gets ENOSYS; fstatat64 with
 * AT_EMPTY_PATH goes to the supervisor; everything else passes. */
static int InstallFilter(void) {
  static struct sock_filter code[2 * kRefusedCount + 16];
  size_t n = 0;
  code[n++] =
      (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
  code[n++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_ARM, 1, 0);
  code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  code[n++] =
      (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
  for (size_t i = 0; i < kRefusedCount; ++i) {
    code[n++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kRefused[i].number, 0, 1);
    code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS);
  }
  code[n++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fstatat64, 1, 0);
  code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  /* The flags are the fourth argument; the low word comes first on little-endian ARM. */
  code[n++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                                           offsetof(struct seccomp_data, args[3]));
  code[n++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kAtEmptyPath, 0, 1);
  code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF);
  code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  struct sock_fprog program = {.len = (unsigned short)n, .filter = code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return (int)syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                      &program);
}

static int SendDescriptor(int socket_fd, int fd) {
  char control[CMSG_SPACE(sizeof(int))] = {0};
  char byte = 0;
  struct iovec data = {&byte, 1};
  struct msghdr message = {
      .msg_iov = &data, .msg_iovlen = 1, .msg_control = control, .msg_controllen = sizeof control};
  struct cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(header), &fd, sizeof fd);
  return sendmsg(socket_fd, &message, 0) == 1 ? 0 : -1;
}

static int ReceiveDescriptor(int socket_fd) {
  char control[CMSG_SPACE(sizeof(int))] = {0};
  char byte = 0;
  struct iovec data = {&byte, 1};
  struct msghdr message = {
      .msg_iov = &data, .msg_iovlen = 1, .msg_control = control, .msg_controllen = sizeof control};
  if (recvmsg(socket_fd, &message, 0) != 1) return -1;
  struct cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header == NULL || header->cmsg_type != SCM_RIGHTS) return -1;
  int fd = -1;
  memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return fd;
}

static int IsUpgrader(pid_t pid) {
  char path[64], name[32] = {0};
  (void)snprintf(path, sizeof path, "/proc/%d/comm", (int)pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t n = read(fd, name, sizeof name - 1);
  (void)close(fd);
  return n > 0 && strcmp(name, "upgrader\n") == 0;
}

/* One notification: 2.6.35's EINVAL for the upgrader, today's answer for everyone else. */
static void Answer(int listener) {
  struct seccomp_notif request;
  memset(&request, 0, sizeof request);
  if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) return;
  struct seccomp_notif_resp response;
  memset(&response, 0, sizeof response);
  response.id = request.id;
  if (IsUpgrader((pid_t)request.pid)) {
    response.error = -EINVAL;
  } else {
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
  }
  (void)ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response); /* the caller may be gone */
}

int main(int argc, char** argv) {
  if (argc < 2) {
    (void)fputs("usage: qx-old-kernel PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return 126;
  const pid_t child = fork();
  if (child < 0) return 126;
  if (child == 0) {
    (void)close(sockets[0]);
    const int listener = InstallFilter();
    if (listener < 0 || SendDescriptor(sockets[1], listener) != 0) {
      perror("qx-old-kernel: seccomp filter");
      _exit(126);
    }
    (void)close(listener);
    execv(argv[1], argv + 1);
    perror(argv[1]);
    _exit(127);
  }
  (void)close(sockets[1]);
  const int listener = ReceiveDescriptor(sockets[0]);
  int status = 0;
  if (listener < 0) { /* the child reported it and ends with 126 */
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  while (listener >= 0) {
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (ended < 0 && errno != EINTR) return 126;
    struct pollfd ready = {listener, POLLIN, 0};
    if (poll(&ready, 1, 50) == 1 && (ready.revents & POLLIN)) Answer(listener);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
}
