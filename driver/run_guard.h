// What keeps a run whole once it has started, whoever started it: it runs alone on the device,
// takes nothing from its launcher that could derail it or what it starts, and the signals that a
// lost SSH session or the caller's own shutdown send do not end it half way.
#ifndef QX_DRIVER_RUN_GUARD_H_
#define QX_DRIVER_RUN_GUARD_H_

#include <string>

namespace qx::upgrader::driver {

// The first thing a run does: it sets up its own process, whatever the launcher left.
// - SIGCHLD and the synchronous faults (SEGV, BUS, ILL, FPE, ABRT, TRAP, SYS) get their default
//   action, so system() sees its children's statuses and a fault still ends the process.
// - Every other signal whose default action ends or stops the process and that can be caught
//   (HUP, INT, QUIT, PIPE, TERM, USR1, USR2, ALRM, VTALRM, PROF, IO, PWR, XCPU, XFSZ, STKFLT, TSTP,
//   TTIN, TTOU and the real-time signals) is caught by a handler that does nothing, never
//   ignored: exec resets a handler to the default, so every command and program the run starts
//   can still be stopped by them. The signal mask is emptied.
// - The file creation mask is 022, so the extracted validator is executable.
// - Descriptors from 3 up are closed. Standard input reads /dev/null; standard output and
//   error stay only when they are a regular file or a character device that is not a
//   pseudo-terminal (a console, /dev/null): a pipe, socket or pseudo-terminal, which the stop
//   list ends with the SSH daemons, is replaced by /dev/null, so no command dies of SIGPIPE.
void TakeOverTheProcess();

enum class RunClaim {
  kTaken,        // this run holds the claim until the process ends
  kHeldByOther,  // another run is in progress
  kUnavailable,  // the claim could not be made: the run goes on without it
};

// Claims the device for this run: an exclusive flock on kClaimPath, a private file (root's, mode
// 0600, one link) in a directory that only root can write, so no other user can take or hold
// the claim. The kernel releases it when the process ends, however it ends, and a power cut
// leaves nothing that claims. Opened without following a link or waiting, close-on-exec: no
// command or program that the run starts holds it. On kUnavailable, cause says why.
RunClaim ClaimTheDevice(std::string& cause);

// Sets /tmp/ramdisk/ to mode 0755, so that no other user can plant anything in it while the run
// goes on (the next boot's mount brings back whatever mode the unit uses), and removes every
// unsafe object (utils::RemoveUnsafeEntry) at the ramdisk paths that the run writes through a
// shell command or the log writer: the upgrade log, the start-up wait marker, the trimming file.
void CloseTheRamdisk();

// Sleeps the whole number of seconds even when a caught signal interrupts the sleep.
void SleepThroughSignals(unsigned int seconds);

}  // namespace qx::upgrader::driver

#endif  // QX_DRIVER_RUN_GUARD_H_
