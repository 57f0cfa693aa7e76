/* The router's /bin/sh: busybox's ash, started under its own name, with two additions.
 * - The router's busybox release fed the watchdog every 30 s; today's feeds every T/2, and its
 *   shell runs its own applets before anything on the PATH. So `sh -c LINE` runs LINE after a
 *   function `watchdog` that calls the router-era utility (/usr/sbin/watchdog): the command
 *   text the driver composes stays as it is.
 * - While /dev/qx-trace exists, each LINE is first written to the console as "qx-cmd: LINE", so
 *   that the test's host sees the run's progress and can cut the power after any command. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static const char kRouterWatchdog[] = "watchdog() { /usr/sbin/watchdog \"$@\"; }\n";

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "-c") == 0) {
    if (access("/dev/qx-trace", F_OK) == 0) {
      const int console = open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (console >= 0) {
        struct iovec line[] = {
            {(void*)"qx-cmd: ", 8}, {argv[2], strlen(argv[2])}, {(void*)"\n", 1}};
        (void)writev(console, line, 3);
        (void)close(console);
      }
    }
    const size_t length = strlen(argv[2]);
    char* script = malloc(sizeof kRouterWatchdog + length);
    if (script != NULL) {
      memcpy(script, kRouterWatchdog, sizeof kRouterWatchdog - 1);
      memcpy(script + sizeof kRouterWatchdog - 1, argv[2], length + 1);
      argv[2] = script;
    }
  }
  argv[0] = (char*)"sh";
  execv("/bin/busybox", argv);
  return 127;
}
