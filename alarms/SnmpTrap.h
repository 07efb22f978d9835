#pragma once
// The SNMP route: each alarm as an SNMPv2c trap (net-snmp) to the route's manager, with every
// field of the alarm as a variable of the shipped MIB (packaging/snmp/QTX-AUTOMATION-MIB.txt).
// A trap is one UDP datagram that no one answers: the attempt is over once it is sent, so it
// never waits on the manager. The manager is an address (never a name to look up).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "alarms/AlarmRoutes.h"
#include "alarms/Transfer.h"

namespace qtx::alarms {

// The enterprise number the MIB and the traps are under (set once, in the build).
uint32_t SnmpEnterprise();
// The notification (raised / cleared) and the objects, in the MIB's order, as dotted OIDs.
std::string SnmpTrapOid(AlarmState state);
std::vector<std::string> SnmpObjectOids();

// true for "ADDRESS:PORT", ADDRESS an IPv4 address or an IPv6 one in brackets.
bool IsSnmpManager(const std::string& target);

std::unique_ptr<Transfer> SnmpTransfer(const AlarmRoute& route, const Alarm& alarm);

}  // namespace qtx::alarms
