#include "sim/host/router_profile.h"

namespace qx::sim::router {

const std::vector<std::string> kServiceNames = {
    "service-manager", "qx_monitor", "rsyslogd", "logrotate", "lldpd",
    "snmpd",           "nvlogger",   "qxsshd",   "sshd",      "dnsmasq",
    "pluto",           "openvpn",    "tcpdump",  "zebra",     "ripd",
    "hostapd",         "inadyn",     "diald",    "pppd",      "vrrpd",
    "l2tpd",           "pptp",       "msmtp",    "msp-telit", "msp-quectel"};

std::vector<std::string> StopListCommands() {
  std::vector<std::string> commands;
  for (const std::string& name : kServiceNames) {
    commands.push_back((commands.empty() ? "pkill -SIGINT " : "pkill -9 ") + name);
  }
  return commands;
}

std::string SweepCommand(std::uint32_t now) {
  std::string command = "find /tmp/ -maxdepth 1 -name \"ud*\"";
  for (const std::uint32_t window : {now / 1000, now / 1000 - 1, now / 1000 + 1}) {
    command += " ! -name \"ud" + std::to_string(window) + "*\"";
  }
  return command + " -exec rm -rf {} \\;";
}

}  // namespace qx::sim::router
