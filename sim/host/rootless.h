// Whose ids the simulator gives its devices: the host's pool (as root of the host), or, for an
// ordinary user, ids of a user namespace of the simulator's own, as rootless container tools do.
//
// An ordinary user's process first enters a user namespace whose 0 is the user's own uid and gid
// and whose 1..N are the user's subordinate ids (/etc/subuid, /etc/subgid, mapped by the
// set-id helpers newuidmap and newgidmap), or only 0 where the user has no range or there are no
// helpers (a single-id map). As root of that namespace it may then do what a device needs
// (mount namespaces, tmpfs, pivot_root), and each device's own user namespace nests in it. The
// host side stays in it for good, so it can read and write device files owned by any device id.
// A process that already runs as root of a user namespace (a rootless container, or a test that
// entered one) uses that namespace as it is.
#ifndef QX_SIM_HOST_ROOTLESS_H_
#define QX_SIM_HOST_ROOTLESS_H_

#include <string>

namespace qx::sim {

struct SimulatorIds {
  bool rootless = false;  // false: root of the host's own user namespace
  bool entered = false;   // this process entered the namespace itself (it says so, once)
  // Rootless: ids 1..spare (uids and gids alike) of the namespace map to host ids from
  // host_first_spare_uid up; 0 is host_uid. spare == 0: a single-id map.
  unsigned int spare = 0;
  unsigned int host_uid = 0;
  unsigned int host_first_spare_uid = 0;
};

// Settles the ids for this process, entering a user namespace if it is an ordinary user's.
// Idempotent. Call it while the process is single-threaded (unshare(CLONE_NEWUSER) requires
// that). False with the reason in *error (it starts with "no user namespace" when the machine
// allows none) when no device can be built here.
bool PrepareSimulatorIds(std::string* error);

// As settled by PrepareSimulatorIds (the defaults before).
const SimulatorIds& CurrentSimulatorIds();

// A device's ids, in the simulator's user namespace: device root is root and count ids from it
// are mapped into the device.
struct DeviceIdRange {
  unsigned int root = 0;
  unsigned int count = 0;
};

// How many live devices can have ids of their own; range index (< DeviceIdRangeCount()) of them.
unsigned int DeviceIdRangeCount();
DeviceIdRange DeviceIdRangeAt(unsigned int index);
// The abstract socket name whose holder owns range index (the user's own names when rootless).
std::string DeviceIdRangeClaim(unsigned int index);

// The host's id for an id of the simulator's user namespace.
unsigned int HostUid(unsigned int id);

// The one line that a rootless simulator says at start: whose ids device root has and what the
// device lacks. memory_kind and process_kind: how the limits are enforced (LimitKindName).
std::string RootlessNotice(unsigned int device_root, const char* memory_kind,
                           const char* process_kind);

}  // namespace qx::sim

#endif  // QX_SIM_HOST_ROOTLESS_H_
