/* A router service stand-in: one static program linked under each service's name, so that the
 * process name and the command line are the service's, as the stop list's pkill sees them. It
 * holds nothing and waits to be stopped. */
#include <unistd.h>

int main(void) {
  for (;;) pause();
}
