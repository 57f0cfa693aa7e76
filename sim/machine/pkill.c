/* The router's pkill: `pkill [-SIGNAL] PATTERN` sends SIGNAL (default SIGTERM; a number or a
 * name, with or without "SIG") to every process but itself whose name matches the extended
 * regular expression PATTERN, as the kernel keeps it (15 characters) or, for a name cut at 15,
 * the last component of its first argument. Exit status 0 when a process was signalled, 1 when
 * none matched, 2 for bad usage. */
#include <dirent.h>
#include <regex.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const struct {
  const char* name;
  int number;
} kSignals[] = {{"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
                {"TERM", SIGTERM}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"STOP", SIGSTOP},
                {"CONT", SIGCONT}, {"ALRM", SIGALRM}};

static int ParseSignal(const char* text) {
  char* end = NULL;
  const long number = strtol(text, &end, 10);
  if (end != text && *end == '\0') return number > 0 && number < 65 ? (int)number : -1;
  if (strncmp(text, "SIG", 3) == 0) text += 3;
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    if (strcmp(text, kSignals[i].name) == 0) return kSignals[i].number;
  }
  return -1;
}

/* Reads up to size-1 bytes of /proc/PID/FILE into buffer; the length read, or -1. */
static int ReadProc(const char* pid, const char* file, char* buffer, size_t size) {
  char path[64];
  (void)snprintf(path, sizeof path, "/proc/%s/%s", pid, file);
  FILE* stream = fopen(path, "r");
  if (stream == NULL) return -1;
  const size_t n = fread(buffer, 1, size - 1, stream);
  (void)fclose(stream);
  buffer[n] = '\0';
  return (int)n;
}

static int NameMatches(const char* pid, const regex_t* pattern) {
  char name[64];
  const int n = ReadProc(pid, "comm", name, sizeof name);
  if (n <= 0) return 0;
  name[strcspn(name, "\n")] = '\0';
  if (regexec(pattern, name, 0, NULL, 0) == 0) return 1;
  if (strlen(name) < 15) return 0;
  char argv0[256];
  if (ReadProc(pid, "cmdline", argv0, sizeof argv0) <= 0) return 0;
  const char* base = strrchr(argv0, '/');
  return regexec(pattern, base != NULL ? base + 1 : argv0, 0, NULL, 0) == 0;
}

int main(int argc, char** argv) {
  int signal_number = SIGTERM;
  int next = 1;
  if (argc == 3 && argv[1][0] == '-') {
    signal_number = ParseSignal(argv[1] + 1);
    next = 2;
  }
  if (signal_number < 0 || argc != next + 1) {
    (void)fputs("usage: pkill [-SIGNAL] PATTERN\n", stderr);
    return 2;
  }
  regex_t pattern;
  if (regcomp(&pattern, argv[next], REG_EXTENDED | REG_NOSUB) != 0) return 2;
  DIR* proc = opendir("/proc");
  if (proc == NULL) return 2;
  const pid_t self = getpid();
  int signalled = 0;
  for (const struct dirent* entry; (entry = readdir(proc)) != NULL;) {
    const long pid = strtol(entry->d_name, NULL, 10);
    if (pid <= 0 || pid == self || !NameMatches(entry->d_name, &pattern)) continue;
    if (kill((pid_t)pid, signal_number) == 0) signalled = 1;
  }
  (void)closedir(proc);
  regfree(&pattern);
  return signalled ? 0 : 1;
}
