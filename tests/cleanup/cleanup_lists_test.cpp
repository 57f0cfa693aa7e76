// The two removal lists in simulated devices: exactly the listed paths go, rules fire only on
// a regular newer copy, and nothing outside the lists is touched. The expected paths are
// written here as data, independently of the production tables.
#include <set>
#include <string>
#include <vector>

#include "tests/cleanup/device_fixture.h"

namespace qx::cleanup_test {
namespace {

// Unlinked by the static list: firmware images, programs, web pages, samples, /tmp members.
// clang-format off
const std::vector<std::string> kStaticFiles = {
    "/etc/TOBY-L280-03S_FW15.63_ENG5001_UFWUPD_1K.bin",
    "/etc/TOBY-L201-02S-00_FW09.94_A01.02_IP_UFWUPD_1K.bin",
    "/etc/u-boot-orvel_mkII_release-B00843.sb", "/etc/u-boot-orvel_mkII_release-B00853.sb",
    "/etc/u-boot-orvel_mkII_release-B00889.sb", "/etc/u-boot-orvel_mkII_release-B00893.sb",
    "/etc/u-boot-orvel_mkII_release-B00914.sb", "/etc/u-boot-orvel_mkII_release-B00915.sb",
    "/etc/u-boot-orvel_mkII_release-B00968.sb", "/etc/u-boot-orvel_mkII_release-B00983.sb",
    "/etc/u-boot-orvel_mkII_release-B01166.sb", "/etc/u-boot-orvel_mkII_release-B00717.sb",
    "/etc/u-boot-kelpa_mkII_release-B00717.sb", "/etc/u-boot-vintor_release-B00618.sb",
    "/etc/u-boot-vintor_release-B01205.sb", "/etc/dsl-3.61.img", "/etc/dsl-7.05.img",
    "/etc/dsl-7.70.img", "/etc/adsl_v110_g2_cpe.bin", "/etc/vdsl_v120_g2_cpe.bin",
    "/etc/IV03_20200813_AnnexA.w", "/etc/IV03_20200814_AnnexB.w", "/etc/EmptyHexFile.hex",
    "/etc/SerialBoard.hex", "/etc/SerialBoardMkII.hex", "/etc/BroskV8.bin",
    "/etc/Brosk50MHzV10.bin", "/etc/Brosk72MHzV10.bin", "/etc/Brosk50MHzV11.bin",
    "/etc/Brosk72MHzV11.bin", "/etc/Tolvan50MHzV12.bin", "/etc/Tolvan72MHzV12.bin",
    "/etc/Dervin50MHzV13.bin", "/etc/Dervin72MHzV13.bin", "/etc/VDSLDIN.bin", "/etc/kelpa.hex",
    "/etc/KelpaMkII.hex", "/etc/Quennet.hex", "/etc/OrvelMkII.hex", "/etc/PirrikMkII.hex",
    "/etc/PirrikRev2.hex", "/etc/Dervin.hex", "/etc/morvo.hex", "/etc/MorvoRev2.hex",
    "/etc/MorvoRev3.hex", "/etc/KelpaMkIIV14.hex", "/etc/KelpaMkIIV15.hex",
    "/etc/Tolvan32VLH5V16.bin", "/etc/Tolvan128VLH5V16.bin", "/etc/Tolvan128VLH7V16.bin",
    "/etc/tandle_rev3_firmware_v49.hex", "/etc/tandle_rev2_firmware_v49.hex",
    "/lib/firmware/OrvelMkII.elf", "/lib/firmware/OrvelMkIIBootloader.elf",
    "/lib/firmware/OrvelMkIIBootloaderV14.elf", "/lib/firmware/OrvelMkIIBootloaderV15.elf",
    "/lib/firmware/Quennet.elf", "/lib/firmware/QuennetBootloader.elf", "/usr/bin/msp-option",
    "/usr/bin/msp-ublox", "/usr/bin/msp-aztech", "/usr/bin/msp-broadcom", "/usr/bin/msp-triductor",
    "/usr/bin/msp-quectel", "/usr/bin/stm32_programmer", "/tmp/filesystem.db", "/tmp/fs-validator",
    "/web/config/dsl-upgrade.asp", "/web/config/ifaces-dmz.asp",
    "/web/config/ifaces-dsl-conn-data-def.asp", "/web/config/ifaces-dsl-conn-data-inc.asp",
    "/web/config/ifaces-dsl-conn-data.asp", "/web/config/ifaces-dsl-conn.asp",
    "/web/config/ifaces-dsl.asp", "/web/config/ifaces-wan.asp", "/web/config/ifaces-wls-csd.asp",
    "/web/config/ifaces-wls-pin.asp", "/web/config/ifaces-wls-pkt-adv-data.asp",
    "/web/config/ifaces-wls-pkt-adv.asp", "/web/config/ifaces-wls-pkt.asp",
    "/web/config/ifaces-wls-sms.asp", "/web/config/ifaces-wls.asp",
    "/web/status/ifaces-dsl-data.asp", "/web/status/ifaces-dsl.asp", "/web/status/ifaces-wls.asp",
    "/web/config/ifaces-gre.asp", "/web/config/ifaces-msp-adsl.asp",
    "/web/config/ifaces-msp-csd.asp", "/web/config/ifaces-msp-vdsl.asp",
    "/web/config/mgmt-dnp3.asp", "/web/config/mgmt-email.asp",
    "/web/config/mgmt-remote-server.asp", "/web/config/route-dynamic.asp",
    "/web/config/route-policy.asp", "/web/config/route-qos.asp", "/web/config/route-vrrp.asp",
    "/web/config/route-vrrp-data.asp", "/web/config/serial-server.asp",
    "/web/config/serial-server-pb.asp", "/web/config/serial-server-port.asp",
    "/web/config/serial-server-port-js.asp", "/web/config/serial-server-port-save.asp",
    "/web/config/sys-gpio-additional-text.asp", "/web/config/sys-gpio.asp",
    "/web/config/sys-location.asp", "/web/config/sys-power.asp", "/web/config/vpn-clients.asp",
    "/web/config/vpn-pptp.asp", "/web/status/gpio.asp", "/web/status/gre.asp",
    "/web/status/serial-server.asp", "/web/json/gps-location.asp", "/web/json/scep-request.asp",
    "/web/images/qx-4100.gif", "/web/images/qx-4200.gif", "/web/images/qx-4300.gif",
    "/usr/etc/bgpd.conf.sample", "/usr/etc/bgpd.conf.sample2", "/usr/etc/ospfd.conf.sample",
    "/usr/etc/ripd.conf.sample", "/usr/etc/zebra.conf.sample", "/usr/bin/msmtp",
    "/usr/sbin/xl2tpd", "/usr/sbin/xl2tpd-control", "/usr/sbin/pptp", "/usr/sbin/pptpsetup",
    "/usr/sbin/sscep", "/usr/sbin/diald", "/usr/sbin/ip6tables", "/usr/sbin/ip6tables-multi",
    "/usr/sbin/ip6tables-save", "/usr/sbin/ip6tables-restore",
};
// clang-format on
// Directories removed with their contents, by the static list and then the extra list.
const std::vector<std::string> kRemovedTrees = {"/usr/share/gtk-doc",
                                                "/usr/share/info",
                                                "/usr/local/share/doc/openswan",
                                                "/etc/ipsec.d/examples",
                                                "/share/man",
                                                "/usr/local/man",
                                                "/share/doc",
                                                "/usr/share/glib-2.0"};
const std::vector<std::string> kExtraFiles = {"/usr/sbin/tcpdump.4.7.4", "/usr/bin/minicom",
                                              "/usr/bin/rsync"};
struct Pair {
  std::string newer;
  std::vector<std::string> older;
};
const std::vector<Pair> kSuperseded = {
    {"/usr/sbin/inadyn", {"/bin/inadyn"}},
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
const std::vector<std::string> kNetSnmpBases = {"libnetsnmpmibs", "libnetsnmp", "libnetsnmpagent",
                                                "libnetsnmphelpers", "libnetsnmptrapd"};
std::string Lib(const std::string& base, const std::string& release) {
  return "/usr/lib/" + base + ".so." + release;
}

class RemovalListsTest : public DeviceTest {
 protected:
  // Runs both lists; checks that the tree lost exactly `removed` and the commands run.
  void RunLists(const sim::DeviceSpec& spec, const std::set<std::string>& removed,
                std::vector<std::string> extra_commands) {
    std::unique_ptr<sim::Device> device = Create(spec);
    ASSERT_NE(nullptr, device);
    const std::set<std::string> before = Tree(*device);
    for (const std::string& path : removed)
      EXPECT_EQ(1u, before.count(path)) << "not set up: " << path;
    const sim::RunResult run = Probe(*device, {"static", "extra"});
    std::vector<std::string> commands = kStaticCommands;
    commands.push_back("rm -rf /usr/share/glib-2.0");
    commands.insert(commands.end(), extra_commands.begin(), extra_commands.end());
    EXPECT_EQ(commands, run.trace);
    const std::set<std::string> after = Tree(*device);
    std::set<std::string> lost;
    for (const std::string& path : before) {
      if (after.count(path) == 0) lost.insert(path);
    }
    EXPECT_EQ(removed, lost);
    for (const std::string& path : after) EXPECT_EQ(1u, before.count(path)) << "created: " << path;
    EXPECT_TRUE(LogMessages(*device).empty());
  }
};

TEST_F(RemovalListsTest, DeviceHoldingEveryListedPathLosesExactlyThose) {
  sim::DeviceSpec spec = BaseSpec();
  std::set<std::string> removed;
  auto add = [&](const std::string& path, bool goes) {
    spec.files.push_back(SizedFile(path, 100));
    if (goes) removed.insert(path);
  };
  for (const std::string& path : kStaticFiles) add(path, true);
  for (const std::string& path : kExtraFiles) add(path, true);
  for (const std::string& tree : kRemovedTrees) {
    add(tree + "/sub/file", true);
    removed.insert({tree + "/", tree + "/sub/"});
  }
  for (const Pair& pair : kSuperseded) {
    add(pair.newer, false);
    for (const std::string& older : pair.older) add(older, true);
  }
  // Every release of every net-snmp library: the 40 release supersedes all the others.
  for (const std::string& base : kNetSnmpBases) {
    for (const char* release : {"40.0.0", "40"}) add(Lib(base, release), false);
    for (const char* release : {"35.0.0", "35", "30.0.3", "30", "15.1.3", "15"}) {
      add(Lib(base, release), true);
    }
  }
  add("/lib/pppd/2.4.8/minconn.so", false);
  add("/lib/pppd/2.4.7/minconn.so", false);
  add("/lib/pppd/2.4.4/minconn.so", true);
  removed.insert("/lib/pppd/2.4.4/");
  // Neighbours of listed paths.
  for (const char* path :
       {"/etc/dsl-3.62.img", "/usr/share/gtk-doc-2/file", "/etc/ipsec.d/policies",
        "/usr/local/share/doc/other", "/web/config/ifaces-lan.asp", "/lib/pppd/2.4.5/minconn.so",
        "/tmp/filesystem.db.keep"}) {
    add(path, false);
  }
  RunLists(spec, removed, {"rm -rf /lib/pppd/2.4.4/"});
}

// A newer copy counts only when it is a regular file after following links.
TEST_F(RemovalListsTest, RulesFireOnlyOnARegularNewerCopy) {
  sim::DeviceSpec spec = BaseSpec();
  std::set<std::string> removed;
  auto add = [&](const std::string& path, bool goes) {
    spec.files.push_back(SizedFile(path, 100));
    if (goes) removed.insert(path);
  };
  add("/usr/sbin/inadyn-2.9", false);
  spec.symlinks.push_back({"/usr/sbin/inadyn", "inadyn-2.9"});  // a link to a file: counts
  add("/bin/inadyn", true);
  spec.directories.push_back("/usr/bin/openssl");  // a directory: counts as absent
  add("/usr/sbin/openssl", false);
  spec.symlinks.push_back({"/usr/lib/libcurl.so.4.6.0", "libcurl.so.gone"});  // dangling
  add("/lib/libcurl.so.4.0.0", false);
  add("/lib/libcrypto.so.0.9.8", false);  // newer copy absent
  add("/usr/lib/libqmi-glib.so.5.2.0", false);
  add("/usr/lib/libqmi-glib.so.1", true);
  add("/usr/lib/libqmi-glib.so.1.3.0", true);
  // net-snmp tiers: 40 present; 30 only; 35 only; no tested release; 40 as a directory.
  const struct {
    const char* base;
    std::vector<const char*> staying, going;
  } kTiers[] = {
      {"libnetsnmpmibs", {"40.0.0"}, {"35.0.0", "35", "30.0.3", "30", "15.1.3", "15"}},
      {"libnetsnmp", {"30.0.3", "35"}, {"15.1.3", "15"}},
      {"libnetsnmpagent", {"35.0.0", "40"}, {"30.0.3", "30", "15.1.3", "15"}},
      {"libnetsnmphelpers", {"30", "15.1.3", "15", "35"}, {}},
      {"libnetsnmptrapd", {"35", "30", "15"}, {}},
  };
  for (const auto& tier : kTiers) {
    for (const char* release : tier.staying) add(Lib(tier.base, release), false);
    for (const char* release : tier.going) add(Lib(tier.base, release), true);
  }
  spec.directories.push_back(Lib("libnetsnmptrapd", "40.0.0"));
  // Only the older pppd plug-in: either one lets the oldest directory go.
  add("/lib/pppd/2.4.7/minconn.so", false);
  add("/lib/pppd/2.4.4/minconn.so", true);
  removed.insert("/lib/pppd/2.4.4/");
  RunLists(spec, removed, {"rm -rf /lib/pppd/2.4.4/"});
}

TEST_F(RemovalListsTest, DeviceWithoutListedPathsKeepsEverything) {
  sim::DeviceSpec spec = BaseSpec();
  spec.files.push_back(SizedFile("/lib/pppd/2.4.4/minconn.so", 100));
  spec.directories.push_back("/lib/pppd/2.4.8/minconn.so");  // not a plug-in file
  spec.symlinks.push_back({"/lib/pppd/2.4.7/minconn.so", "nowhere.so"});
  spec.files.push_back(SizedFile("/usr/lib/libnetsnmp.so.15", 100));
  RunLists(spec, {}, {});
}

}  // namespace
}  // namespace qx::cleanup_test
