// The constant tables of the KV70 cleanup strategy: the logs trimmed by stage 1 and the kernel
// module directories cleared by stage 3. Device paths and command texts stand byte for byte.
#ifndef QX_CLEANUP_KV70_TABLES_H_
#define QX_CLEANUP_KV70_TABLES_H_

namespace qx::upgrader::cleanup {

struct LogTrim {
  const char* path;
  unsigned int limit;    // trimmed when the size exceeds this many bytes; decimal, not binary units
  const char* log_text;  // logged with the size appended, before the commands run
  const char* commands[2];  // run in order; nullptr: none
  // A ramdisk file that the commands write through a shell redirection: anything but a private
  // file of root's there (a link another user planted, say) is removed first. nullptr: none.
  const char* written_through;
};

inline constexpr LogTrim kLogTrims[] = {
    {"/var/log/sys.log",
     10000000,
     "Clearing sys.log because too large. Size: ",
     {"cat /dev/null > /var/log/sys.log", nullptr},
     nullptr},
    {"/var/log/messages",
     10000000,
     "Clearing messages because too large. Size: ",
     {"cat /dev/null > /var/log/messages", nullptr},
     nullptr},
    // The trimming line is logged before the tail, so it is among the 2000 lines kept.
    {"/tmp/ramdisk/upgrade_log",
     500000,
     "Clearing upgrade_log because too large. Size: ",
     {"tail -n 2000 /tmp/ramdisk/upgrade_log > /tmp/ramdisk/upgrade_log.tmp",
      "mv /tmp/ramdisk/upgrade_log.tmp /tmp/ramdisk/upgrade_log"},
     "/tmp/ramdisk/upgrade_log.tmp"},
};

// Stage 6 empties both system logs whatever their size.
inline constexpr const char* kSystemLogTruncations[] = {"cat /dev/null > /var/log/sys.log",
                                                        "cat /dev/null > /var/log/messages"};

struct KernelModules {
  const char* match;    // searched for in the running kernel's banner
  const char* command;  // removes the release's module directory
};

// Every release the platform ever shipped. The bare release is searched for with the " (" that
// follows the release in the banner: "2.6.35.3" alone would also match every suffixed release.
inline constexpr KernelModules kKernelModules[] = {
    {"2.6.35.3 (", "rm -rf /lib/modules/2.6.35.3/"},
    {"2.6.35.3-00108-g29117d2", "rm -rf /lib/modules/2.6.35.3-00108-g29117d2/"},
    {"2.6.35.3-00131-gbe8c2d2", "rm -rf /lib/modules/2.6.35.3-00131-gbe8c2d2/"},
    {"2.6.35.3-00225-gcb58267", "rm -rf /lib/modules/2.6.35.3-00225-gcb58267/"},
    {"2.6.35.3-00227-geccd148", "rm -rf /lib/modules/2.6.35.3-00227-geccd148/"},
    {"2.6.35.3-00232-gf7cf468", "rm -rf /lib/modules/2.6.35.3-00232-gf7cf468/"},
    {"2.6.35.3-00238-g355f0b3", "rm -rf /lib/modules/2.6.35.3-00238-g355f0b3/"},
    {"2.6.35.3-00247-g3567f66", "rm -rf /lib/modules/2.6.35.3-00247-g3567f66/"},
    {"2.6.35.3-00249-geae178f", "rm -rf /lib/modules/2.6.35.3-00249-geae178f/"},
    {"2.6.35.3-00260-g37aed04", "rm -rf /lib/modules/2.6.35.3-00260-g37aed04/"},
    {"2.6.35.3-00263-gcc5a534", "rm -rf /lib/modules/2.6.35.3-00263-gcc5a534/"},
    {"2.6.35.3-00265-gabc8368", "rm -rf /lib/modules/2.6.35.3-00265-gabc8368/"},
    {"2.6.35.3-00267-gf314c35", "rm -rf /lib/modules/2.6.35.3-00267-gf314c35/"},
    {"2.6.35.3-00273-g2f44b37", "rm -rf /lib/modules/2.6.35.3-00273-g2f44b37/"},
    {"2.6.35.3-00295-gbbbf593", "rm -rf /lib/modules/2.6.35.3-00295-gbbbf593/"},
};

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_KV70_TABLES_H_
