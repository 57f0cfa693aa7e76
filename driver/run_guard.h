// What keeps a run whole once it has started: it runs alone on the device, and the signals that
// a lost SSH session or the caller's own shutdown send do not end it half way.
#ifndef QX_DRIVER_RUN_GUARD_H_
#define QX_DRIVER_RUN_GUARD_H_

namespace qx::upgrader::driver {

enum class RunClaim {
  kTaken,        // this run holds the claim until the process ends
  kHeldByOther,  // another run is in progress
  kUnavailable,  // the claim could not be made at all (no socket): the run goes on without it
};

// Claims the device for this run: binds the abstract Unix socket "@qx-upgrader", which the
// kernel releases when the process ends, however it ends, and which leaves no trace on any file
// system, so neither a kill nor a power cut can leave a stale claim behind. Close-on-exec: no
// command or program that the run starts inherits it.
RunClaim ClaimTheDevice();

// From here on SIGHUP, SIGINT, SIGTERM, SIGQUIT and SIGPIPE do not end the process. They are
// caught by a handler that does nothing, never ignored: exec resets a handler to the default,
// so every command and program the run starts can still be stopped by them.
void KeepRunningThroughSignals();

// Sleeps the whole number of seconds even when a caught signal interrupts the sleep.
void SleepThroughSignals(unsigned int seconds);

}  // namespace qx::upgrader::driver

#endif  // QX_DRIVER_RUN_GUARD_H_
