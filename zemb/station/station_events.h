// What a station says about its slots, and what its views may ask of it.
// One engine, many views: the terminal view, the JSON-lines file and the
// web page all consume the same events and snapshots; none of them reads the
// engine's insides, and none can slow a slot (a view copies what it needs
// and returns at once).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zemb {

// One change of one slot. Fields that do not apply to an event are empty
// (or -1 for the numbers) and are left out of its JSON.
struct StationEvent {
  uint64_t sequence = 0;  // 1, 2, 3, ... in the order the station emitted them
  std::string time;       // UTC, ISO 8601 with milliseconds: 2026-12-10T15:04:05.123Z
  std::string slot;       // the profile's slot name; empty for a unit on no slot
  std::string port;
  std::string unitId;
  // plugged, started, progress, passed, failed, removed, held, rearmed,
  // hook, foreign (a unit on a port that is no slot), scanned
  std::string event;
  std::string serial, macP, macS;  // MACs as 00-11-22-33-44-55
  int percent = -1;                // progress, 0..100
  std::string reason;              // failed, held, hook (its outcome)
  double seconds = -1;             // passed, failed: how long the unit took
  std::string label;               // scanned: the label a scanner typed
  std::string profileSha256;       // passed, failed: the profile that made the unit
  int hookExit = -1;               // hook: its exit status, when it ended by itself
  std::string output;              // hook: the end of what it wrote
};

// The event as one line of JSON, without the line end.
std::string StationEventJson(const StationEvent& event);

// A slot as a view shows it now.
struct SlotView {
  std::string name;
  std::string port;
  // empty, working, pass, fail, held, foreign (a unit on a port that is no
  // slot; name is then empty)
  std::string state;
  std::string unitId;
  int percent = -1;
  std::string serial, macP, macS;
  std::string reason;
  double seconds = -1;
  std::string label;  // scanned for the unit in the slot, or for the next one
};

// A unit the station finished.
struct FinishedUnit {
  std::string time;  // end, UTC ISO 8601
  std::string slot, port, unitId;
  std::string serial, macP, macS;
  std::string result;  // "pass" or "fail"
  std::string reason;
  double seconds = 0;
  std::string label;
  std::string hook;        // the hook's outcome ("on_pass exit 0"); empty: none ran
  std::string hookOutput;  // the end of what it wrote
  std::string profileSha256, imageSha256;
};

struct StationSnapshot {
  std::string station;  // the station's name
  std::string profileName, profileSha256, operatorName;
  uint64_t passed = 0, failed = 0;
  double unitsPerHour = 0;
  std::vector<SlotView> slots;       // the profile's slots in order, then units on no slot
  std::vector<FinishedUnit> recent;  // the last 50 finished units, newest first
  uint64_t lastSequence = 0;         // the last event reflected in this snapshot
};

// What a view may ask of a running station. Every member is safe to call
// from any thread and returns without waiting for a slot's work.
class StationControl {
 public:
  virtual ~StationControl() = default;
  virtual StationSnapshot Snapshot() = 0;
  // Every unit this run finished, as CSV with a header row.
  virtual std::string UnitsCsv() = 0;
  // Re-arms a held slot; false with *error set when there is no such slot
  // or it is not held.
  virtual bool Rearm(const std::string& slot, std::string* error) = 0;
  // A label for the unit in the slot, or for the next one plugged into it.
  virtual bool Scan(const std::string& slot, const std::string& label, std::string* error) = 0;
  // Calls `listener` with every event from now on, on the station's own
  // thread: it must copy what it needs and return at once. Returns a token
  // for Unsubscribe.
  virtual uint64_t Subscribe(std::function<void(const StationEvent&)> listener) = 0;
  virtual void Unsubscribe(uint64_t token) = 0;
};

}  // namespace zemb
