// Auto-start control of the router's three daemons that the device starts whenever their
// executable is present: /sbin/qx_monitor, /usr/sbin/qxsshd and /sbin/nvlogger. A daemon is
// kept from starting by renaming its executable aside to the same path with ".disabled"
// appended, and restored by renaming it back.
#ifndef QX_DRIVER_AUTOSTART_H_
#define QX_DRIVER_AUTOSTART_H_

// Restores the three daemons, each on its own: a present executable loses any stale disabled
// copy (unlink, result ignored); a missing one has its disabled copy renamed back. True when
// every attempted rename succeeded; one failed restore never keeps the others disabled.
bool EnableAutoStartBinaries();

// Renames the three executables aside, in order, without a presence test. Stops at the first
// failed rename, leaving the later ones under their own names; true when all three succeeded.
bool DisableAutoStartBinaries();

#endif  // QX_DRIVER_AUTOSTART_H_
