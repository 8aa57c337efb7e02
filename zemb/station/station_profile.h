// A station's profile: what it writes, where from, and which USB port each
// of its slots is. Read whole and checked before anything starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zemb {

struct StationSlotPort {
  std::string slot;
  std::string port;
};

struct StationProfile {
  std::string path;
  std::string sha256;  // of the file's bytes, lower-case hex
  std::string mode;    // "write" or "provision"
  std::string image, config, pool;
  std::vector<StationSlotPort> slots;  // in the file's order
  std::string station, operatorName;
  uint32_t failStreak = 3;
  std::string onPass, onFail;
};

// False with *error set (one sentence naming the file) when the file is
// missing, is not JSON, holds a key the profile does not know or a value of
// the wrong kind, or gives a slot or a port twice.
bool LoadStationProfile(const std::string& path, StationProfile* profile, std::string* error);

// Ports name one socket in any letter case (Windows compares location paths
// so).
bool SamePort(const std::string& a, const std::string& b);

}  // namespace zemb
