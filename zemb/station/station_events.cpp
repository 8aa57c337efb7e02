#include "zemb/station/station_events.h"

#include <nlohmann/json.hpp>

namespace zemb {

std::string StationEventJson(const StationEvent& e) {
  nlohmann::ordered_json j;
  j["seq"] = e.sequence;
  j["time"] = e.time;
  j["slot"] = e.slot;
  j["port"] = e.port;
  if (!e.unitId.empty()) j["unit"] = e.unitId;
  j["event"] = e.event;
  if (!e.serial.empty()) j["serial"] = e.serial;
  if (!e.macP.empty()) j["mac_p"] = e.macP;
  if (!e.macS.empty()) j["mac_s"] = e.macS;
  if (e.percent >= 0) j["percent"] = e.percent;
  if (!e.reason.empty()) j["reason"] = e.reason;
  if (e.seconds >= 0) j["seconds"] = e.seconds;
  if (!e.label.empty()) j["label"] = e.label;
  if (!e.profileSha256.empty()) j["profile_sha256"] = e.profileSha256;
  if (e.event == "hook" && e.hookExit >= 0) j["exit"] = e.hookExit;
  if (!e.output.empty()) j["output"] = e.output;
  // Text from a unit or a hook may hold any byte: never let it stop a line.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace zemb
