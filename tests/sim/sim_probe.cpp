// A program to copy into a device: runs each argument through system() in order and prints
// each raw status, the way the driver runs its commands.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const int status = std::system(argv[i]);
    std::printf("%d\n", status);
    std::fflush(stdout);  // keep the order with what the commands print themselves
  }
  return 0;
}
