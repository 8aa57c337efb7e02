// zemb station: slots bound to USB ports, each unit worked on as it is
// plugged, a result per slot that stands until the unit is removed.
#pragma once

#include "zemb/zemb.h"

namespace zemb {

// `zemb station --profile FILE [--events FILE|-] [--listen ADDRESS:PORT]
// [--token-file FILE]`: argv[1] is "station". Runs until Ctrl-C or "quit"
// on standard input; 0 when every unit it finished passed, 1 when one
// failed, 2 for a bad command line or profile (nothing started).
int RunStation(int argc, const char* const* argv, Host& host, HostFactory makeHost);

// zemb station's help text.
std::string StationHelp();

}  // namespace zemb
