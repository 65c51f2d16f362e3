// The addresses of free text: syslog, web-server and firewall lines.
#pragma once

#include <string_view>
#include <vector>

#include "text_slot.h"

namespace ipveil::log {

// Appends, in order, the slot of every IPv4 dotted quad and every IPv6 address
// (the forms inet_pton reads) standing on its own in line: also inside
// brackets ("[2001:db8::1]:443"), before a port ("10.0.0.1:80") or a zone
// ("fe80::1%eth0"), which stay outside the slot; a prefix length after it
// ("10.0.0.0/8") is inside, making the slot a subnet. Not found: a longer
// dotted sequence ("1.2.3.4.5"), a quad glued to a letter or digit
// ("v1.2.3.4"), and what only looks like an address ("std::vector",
// "12:34:56").
void findAddresses(std::string_view line, std::vector<TextSlot>& slots);

// The same slots with the addresses and prefix lengths they hold, for the
// mapping step to take without parsing them again.
void findAddresses(std::string_view line, std::vector<ParsedSlot>& slots);

}  // namespace ipveil::log
