// A station without units: the page's tests say what happened to a slot
// and this keeps the snapshot, the record and the listeners the way a
// station does (its state changed before its listeners hear of it, and
// listeners called with its lock held, so a view that waits on the station
// from inside a listener deadlocks here as it would there).
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zemb/station/station_events.h"

namespace zemb::testing {

class FakeStation : public StationControl {
 public:
  explicit FakeStation(const std::vector<std::string>& slots) {
    snapshot_.station = "bench-3";
    snapshot_.profileName = "line-a.json";
    snapshot_.profileSha256 = "5f7c1e1d0b2a4c3e9f8d7c6b5a4938271605f4e3d2c1b0a9f8e7d6c5b4a39281";
    snapshot_.operatorName = "Dana";
    for (const std::string& name : slots) {
      SlotView view;
      view.name = name;
      view.port = "1-1." + std::to_string(snapshot_.slots.size() + 1);
      view.state = "empty";
      snapshot_.slots.push_back(view);
    }
  }

  StationSnapshot Snapshot() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++snapshots_;
    return snapshot_;
  }

  std::string UnitsCsv() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string csv = "time,slot,port,unit,serial,mac_p,mac_s,result,reason,seconds,label\n";
    for (const FinishedUnit& u : record_) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.1f", u.seconds);
      csv += u.time + "," + u.slot + "," + u.port + "," + u.unitId + "," + u.serial + "," + u.macP +
             "," + u.macS + "," + u.result + "," + u.reason + "," + seconds + "," + u.label + "\n";
    }
    return csv;
  }

  bool Rearm(const std::string& slot, std::string* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      SlotView* view = Find(slot);
      if (!view || view->state != "held") {
        *error = view ? "slot " + slot + " is not held" : "no slot " + slot;
        return false;
      }
      changes_.push_back("rearm " + slot);
    }
    StationEvent event;
    event.slot = slot;
    event.event = "rearmed";
    Emit(event);
    return true;
  }

  bool Scan(const std::string& slot, const std::string& label, std::string* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!Find(slot)) {
        *error = "no slot " + slot;
        return false;
      }
      changes_.push_back("scan " + slot + " " + label);
    }
    StationEvent event;
    event.slot = slot;
    event.event = "scanned";
    event.label = label;
    Emit(event);
    return true;
  }

  uint64_t Subscribe(std::function<void(const StationEvent&)> listener) override {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_[++lastToken_] = std::move(listener);
    return lastToken_;
  }

  void Unsubscribe(uint64_t token) override {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.erase(token);
  }

  // Numbers the event, applies it to the snapshot and the record, and tells
  // every listener, all under the station's lock.
  void Emit(StationEvent event) {
    std::lock_guard<std::mutex> lock(mutex_);
    event.sequence = ++snapshot_.lastSequence;
    event.time = Now();
    SlotView* view = Find(event.slot);
    if (!view && event.slot.empty() && event.event != "removed") {
      snapshot_.slots.push_back(SlotView{});
      view = &snapshot_.slots.back();
      view->port = event.port;
      view->state = "foreign";
    } else if (!view && event.slot.empty()) {
      for (size_t i = 0; i < snapshot_.slots.size(); ++i) {
        if (snapshot_.slots[i].name.empty() && snapshot_.slots[i].port == event.port) {
          snapshot_.slots.erase(snapshot_.slots.begin() + static_cast<long>(i));
          break;
        }
      }
    }
    if (view && !event.slot.empty()) {
      if (event.port.empty()) event.port = view->port;
      Apply(*view, event);
    }
    for (auto& [token, listener] : listeners_) listener(event);
  }

  std::vector<std::string> Changes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }

  int Listeners() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(listeners_.size());
  }

 private:
  SlotView* Find(const std::string& slot) {
    if (slot.empty()) return nullptr;
    for (SlotView& view : snapshot_.slots) {
      if (view.name == slot) return &view;
    }
    return nullptr;
  }

  void Apply(SlotView& view, const StationEvent& e) {
    if (!e.unitId.empty()) view.unitId = e.unitId;
    const std::string& what = e.event;
    if (what == "plugged" && view.state == "empty") {
      view.state = "working";
      view.percent = 0;
    } else if (what == "started" || what == "progress") {
      view.state = "working";
      view.percent = e.percent < 0 ? 0 : e.percent;
      if (what == "started") view.serial = view.macP = view.macS = view.reason = "";
    } else if (what == "passed" || what == "failed") {
      bool passed = what == "passed";
      view.state = passed ? "pass" : "fail";
      view.percent = -1;
      view.serial = e.serial;
      view.macP = e.macP;
      view.macS = e.macS;
      view.reason = e.reason;
      view.seconds = e.seconds;
      FinishedUnit unit{e.time,   view.name, view.port, view.unitId,
                        e.serial, e.macP,    e.macS,    passed ? "pass" : "fail",
                        e.reason, e.seconds, view.label};
      record_.push_back(unit);
      snapshot_.recent.insert(snapshot_.recent.begin(), unit);
      if (snapshot_.recent.size() > 50) snapshot_.recent.pop_back();
      (passed ? snapshot_.passed : snapshot_.failed) += 1;
      snapshot_.unitsPerHour = 3600.0 * static_cast<double>(snapshot_.passed) / 600.0;
    } else if (what == "held") {
      view.state = "held";
      view.reason = e.reason;
    } else if (what == "rearmed") {
      view.state = "empty";
      view.reason = "";
    } else if (what == "removed" && view.state != "held") {
      SlotView empty;
      empty.name = view.name;
      empty.port = view.port;
      empty.state = "empty";
      view = empty;
    } else if (what == "scanned") {
      view.label = e.label;
      if (view.state == "pass" || view.state == "fail") {
        for (auto* units : {&record_, &snapshot_.recent}) {
          for (FinishedUnit& unit : *units) {
            if (unit.slot == view.name && unit.unitId == view.unitId) unit.label = e.label;
          }
        }
      }
    }
  }

  static std::string Now() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis.count()));
    return text;
  }

  std::mutex mutex_;
  StationSnapshot snapshot_;
  std::vector<FinishedUnit> record_;
  std::vector<std::string> changes_;
  std::map<uint64_t, std::function<void(const StationEvent&)>> listeners_;
  uint64_t lastToken_ = 0;
  int snapshots_ = 0;
};

}  // namespace zemb::testing
