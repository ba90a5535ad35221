// Process-wide set-up of the libraries the spoolers use. libcurl's global
// state and Net-SNMP's library state are not made safely by two threads at
// once, so the process sets them up once, on the main thread, before any
// thread starts. Later calls do nothing.
#pragma once

#include <cstdint>

// curl_global_init; Net-SNMP's library state (without reading its
// configuration files or MIBs, and without its own logging); SIGPIPE ignored,
// so that a peer closing a TLS or SMTP connection cannot end the process
// (children the agent starts get the default action back).
void InitNotifyLibraries();

// Hundredths of a second since InitNotifyLibraries, modulo 2^32: the uptime
// that traps carry (sysUpTime.0).
uint32_t NotifyUptimeTicks();
