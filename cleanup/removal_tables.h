// The two removal lists of the staged cleanup as constant data: what stage 2 ("Clearing unused
// static files") and stage 5 ("Clearing extra files") delete, in the order they delete it.
// Every path is a device path; changing one changes what thousands of routers lose.
#ifndef QX_CLEANUP_REMOVAL_TABLES_H_
#define QX_CLEANUP_REMOVAL_TABLES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace qx::upgrader::cleanup {

enum class Removal {
  kShell,   // text: a whole "rm -rf <path>" command; for directories; status ignored
  kUnlink,  // text: a path unlinked (a file or a link itself, never a directory); result ignored
  kSuperseded,  // text: the newer copy; when it is a regular file (links followed), the older
                // copies in `more` are unlinked in order; otherwise nothing happens
  kEitherOf,    // text: a tested path; more[0]: the path tested when the first is not a regular
                // file; more[1]: the command run when either is
  kNetSnmp,     // the generated net-snmp superseded rules (NetSnmpRules()), in their order
};

struct RemovalEntry {
  Removal how;
  const char* text;
  const char* more[2] = {nullptr, nullptr};
};

inline constexpr RemovalEntry kStaticRemovals[] = {
    // Documentation and samples.
    {Removal::kShell, "rm -rf /usr/share/gtk-doc"},
    {Removal::kShell, "rm -rf /usr/share/info"},
    {Removal::kShell, "rm -rf /usr/local/share/doc/openswan"},
    {Removal::kShell, "rm -rf /etc/ipsec.d/examples"},
    {Removal::kShell, "rm -rf /share/man"},
    {Removal::kShell, "rm -rf /usr/local/man"},
    {Removal::kShell, "rm -rf /share/doc/"},
    // Cellular-module firmware images.
    {Removal::kUnlink, "/etc/TOBY-L280-03S_FW15.63_ENG5001_UFWUPD_1K.bin"},
    {Removal::kUnlink, "/etc/TOBY-L201-02S-00_FW09.94_A01.02_IP_UFWUPD_1K.bin"},
    // Bootloader images.
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00843.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00853.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00889.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00893.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00914.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00915.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00968.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00983.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B01166.sb"},
    {Removal::kUnlink, "/etc/u-boot-orvel_mkII_release-B00717.sb"},
    {Removal::kUnlink, "/etc/u-boot-kelpa_mkII_release-B00717.sb"},
    {Removal::kUnlink, "/etc/u-boot-vintor_release-B00618.sb"},
    {Removal::kUnlink, "/etc/u-boot-vintor_release-B01205.sb"},
    // DSL firmware images.
    {Removal::kUnlink, "/etc/dsl-3.61.img"},
    {Removal::kUnlink, "/etc/dsl-7.05.img"},
    {Removal::kUnlink, "/etc/dsl-7.70.img"},
    {Removal::kUnlink, "/etc/adsl_v110_g2_cpe.bin"},
    {Removal::kUnlink, "/etc/vdsl_v120_g2_cpe.bin"},
    {Removal::kUnlink, "/etc/IV03_20200813_AnnexA.w"},
    {Removal::kUnlink, "/etc/IV03_20200814_AnnexB.w"},
    // Firmware files in /etc.
    {Removal::kUnlink, "/etc/EmptyHexFile.hex"},
    {Removal::kUnlink, "/etc/SerialBoard.hex"},
    {Removal::kUnlink, "/etc/SerialBoardMkII.hex"},
    {Removal::kUnlink, "/etc/BroskV8.bin"},
    {Removal::kUnlink, "/etc/Brosk50MHzV10.bin"},
    {Removal::kUnlink, "/etc/Brosk72MHzV10.bin"},
    {Removal::kUnlink, "/etc/Brosk50MHzV11.bin"},
    {Removal::kUnlink, "/etc/Brosk72MHzV11.bin"},
    {Removal::kUnlink, "/etc/Tolvan50MHzV12.bin"},
    {Removal::kUnlink, "/etc/Tolvan72MHzV12.bin"},
    {Removal::kUnlink, "/etc/Dervin50MHzV13.bin"},
    {Removal::kUnlink, "/etc/Dervin72MHzV13.bin"},
    {Removal::kUnlink, "/etc/VDSLDIN.bin"},
    {Removal::kUnlink, "/etc/kelpa.hex"},
    {Removal::kUnlink, "/etc/KelpaMkII.hex"},
    {Removal::kUnlink, "/etc/Quennet.hex"},
    {Removal::kUnlink, "/etc/OrvelMkII.hex"},
    {Removal::kUnlink, "/etc/PirrikMkII.hex"},
    {Removal::kUnlink, "/etc/PirrikRev2.hex"},
    {Removal::kUnlink, "/etc/Dervin.hex"},
    {Removal::kUnlink, "/etc/morvo.hex"},
    {Removal::kUnlink, "/etc/MorvoRev2.hex"},
    {Removal::kUnlink, "/etc/MorvoRev3.hex"},
    {Removal::kUnlink, "/etc/KelpaMkIIV14.hex"},
    {Removal::kUnlink, "/etc/KelpaMkIIV15.hex"},
    {Removal::kUnlink, "/etc/Tolvan32VLH5V16.bin"},
    {Removal::kUnlink, "/etc/Tolvan128VLH5V16.bin"},
    {Removal::kUnlink, "/etc/Tolvan128VLH7V16.bin"},
    {Removal::kUnlink, "/etc/tandle_rev3_firmware_v49.hex"},
    {Removal::kUnlink, "/etc/tandle_rev2_firmware_v49.hex"},
    // Firmware files in /lib/firmware.
    {Removal::kUnlink, "/lib/firmware/OrvelMkII.elf"},
    {Removal::kUnlink, "/lib/firmware/OrvelMkIIBootloader.elf"},
    {Removal::kUnlink, "/lib/firmware/OrvelMkIIBootloaderV14.elf"},
    {Removal::kUnlink, "/lib/firmware/OrvelMkIIBootloaderV15.elf"},
    {Removal::kUnlink, "/lib/firmware/Quennet.elf"},
    {Removal::kUnlink, "/lib/firmware/QuennetBootloader.elf"},
    // Utility programs in /usr/bin.
    {Removal::kUnlink, "/usr/bin/msp-option"},
    {Removal::kUnlink, "/usr/bin/msp-ublox"},
    {Removal::kUnlink, "/usr/bin/msp-aztech"},
    {Removal::kUnlink, "/usr/bin/msp-broadcom"},
    {Removal::kUnlink, "/usr/bin/msp-triductor"},
    {Removal::kUnlink, "/usr/bin/msp-quectel"},
    {Removal::kUnlink, "/usr/bin/stm32_programmer"},
    // The upgrade members that image staging extracts to /tmp.
    {Removal::kUnlink, "/tmp/filesystem.db"},
    {Removal::kUnlink, "/tmp/fs-validator"},
    // Web interface pages.
    {Removal::kUnlink, "/web/config/dsl-upgrade.asp"},
    {Removal::kUnlink, "/web/config/ifaces-dmz.asp"},
    {Removal::kUnlink, "/web/config/ifaces-dsl-conn-data-def.asp"},
    {Removal::kUnlink, "/web/config/ifaces-dsl-conn-data-inc.asp"},
    {Removal::kUnlink, "/web/config/ifaces-dsl-conn-data.asp"},
    {Removal::kUnlink, "/web/config/ifaces-dsl-conn.asp"},
    {Removal::kUnlink, "/web/config/ifaces-dsl.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wan.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls-csd.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls-pin.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls-pkt-adv-data.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls-pkt-adv.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls-pkt.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls-sms.asp"},
    {Removal::kUnlink, "/web/config/ifaces-wls.asp"},
    {Removal::kUnlink, "/web/status/ifaces-dsl-data.asp"},
    {Removal::kUnlink, "/web/status/ifaces-dsl.asp"},
    {Removal::kUnlink, "/web/status/ifaces-wls.asp"},
    {Removal::kUnlink, "/web/config/ifaces-gre.asp"},
    {Removal::kUnlink, "/web/config/ifaces-msp-adsl.asp"},
    {Removal::kUnlink, "/web/config/ifaces-msp-csd.asp"},
    {Removal::kUnlink, "/web/config/ifaces-msp-vdsl.asp"},
    {Removal::kUnlink, "/web/config/mgmt-dnp3.asp"},
    {Removal::kUnlink, "/web/config/mgmt-email.asp"},
    {Removal::kUnlink, "/web/config/mgmt-remote-server.asp"},
    {Removal::kUnlink, "/web/config/route-dynamic.asp"},
    {Removal::kUnlink, "/web/config/route-policy.asp"},
    {Removal::kUnlink, "/web/config/route-qos.asp"},
    {Removal::kUnlink, "/web/config/route-vrrp.asp"},
    {Removal::kUnlink, "/web/config/route-vrrp-data.asp"},
    {Removal::kUnlink, "/web/config/serial-server.asp"},
    {Removal::kUnlink, "/web/config/serial-server-pb.asp"},
    {Removal::kUnlink, "/web/config/serial-server-port.asp"},
    {Removal::kUnlink, "/web/config/serial-server-port-js.asp"},
    {Removal::kUnlink, "/web/config/serial-server-port-save.asp"},
    {Removal::kUnlink, "/web/config/sys-gpio-additional-text.asp"},
    {Removal::kUnlink, "/web/config/sys-gpio.asp"},
    {Removal::kUnlink, "/web/config/sys-location.asp"},
    {Removal::kUnlink, "/web/config/sys-power.asp"},
    {Removal::kUnlink, "/web/config/vpn-clients.asp"},
    {Removal::kUnlink, "/web/config/vpn-pptp.asp"},
    {Removal::kUnlink, "/web/status/gpio.asp"},
    {Removal::kUnlink, "/web/status/gre.asp"},
    {Removal::kUnlink, "/web/status/serial-server.asp"},
    {Removal::kUnlink, "/web/json/gps-location.asp"},
    {Removal::kUnlink, "/web/json/scep-request.asp"},
    // Web interface images.
    {Removal::kUnlink, "/web/images/qx-4100.gif"},
    {Removal::kUnlink, "/web/images/qx-4200.gif"},
    {Removal::kUnlink, "/web/images/qx-4300.gif"},
    // Sample routing configurations.
    {Removal::kUnlink, "/usr/etc/bgpd.conf.sample"},
    {Removal::kUnlink, "/usr/etc/bgpd.conf.sample2"},
    {Removal::kUnlink, "/usr/etc/ospfd.conf.sample"},
    {Removal::kUnlink, "/usr/etc/ripd.conf.sample"},
    {Removal::kUnlink, "/usr/etc/zebra.conf.sample"},
    // Programs.
    {Removal::kUnlink, "/usr/bin/msmtp"},
    {Removal::kUnlink, "/usr/sbin/xl2tpd"},
    {Removal::kUnlink, "/usr/sbin/xl2tpd-control"},
    {Removal::kUnlink, "/usr/sbin/pptp"},
    {Removal::kUnlink, "/usr/sbin/pptpsetup"},
    {Removal::kUnlink, "/usr/sbin/sscep"},
    {Removal::kUnlink, "/usr/sbin/diald"},
    {Removal::kUnlink, "/usr/sbin/ip6tables"},
    {Removal::kUnlink, "/usr/sbin/ip6tables-multi"},
    {Removal::kUnlink, "/usr/sbin/ip6tables-save"},
    {Removal::kUnlink, "/usr/sbin/ip6tables-restore"},
    // A newer inadyn replaces the one in /bin.
    {Removal::kSuperseded, "/usr/sbin/inadyn", {"/bin/inadyn"}},
};

