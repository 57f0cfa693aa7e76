// The two removal lists of the staged cleanup as constant data: what stage 2 ("Clearing unused
// static files") and stage 5 ("Clearing extra files") delete, in the order they delete it. Each
// list runs its kinds of rule in the order they stand here: directories, files, superseded
// copies, then (extra list only) the net-snmp libraries and the pppd plug-ins. Every path is a
// device path; changing one changes what thousands of routers lose.
#ifndef QX_CLEANUP_REMOVAL_TABLES_H_
#define QX_CLEANUP_REMOVAL_TABLES_H_

#include <cstddef>
#include <initializer_list>

namespace qx::upgrader::cleanup {

// An older copy of a program or library, unlinked in order only once the newer copy is a regular
// file (links followed); otherwise nothing happens.
struct Superseded {
  const char* newer;
  std::initializer_list<const char*> older;
};

// A command run when either path is a regular file (links followed).
struct EitherOf {
  const char* tested;
  const char* also_tested;
  const char* command;
};

// Static list. Directories: whole "rm -rf" commands, statuses ignored.
inline constexpr const char* kStaticDirectoryCommands[] = {
    // Documentation and samples.
    "rm -rf /usr/share/gtk-doc",
    "rm -rf /usr/share/info",
    "rm -rf /usr/local/share/doc/openswan",
    "rm -rf /etc/ipsec.d/examples",
    "rm -rf /share/man",
    "rm -rf /usr/local/man",
    "rm -rf /share/doc/",
};

// Static list. Files and links, each unlinked (never a directory; results ignored).
inline constexpr const char* kStaticFiles[] = {
    // Cellular-module firmware images.
    "/etc/TOBY-L280-03S_FW15.63_ENG5001_UFWUPD_1K.bin",
    "/etc/TOBY-L201-02S-00_FW09.94_A01.02_IP_UFWUPD_1K.bin",
    // Bootloader images.
    "/etc/u-boot-orvel_mkII_release-B00843.sb",
    "/etc/u-boot-orvel_mkII_release-B00853.sb",
    "/etc/u-boot-orvel_mkII_release-B00889.sb",
    "/etc/u-boot-orvel_mkII_release-B00893.sb",
    "/etc/u-boot-orvel_mkII_release-B00914.sb",
    "/etc/u-boot-orvel_mkII_release-B00915.sb",
    "/etc/u-boot-orvel_mkII_release-B00968.sb",
    "/etc/u-boot-orvel_mkII_release-B00983.sb",
    "/etc/u-boot-orvel_mkII_release-B01166.sb",
    "/etc/u-boot-orvel_mkII_release-B00717.sb",
    "/etc/u-boot-kelpa_mkII_release-B00717.sb",
    "/etc/u-boot-vintor_release-B00618.sb",
    "/etc/u-boot-vintor_release-B01205.sb",
    // DSL firmware images.
    "/etc/dsl-3.61.img",
    "/etc/dsl-7.05.img",
    "/etc/dsl-7.70.img",
    "/etc/adsl_v110_g2_cpe.bin",
    "/etc/vdsl_v120_g2_cpe.bin",
    "/etc/IV03_20200813_AnnexA.w",
    "/etc/IV03_20200814_AnnexB.w",
    // Firmware files in /etc.
    "/etc/EmptyHexFile.hex",
    "/etc/SerialBoard.hex",
    "/etc/SerialBoardMkII.hex",
    "/etc/BroskV8.bin",
    "/etc/Brosk50MHzV10.bin",
    "/etc/Brosk72MHzV10.bin",
    "/etc/Brosk50MHzV11.bin",
    "/etc/Brosk72MHzV11.bin",
    "/etc/Tolvan50MHzV12.bin",
    "/etc/Tolvan72MHzV12.bin",
    "/etc/Dervin50MHzV13.bin",
    "/etc/Dervin72MHzV13.bin",
    "/etc/VDSLDIN.bin",
    "/etc/kelpa.hex",
    "/etc/KelpaMkII.hex",
    "/etc/Quennet.hex",
    "/etc/OrvelMkII.hex",
    "/etc/PirrikMkII.hex",
    "/etc/PirrikRev2.hex",
    "/etc/Dervin.hex",
    "/etc/morvo.hex",
    "/etc/MorvoRev2.hex",
    "/etc/MorvoRev3.hex",
    "/etc/KelpaMkIIV14.hex",
    "/etc/KelpaMkIIV15.hex",
    "/etc/Tolvan32VLH5V16.bin",
    "/etc/Tolvan128VLH5V16.bin",
    "/etc/Tolvan128VLH7V16.bin",
    "/etc/tandle_rev3_firmware_v49.hex",
    "/etc/tandle_rev2_firmware_v49.hex",
    // Firmware files in /lib/firmware.
    "/lib/firmware/OrvelMkII.elf",
    "/lib/firmware/OrvelMkIIBootloader.elf",
    "/lib/firmware/OrvelMkIIBootloaderV14.elf",
    "/lib/firmware/OrvelMkIIBootloaderV15.elf",
    "/lib/firmware/Quennet.elf",
    "/lib/firmware/QuennetBootloader.elf",
    // Utility programs in /usr/bin.
    "/usr/bin/msp-option",
    "/usr/bin/msp-ublox",
    "/usr/bin/msp-aztech",
    "/usr/bin/msp-broadcom",
    "/usr/bin/msp-triductor",
    "/usr/bin/msp-quectel",
    "/usr/bin/stm32_programmer",
    // The upgrade members that image staging extracts to /tmp.
    "/tmp/filesystem.db",
    "/tmp/fs-validator",
    // Web interface pages.
    "/web/config/dsl-upgrade.asp",
    "/web/config/ifaces-dmz.asp",
    "/web/config/ifaces-dsl-conn-data-def.asp",
    "/web/config/ifaces-dsl-conn-data-inc.asp",
    "/web/config/ifaces-dsl-conn-data.asp",
    "/web/config/ifaces-dsl-conn.asp",
    "/web/config/ifaces-dsl.asp",
    "/web/config/ifaces-wan.asp",
    "/web/config/ifaces-wls-csd.asp",
    "/web/config/ifaces-wls-pin.asp",
    "/web/config/ifaces-wls-pkt-adv-data.asp",
    "/web/config/ifaces-wls-pkt-adv.asp",
    "/web/config/ifaces-wls-pkt.asp",
    "/web/config/ifaces-wls-sms.asp",
    "/web/config/ifaces-wls.asp",
    "/web/status/ifaces-dsl-data.asp",
    "/web/status/ifaces-dsl.asp",
    "/web/status/ifaces-wls.asp",
    "/web/config/ifaces-gre.asp",
    "/web/config/ifaces-msp-adsl.asp",
    "/web/config/ifaces-msp-csd.asp",
    "/web/config/ifaces-msp-vdsl.asp",
    "/web/config/mgmt-dnp3.asp",
    "/web/config/mgmt-email.asp",
    "/web/config/mgmt-remote-server.asp",
    "/web/config/route-dynamic.asp",
    "/web/config/route-policy.asp",
    "/web/config/route-qos.asp",
    "/web/config/route-vrrp.asp",
    "/web/config/route-vrrp-data.asp",
    "/web/config/serial-server.asp",
    "/web/config/serial-server-pb.asp",
    "/web/config/serial-server-port.asp",
    "/web/config/serial-server-port-js.asp",
    "/web/config/serial-server-port-save.asp",
    "/web/config/sys-gpio-additional-text.asp",
    "/web/config/sys-gpio.asp",
    "/web/config/sys-location.asp",
    "/web/config/sys-power.asp",
    "/web/config/vpn-clients.asp",
    "/web/config/vpn-pptp.asp",
    "/web/status/gpio.asp",
    "/web/status/gre.asp",
    "/web/status/serial-server.asp",
    "/web/json/gps-location.asp",
    "/web/json/scep-request.asp",
    // Web interface images.
    "/web/images/qx-4100.gif",
    "/web/images/qx-4200.gif",
    "/web/images/qx-4300.gif",
    // Sample routing configurations.
    "/usr/etc/bgpd.conf.sample",
    "/usr/etc/bgpd.conf.sample2",
    "/usr/etc/ospfd.conf.sample",
    "/usr/etc/ripd.conf.sample",
    "/usr/etc/zebra.conf.sample",
    // Programs.
    "/usr/bin/msmtp",
    "/usr/sbin/xl2tpd",
    "/usr/sbin/xl2tpd-control",
    "/usr/sbin/pptp",
    "/usr/sbin/pptpsetup",
    "/usr/sbin/sscep",
    "/usr/sbin/diald",
    "/usr/sbin/ip6tables",
    "/usr/sbin/ip6tables-multi",
    "/usr/sbin/ip6tables-save",
    "/usr/sbin/ip6tables-restore",
};

inline constexpr Superseded kStaticSuperseded[] = {
    // A newer inadyn replaces the one in /bin.
    {"/usr/sbin/inadyn", {"/bin/inadyn"}},
};

// Extra list.
inline constexpr const char* kExtraDirectoryCommands[] = {
    "rm -rf /usr/share/glib-2.0",
};

inline constexpr const char* kExtraFiles[] = {
    "/usr/sbin/tcpdump.4.7.4",
    "/usr/bin/minicom",
    "/usr/bin/rsync",
};

inline constexpr Superseded kExtraSuperseded[] = {
    // Older copies of programs and libraries, removed only once the newer copy is present.
    {"/usr/bin/openssl", {"/usr/sbin/openssl"}},
    {"/usr/lib/libcurl.so.4.6.0", {"/lib/libcurl.so.4.0.0"}},
    {"/usr/lib/libcrypto.so.1.0.0", {"/lib/libcrypto.so.0.9.8"}},
    {"/usr/lib/libssl.so.1.0.0", {"/lib/libssl.so.0.9.8"}},
    {"/usr/lib/libpcap.so.1.7.4", {"/usr/lib/libpcap.so.1.2.1"}},
    {"/usr/lib/libqmi-glib.so.5.2.0",
     {"/usr/lib/libqmi-glib.so.1", "/usr/lib/libqmi-glib.so.1.3.0"}},
    {"/usr/lib/libgio-2.0.so.0.3600.4", {"/usr/lib/libgio-2.0.so.0.3200.4"}},
    {"/usr/lib/libglib-2.0.so.0.3600.4", {"/usr/lib/libglib-2.0.so.0.3200.4"}},
    {"/usr/lib/libgobject-2.0.so.0.3600.4", {"/usr/lib/libgobject-2.0.so.0.3200.4"}},
};

// The net-snmp libraries: five base names, each in the releases below, newest first. Each of
// the three newest releases, when present, supersedes every older one, each older release
// going with the name that carries only its major version: "/usr/lib/<base>.so.<full>", then
// "/usr/lib/<base>.so.<major>".
inline constexpr const char* kNetSnmpBases[] = {"libnetsnmpmibs", "libnetsnmp", "libnetsnmpagent",
                                                "libnetsnmphelpers", "libnetsnmptrapd"};
struct NetSnmpRelease {
  const char* full;
  const char* major;
};
inline constexpr NetSnmpRelease kNetSnmpReleases[] = {
    {"40.0.0", "40"}, {"35.0.0", "35"}, {"30.0.3", "30"}, {"15.1.3", "15"}};
inline constexpr std::size_t kNetSnmpTiers = 3;  // the oldest release supersedes nothing
static_assert(kNetSnmpTiers + 1 == sizeof kNetSnmpReleases / sizeof kNetSnmpReleases[0]);

// The old pppd plug-ins go once a newer pppd's are there.
inline constexpr EitherOf kExtraEitherOf[] = {
    {"/lib/pppd/2.4.8/minconn.so", "/lib/pppd/2.4.7/minconn.so", "rm -rf /lib/pppd/2.4.4/"},
};

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_REMOVAL_TABLES_H_