inline constexpr RemovalEntry kExtraRemovals[] = {
    {Removal::kShell, "rm -rf /usr/share/glib-2.0"},
    {Removal::kUnlink, "/usr/sbin/tcpdump.4.7.4"},
    {Removal::kUnlink, "/usr/bin/minicom"},
    {Removal::kUnlink, "/usr/bin/rsync"},
    // Older copies of programs and libraries, removed only once the newer copy is present.
    {Removal::kSuperseded, "/usr/bin/openssl", {"/usr/sbin/openssl"}},
    {Removal::kSuperseded, "/usr/lib/libcurl.so.4.6.0", {"/lib/libcurl.so.4.0.0"}},
    {Removal::kSuperseded, "/usr/lib/libcrypto.so.1.0.0", {"/lib/libcrypto.so.0.9.8"}},
    {Removal::kSuperseded, "/usr/lib/libssl.so.1.0.0", {"/lib/libssl.so.0.9.8"}},
    {Removal::kSuperseded, "/usr/lib/libpcap.so.1.7.4", {"/usr/lib/libpcap.so.1.2.1"}},
    {Removal::kSuperseded,
     "/usr/lib/libqmi-glib.so.5.2.0",
     {"/usr/lib/libqmi-glib.so.1", "/usr/lib/libqmi-glib.so.1.3.0"}},
    {Removal::kSuperseded, "/usr/lib/libgio-2.0.so.0.3600.4", {"/usr/lib/libgio-2.0.so.0.3200.4"}},
    {Removal::kSuperseded,
     "/usr/lib/libglib-2.0.so.0.3600.4",
     {"/usr/lib/libglib-2.0.so.0.3200.4"}},
    {Removal::kSuperseded,
     "/usr/lib/libgobject-2.0.so.0.3600.4",
     {"/usr/lib/libgobject-2.0.so.0.3200.4"}},
    {Removal::kNetSnmp, nullptr},
    // The old pppd plug-ins go once a newer pppd's are there.
    {Removal::kEitherOf,
     "/lib/pppd/2.4.8/minconn.so",
     {"/lib/pppd/2.4.7/minconn.so", "rm -rf /lib/pppd/2.4.4/"}},
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

struct SupersededRule {
  std::string tested;
  std::vector<std::string> removed;
};

// The fifteen net-snmp rules in the order they run: base by base, tier by tier.
std::vector<SupersededRule> NetSnmpRules();

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_REMOVAL_TABLES_H_
