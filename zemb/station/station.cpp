// The station's engine: one thread looks at the ports, runs the slots'
// state machines, emits every change as an event and draws the view; each
// unit is worked on by a worker thread with a host of its own, so a slot
// that fails, hangs or waits on its hook holds no other.
#include "zemb/station/station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "common/device/unit_list.h"
#include "common/rom/rom_config.h"
#include "zemb/provision.h"
#include "zemb/sha256.h"
#include "zemb/station/station_events.h"
#include "zemb/station/station_profile.h"
#include "zemb/station/station_scan.h"
#include "zemb/web/station_page.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kHookTimeoutMs = 30000;
constexpr auto kPollInterval = std::chrono::milliseconds(200);
constexpr size_t kRecentUnits = 50;

// One line of text: a reason may carry a unit's several error lines.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ';';
  }
  return text;
}

// A CSV field, quoted when it must be.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// What became of a hook: "exit 3", "killed after 30 s", "not started: ...".
std::string HookOutcome(const ShellResult& hook) {
  if (!hook.started) return "not started: " + hook.error;
  if (hook.timedOut) return Format("killed after %u s", kHookTimeoutMs / 1000);
  return Format("exit %d", hook.exitStatus);
}

// The hook's outcome as the pool keeps it: one line, with the end of what
// the hook wrote.
std::string PooledHook(const std::string& outcome, const std::string& output) {
  constexpr size_t kKept = 1500;
  size_t from = output.size() > kKept ? output.size() - kKept : 0;
  while (from < output.size() && (static_cast<uint8_t>(output[from]) & 0xC0) == 0x80) ++from;
  const std::string end = OneLine(output.substr(from));
  return end.empty() ? outcome : outcome + "; output: " + end;
}

// Commands for the engine's thread: from standard input's reader (which may
// outlive the station, blocked on a read) and from the page.
struct CommandQueue {
  std::mutex mutex;
  std::deque<std::string> lines;
  void Push(const std::string& line) {
    std::lock_guard<std::mutex> hold(mutex);
    lines.push_back(line);
  }
  std::deque<std::string> Take() {
    std::lock_guard<std::mutex> hold(mutex);
    std::deque<std::string> taken;
    taken.swap(lines);
    return taken;
  }
};

// One unit's work, on a thread of its own with a host of its own.
struct Worker {
  UnitTarget target;
  UnitSink sink;
  std::thread thread;
  std::atomic<bool> resultReady{false};  // the unit is done; its hook may still run
  std::atomic<bool> done{false};         // the hook too
  int status = kExitFailed;
  std::string reason;
  double seconds = 0;
  std::string serial, macP, macS;
  ShellResult hook;
  bool hookRan = false;
  bool removedDuringWork = false;  // set by the engine before the result is read
  std::string label;               // scanned for the unit before it started
  size_t record = 0;               // its line in the station's record, once finished
  UnitRecord pooled;               // the pool's finished record of it (provision)
  std::string poolHookError;       // why the pool did not take the hook's outcome
  std::string poolHookSpooled;     // why it waits in the spool instead
};

struct Slot {
  std::string name;  // empty: a unit on a port that is no slot
  std::string port;
  std::string state = "empty";  // empty, working, pass, fail, held, foreign
  bool held = false;
  uint32_t failStreak = 0;
  // The unit in the port, while there is one.
  bool present = false;
  PluggedUnit unit;
  bool worked = false;  // the present unit has been worked on
  std::unique_ptr<Worker> worker;
  int lastPercent = -1;
  std::string serial, macP, macS, reason, label, nextLabel;
  double seconds = -1;
  int percent = -1;
  bool resultShown = false;
};

class Station final : public StationControl {
 public:
  // `provision`: the pool's inputs, checked (null in mode write).
  Station(Host& host, HostFactory makeHost, StationProfile profile, const ZembOptions& options,
          std::string imageSha256, uint8_t romType, RomParameter rom,
          const ProvisionInputs* provision, std::FILE* events)
      : host_(host),
        makeHost_(makeHost),
        profile_(std::move(profile)),
        options_(options),
        imageSha256_(std::move(imageSha256)),
        romType_(romType),
        rom_(rom),
        provision_(provision),
        events_(events),
        scanner_(makeHost) {
    for (const StationSlotPort& s : profile_.slots) {
      auto slot = std::make_unique<Slot>();
      slot->name = s.slot;
      slot->port = s.port;
      slots_.push_back(std::move(slot));
    }
  }

  int Run();

  // --- StationControl ---
  StationSnapshot Snapshot() override;
  std::string UnitsCsv() override;
  bool Rearm(const std::string& slot, std::string* error) override;
  bool Scan(const std::string& slot, const std::string& label, std::string* error) override;
  uint64_t Subscribe(std::function<void(const StationEvent&)> listener) override;
  void Unsubscribe(uint64_t token) override;

  // Words from standard input, one command a line.
  void Command(const std::string& line) { commands_->Push(line); }
  std::shared_ptr<CommandQueue> Commands() { return commands_; }

 private:
  void Emit(StationEvent event);
  StationEvent EventOf(const Slot& slot, const char* name) const;
  void Look();              // the ports, and what changed
  void Tend(Slot& slot);    // one slot's work
  void Start(Slot& slot);   // a worker for the slot's unit
  void Finish(Slot& slot);  // the worker's result
  void Settle(Slot& slot);  // the worker's hook, and its record
  void RunWorker(Worker& worker);
  void DrawView(bool force);
  // A line of the station's own on standard error, above the view.
  void Say(const std::string& line);
  void PlainLine(const StationEvent& e);
  Slot* SlotNamed(const std::string& name);
  bool AnyWorking() const;

  Host& host_;
  HostFactory makeHost_;
  const StationProfile profile_;
  const ZembOptions options_;
  const std::string imageSha256_;
  const uint8_t romType_;
  const RomParameter rom_;
  const ProvisionInputs* provision_;
  std::FILE* events_;
  PlugScanner scanner_;
  std::atomic<bool> stopping_{false};
  bool terminal_ = false;
  size_t drawnLines_ = 0;
  SteadyClock::time_point lastDraw_{};
  SteadyClock::time_point firstStart_{};
  bool anyStarted_ = false;

  // Everything a view may read, under one lock; changed only by the
  // engine's thread.
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Slot>> slots_;  // the profile's slots, then foreign units
  std::deque<FinishedUnit> finished_;         // every unit of this run, oldest first
  uint64_t passed_ = 0, failed_ = 0;
  uint64_t sequence_ = 0;

  std::shared_ptr<CommandQueue> commands_ = std::make_shared<CommandQueue>();

  std::mutex listenerMutex_;
  std::map<uint64_t, std::function<void(const StationEvent&)>> listeners_;
  uint64_t nextToken_ = 1;
};

Slot* Station::SlotNamed(const std::string& name) {
  for (auto& slot : slots_) {
    if (!slot->name.empty() && slot->name == name) return slot.get();
  }
  return nullptr;
}

bool Station::AnyWorking() const {
  return std::any_of(slots_.begin(), slots_.end(),
                     [](const auto& s) { return s->worker != nullptr; });
}

StationEvent Station::EventOf(const Slot& slot, const char* name) const {
  StationEvent e;
  e.slot = slot.name;
  e.port = slot.port;
  e.unitId = slot.unit.id;
  e.event = name;
  return e;
}

void Station::Emit(StationEvent event) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    event.sequence = ++sequence_;
  }
  if (event.time.empty()) event.time = UtcNow(true);
  if (events_ != nullptr) {
    const std::string line = StationEventJson(event) + "\n";
    std::fwrite(line.data(), 1, line.size(), events_);
    std::fflush(events_);
  }
  if (!terminal_) PlainLine(event);
  std::lock_guard<std::mutex> hold(listenerMutex_);
  for (auto& [token, listener] : listeners_) listener(event);
}

void Station::PlainLine(const StationEvent& e) {
  if (e.event == "progress") return;  // the events file has them; a log needs no 10 lines a unit
  std::string line = e.time.substr(11, 8) + "  ";
  line += e.slot.empty() ? "port " + e.port : "slot " + e.slot + " (port " + e.port + ")";
  line += ": " + e.event;
  if (!e.unitId.empty()) line += " unit " + e.unitId;
  if (!e.serial.empty()) line += " serial " + e.serial;
  if (e.seconds >= 0) line += Format(" in %.1f s", e.seconds);
  if (!e.reason.empty()) line += ": " + e.reason;
  host_.WriteStderr(OneLine(line) + "\n");
}

void Station::DrawView(bool force) {
  if (!terminal_) return;
  const SteadyClock::time_point now = SteadyClock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(250)) return;
  lastDraw_ = now;
  const StationSnapshot snap = Snapshot();
  std::string frame;
  if (drawnLines_ > 0) frame += Format("\x1b[%uA", static_cast<unsigned>(drawnLines_));
  for (const SlotView& v : snap.slots) {
    std::string what;
    if (v.state == "working") {
      what = v.percent >= 0 ? Format("%3d%%", v.percent) : "   -";
    } else if (v.seconds >= 0) {
      what = Format("%.1f s", v.seconds);
    }
    std::string line =
        Format("%-10s %-8s %-7s %-14s %-8s %s",
               v.name.empty() ? ("(" + v.port + ")").c_str() : v.name.c_str(), v.state.c_str(),
               v.unitId.empty() ? "-" : v.unitId.c_str(), v.serial.empty() ? "-" : v.serial.c_str(),
               what.c_str(), v.reason.c_str());
    if (line.size() > 150) line.resize(150);
    frame += "\r" + OneLine(line) + "\x1b[K\n";
  }
  frame += Format("\rpassed %llu  failed %llu  %.0f units/h\x1b[K\n",
                  static_cast<unsigned long long>(snap.passed),
                  static_cast<unsigned long long>(snap.failed), snap.unitsPerHour);
  drawnLines_ = snap.slots.size() + 1;
  host_.WriteStderr(frame);
}

void Station::Say(const std::string& line) {
  std::string text;
  if (terminal_ && drawnLines_ > 0) {
    text = Format("\x1b[%uA\r\x1b[J", static_cast<unsigned>(drawnLines_));
    drawnLines_ = 0;
  }
  host_.WriteStderr(text + line + "\n");
  DrawView(true);
}

void Station::Look() {
  std::vector<PluggedUnit> units;
  if (!scanner_.Scan(&units)) return;
  // Units gone from their ports.
  for (auto& slot : slots_) {
    if (!slot->present) continue;
    // The same port and path may hold another unit by now, or the same
    // unit plugged again: the host's plugging tells them apart.
    const bool still = std::any_of(units.begin(), units.end(), [&](const PluggedUnit& u) {
      return u.key == slot->unit.key && u.devicePath == slot->unit.devicePath &&
             u.plug == slot->unit.plug;
    });
    if (still) continue;
    if (slot->worker != nullptr && !slot->worker->resultReady)
      slot->worker->removedDuringWork = true;
    Emit(EventOf(*slot, "removed"));
    std::lock_guard<std::mutex> hold(mutex_);
    slot->present = false;
    slot->worked = false;
    slot->unit = PluggedUnit{};
    if (slot->worker == nullptr || slot->worker->resultReady) {
      slot->state = slot->held ? "held" : "empty";
      slot->serial = slot->macP = slot->macS = slot->reason = "";
      slot->seconds = -1;
      slot->percent = -1;
      slot->label = slot->nextLabel;
      slot->nextLabel.clear();
    }
  }
  // A foreign unit that left takes its line with it.
  {
    std::lock_guard<std::mutex> hold(mutex_);
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                [](const auto& s) {
                                  return s->name.empty() && !s->present && s->worker == nullptr;
                                }),
                 slots_.end());
  }
  // Units that arrived.
  for (const PluggedUnit& u : units) {
    Slot* slot = nullptr;
    for (auto& s : slots_) {
      if ((s->present && s->unit.key == u.key) ||
          (!s->name.empty() && !u.port.empty() && SamePort(s->port, u.port))) {
        slot = s.get();
        break;
      }
    }
    if (slot != nullptr && slot->present) continue;  // seen before
    if (slot == nullptr) {
      auto foreign = std::make_unique<Slot>();
      foreign->port = u.port.empty() ? u.devicePath : u.port;
      foreign->state = "foreign";
      foreign->present = true;
      foreign->unit = u;
      foreign->worked = true;  // never touched
      Slot& f = *foreign;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        slots_.push_back(std::move(foreign));
      }
      Emit(EventOf(f, "foreign"));
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      slot->present = true;
      slot->worked = false;
      slot->unit = u;
    }
    Emit(EventOf(*slot, "plugged"));
  }
}

void Station::Start(Slot& slot) {
  auto worker = std::make_unique<Worker>();
  worker->target.face = slot.unit.face;
  worker->target.devicePath = slot.unit.devicePath;
  worker->target.id = slot.unit.id;
  worker->target.port = slot.unit.port;
  worker->sink.stop = &stopping_;
  Worker* w = worker.get();
  w->label = slot.nextLabel.empty() ? slot.label : slot.nextLabel;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    slot.worker = std::move(worker);
    slot.worked = true;
    if (!anyStarted_) {
      anyStarted_ = true;
      firstStart_ = SteadyClock::now();
    }
    slot.state = "working";
    slot.percent = 0;
    slot.lastPercent = 0;
    slot.serial = slot.macP = slot.macS = slot.reason = "";
    slot.seconds = -1;
    slot.resultShown = false;
    if (!slot.nextLabel.empty()) {
      slot.label = slot.nextLabel;
      slot.nextLabel.clear();
    }
  }
  Emit(EventOf(slot, "started"));
  w->thread = std::thread([this, w] { RunWorker(*w); });
}

void Station::RunWorker(Worker& w) {
  const SteadyClock::time_point start = SteadyClock::now();
  std::unique_ptr<Host> own;
  try {
    own = makeHost_();
    if (own == nullptr) throw std::runtime_error("no host could be made");
    ZembRun run(*own, options_);
    run.romType = romType_;
    run.rom = rom_;
    run.target = &w.target;
    run.sink = &w.sink;
    struct Release {
      ZembRun& run;
      ~Release() { run.session.Release(); }
    } release{run};
    if (provision_ != nullptr) {
      // A store serves one thread: the worker opens the pool again.
      PoolError why;
      std::unique_ptr<PoolStore> store = OpenPoolAgain(*provision_, &why);
      if (store == nullptr) {
        w.status = ExitStatusOf(why.kind);
        run.lastError = "the pool cannot be opened: " + why.text;
      } else {
        UnitFacts facts;
        facts.station = profile_.station;
        facts.operatorName = profile_.operatorName;
        facts.profileSha256 = profile_.sha256;
        facts.label = w.label;
        UnitRecord record;
        w.status = ProvisionUnit(run, *provision_, *store, facts, &record);
        if (record.state != UnitState::Reserved) w.pooled = record;
        if (!record.serial.empty()) {
          w.sink.SetSerial(record.serial);
          w.sink.SetMacs(record.macP, record.macS);
        }
      }
    } else {
      w.status = ZembWrite(run);
    }
    w.reason = run.lastError;
    std::string notes;
    {
      std::lock_guard<std::mutex> hold(w.sink.mutex);
      notes = w.sink.err;
      w.serial = w.sink.serial;
      w.macP = w.sink.macP;
      w.macS = w.sink.macS;
    }
    // Where the ROM stands after a write that stopped: the lines after the
    // error say it.
    if (w.status != kExitOk) {
      std::string where;
      size_t from = 0;
      while (from < notes.size()) {
        const size_t end = notes.find('\n', from);
        const std::string line = notes.substr(from, end == std::string::npos ? end : end - from);
        if (!line.empty() && line.rfind("error: ", 0) != 0) where += "; " + line;
        if (end == std::string::npos) break;
        from = end + 1;
      }
      w.reason = OneLine(w.reason + where);
    }
  } catch (const std::exception& e) {
    w.status = kExitFailed;
    w.reason = std::string("the unit's worker stopped: ") + e.what();
  } catch (...) {
    w.status = kExitFailed;
    w.reason = "the unit's worker stopped on an unknown exception";
  }
  w.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  w.resultReady = true;
}

void Station::Finish(Slot& slot) {
  Worker& w = *slot.worker;
  const bool passed = w.status == kExitOk;
  if (!passed && (w.removedDuringWork || !slot.present)) {
    w.reason = "the unit was removed during its write: " + w.reason;
  }
  StationEvent e = EventOf(slot, passed ? "passed" : "failed");
  e.unitId = w.target.id;
  e.profileSha256 = profile_.sha256;
  e.serial = w.serial;
  e.macP = w.macP;
  e.macS = w.macS;
  e.seconds = w.seconds;
  e.reason = passed ? "" : w.reason;
  e.label = slot.label;
  bool nowHeld = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    slot.resultShown = true;
    slot.serial = w.serial;
    slot.macP = w.macP;
    slot.macS = w.macS;
    slot.seconds = w.seconds;
    slot.percent = passed ? 100 : slot.percent;
    slot.reason = e.reason;
    if (passed) {
      ++passed_;
      slot.failStreak = 0;
    } else {
      ++failed_;
      nowHeld = !slot.name.empty() && ++slot.failStreak >= profile_.failStreak;
      slot.held = slot.held || nowHeld;
    }
    slot.state = slot.held && !passed ? "held" : !slot.present ? "empty" : passed ? "pass" : "fail";
    if (nowHeld) slot.reason += "; check this slot";
    // Recorded before it is told, so a view that hears of the unit finds it
    // in the record; the hook's outcome joins the record when it ends.
    FinishedUnit record;
    record.time = UtcNow(true);
    record.slot = slot.name;
    record.port = slot.port;
    record.unitId = w.target.id;
    record.serial = w.serial;
    record.macP = w.macP;
    record.macS = w.macS;
    record.result = passed ? "pass" : "fail";
    record.reason = e.reason;
    record.seconds = w.seconds;
    record.label = slot.label;
    record.profileSha256 = profile_.sha256;
    record.imageSha256 = imageSha256_;
    e.time = record.time;  // a view matches the record to the event by it
    w.record = finished_.size();
    finished_.push_back(std::move(record));
  }
  Emit(e);
  if (nowHeld) {
    StationEvent h = EventOf(slot, "held");
    h.unitId = w.target.id;
    h.reason = Format("check this slot: %u failures in a row", slot.failStreak);
    Emit(h);
  }
  // The hook runs in the worker's thread, after the result is out.
  const std::string command = passed ? profile_.onPass : profile_.onFail;
  if (w.thread.joinable()) w.thread.join();
  if (command.empty()) {
    w.done = true;
    return;
  }
  const ShellEnvironment environment = {
      {"ZEMB_SLOT", slot.name},  {"ZEMB_PORT", slot.port},
      {"ZEMB_SERIAL", w.serial}, {"ZEMB_MAC_P", w.macP},
      {"ZEMB_MAC_S", w.macS},    {"ZEMB_RESULT", passed ? "pass" : "fail"},
      {"ZEMB_REASON", e.reason}, {"ZEMB_IMAGE_SHA256", imageSha256_},
  };
  w.hookRan = true;
  w.thread = std::thread([this, &w, command, environment, passed] {
    try {
      std::unique_ptr<Host> own = makeHost_();
      w.hook = own != nullptr ? own->RunShellCommand(command, environment, kHookTimeoutMs)
                              : host_.RunShellCommand(command, environment, kHookTimeoutMs);
    } catch (...) {
      w.hook.error = "the hook could not be run";
    }
    // The unit's record in the pool was finished before the hook ran; its
    // outcome joins it now, and never changes the unit's result.
    if (provision_ != nullptr && !w.pooled.serial.empty()) {
      try {
        PoolError why;
        std::unique_ptr<PoolStore> store = OpenPoolAgain(*provision_, &why);
        UnitRecord record = w.pooled;
        record.hook =
            PooledHook((passed ? "on_pass " : "on_fail ") + HookOutcome(w.hook), w.hook.output);
        if (store == nullptr || !store->AddHook(record, &why)) {
          // A pool that cannot be reached now, or a unit whose final record
          // itself waits in the spool: the outcome waits there too, after it.
          const std::string spool = SpoolPath();
          std::string spoolError;
          if ((why.kind == PoolErrorKind::Unreachable ||
               SpoolHolds(spool, provision_->poolSpec, record)) &&
              SpoolRecord(spool, provision_->poolSpec, record, &spoolError)) {
            w.poolHookSpooled = why.text;
          } else {
            w.poolHookError = why.text + (spoolError.empty() ? "" : "; " + spoolError);
          }
        }
      } catch (const std::exception& e) {
        w.poolHookError = e.what();
      }
    }
    w.done = true;
  });
}

void Station::Settle(Slot& slot) {
  Worker& w = *slot.worker;
  if (w.thread.joinable()) w.thread.join();
  const bool passed = w.status == kExitOk;
  if (w.hookRan) {
    StationEvent h = EventOf(slot, "hook");
    h.unitId = w.target.id;
    const std::string outcome = HookOutcome(w.hook);
    h.reason = (passed ? "on_pass " : "on_fail ") + outcome;
    h.hookExit = w.hook.started && !w.hook.timedOut ? w.hook.exitStatus : -1;
    h.output = w.hook.output;
    const bool hookFailed = !w.hook.started || w.hook.timedOut || w.hook.exitStatus != 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      finished_[w.record].hook = h.reason;
      finished_[w.record].hookOutput = w.hook.output;
      if (hookFailed && slot.present && slot.unit.id == w.target.id) {
        slot.reason = (slot.reason.empty() ? "" : slot.reason + "; ") + "hook failed: " + outcome;
      }
    }
    Emit(h);
    if (!w.poolHookError.empty()) {
      Say("zemb: unit " + w.target.id + " (serial number " + w.pooled.serial +
          "): the pool did not take its hook's outcome: " + w.poolHookError);
    }
    if (!w.poolHookSpooled.empty()) {
      Say("zemb: unit " + w.target.id + " (serial number " + w.pooled.serial +
          "): its hook's outcome could not reach the pool (" + w.poolHookSpooled +
          "); it waits in " + SpoolPath() + ": run 'zemb pool sync --pool " +
          MaskSecrets(provision_->poolSpec) + "' once the pool can be reached");
    }
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    slot.worker.reset();
  }
}

void Station::Tend(Slot& slot) {
  if (slot.worker != nullptr) {
    Worker& w = *slot.worker;
    if (!slot.resultShown) {
      const uint64_t total = w.sink.total, done = w.sink.done;
      if (total > 0 && !w.resultReady) {
        const int percent = static_cast<int>(done * 100 / total);
        {
          std::lock_guard<std::mutex> hold(mutex_);
          slot.percent = percent;
        }
        if (percent / 10 > slot.lastPercent / 10 && percent < 100) {
          slot.lastPercent = percent;
          StationEvent e = EventOf(slot, "progress");
          e.percent = percent / 10 * 10;
          Emit(e);
        }
      }
      if (w.resultReady) Finish(slot);
    } else if (w.done) {
      Settle(slot);
    }
    return;
  }
  if (slot.name.empty() || !slot.present || slot.worked || slot.held || stopping_) return;
  Start(slot);
}

bool Station::Rearm(const std::string& name, std::string* error) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Slot* slot = SlotNamed(name);
    if (slot == nullptr) {
      *error = "no slot is named " + name;
      return false;
    }
    if (!slot->held) {
      *error = "slot " + name + " is not held";
      return false;
    }
  }
  Command("rearm " + name);
  return true;
}

bool Station::Scan(const std::string& name, const std::string& label, std::string* error) {
  std::lock_guard<std::mutex> hold(mutex_);
  Slot* slot = SlotNamed(name);
  if (slot == nullptr) {
    *error = "no slot is named " + name;
    return false;
  }
  if (label.empty() || label.size() > 200) {
    *error = "a label is 1 to 200 characters";
    return false;
  }
  commands_->Push("scan " + name + " " + label);
  return true;
}

uint64_t Station::Subscribe(std::function<void(const StationEvent&)> listener) {
  std::lock_guard<std::mutex> hold(listenerMutex_);
  const uint64_t token = nextToken_++;
  listeners_[token] = std::move(listener);
  return token;
}

void Station::Unsubscribe(uint64_t token) {
  std::lock_guard<std::mutex> hold(listenerMutex_);
  listeners_.erase(token);
}

StationSnapshot Station::Snapshot() {
  std::lock_guard<std::mutex> hold(mutex_);
  StationSnapshot snap;
  snap.station = profile_.station;
  snap.profileName = profile_.path;
  snap.profileSha256 = profile_.sha256;
  snap.operatorName = profile_.operatorName;
  snap.passed = passed_;
  snap.failed = failed_;
  if (anyStarted_) {
    const double hours =
        std::chrono::duration<double>(SteadyClock::now() - firstStart_).count() / 3600.0;
    if (hours > 0) snap.unitsPerHour = static_cast<double>(passed_ + failed_) / hours;
  }
  for (const auto& slot : slots_) {
    SlotView v;
    v.name = slot->name;
    v.port = slot->port;
    v.state = slot->state;
    v.unitId = slot->unit.id;
    v.percent = slot->state == "working" ? slot->percent : -1;
    v.serial = slot->serial;
    v.macP = slot->macP;
    v.macS = slot->macS;
    v.reason = slot->reason;
    v.seconds = slot->seconds;
    v.label = slot->label.empty() ? slot->nextLabel : slot->label;
    snap.slots.push_back(std::move(v));
  }
  for (auto it = finished_.rbegin(); it != finished_.rend() && snap.recent.size() < kRecentUnits;
       ++it) {
    snap.recent.push_back(*it);
  }
  snap.lastSequence = sequence_;
  return snap;
}

std::string Station::UnitsCsv() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string csv =
      "time,station,slot,port,unit,serial,mac_p,mac_s,result,reason,seconds,label,hook,"
      "profile_sha256,image_sha256\n";
  for (const FinishedUnit& u : finished_) {
    for (const std::string& field :
         {u.time, profile_.station, u.slot, u.port, u.unitId, u.serial, u.macP, u.macS, u.result,
          u.reason, Format("%.1f", u.seconds), u.label, u.hook, u.profileSha256}) {
      csv += CsvField(field) + ",";
    }
    csv += CsvField(u.imageSha256) + "\n";
  }
  return csv;
}

int Station::Run() {
  terminal_ = host_.StderrIsTerminal();
  host_.WriteStderr(Format("zemb station%s%s: profile %s (SHA-256 %s), %s, %s\n",
                           profile_.station.empty() ? "" : " ", profile_.station.c_str(),
                           profile_.path.c_str(), profile_.sha256.c_str(),
                           Counted(profile_.slots.size(), "slot").c_str(),
                           terminal_ ? "quit or Ctrl-C ends it" : "'quit' or Ctrl-C ends it"));
  host_.CatchInterrupts();
  bool quitSaid = false;
  for (;;) {
    for (const std::string& line : commands_->Take()) {
      const size_t space = line.find(' ');
      const std::string word = line.substr(0, space);
      const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
      if (word == "quit") {
        quitSaid = true;
      } else if (word == "rearm") {
        Slot* slot = SlotNamed(rest);
        if (slot == nullptr || !slot->held) {
          Say("zemb: " +
              (slot == nullptr ? "no slot is named " + rest : "slot " + rest + " is not held"));
          continue;
        }
        {
          std::lock_guard<std::mutex> hold(mutex_);
          slot->held = false;
          slot->failStreak = 0;
          if (slot->state == "held") slot->state = "empty";
        }
        Emit(EventOf(*slot, "rearmed"));
      } else if (word == "scan") {
        const size_t gap = rest.find(' ');
        Slot* slot = SlotNamed(rest.substr(0, gap));
        if (slot == nullptr || gap == std::string::npos) {
          Say("zemb: scan takes a slot's name and a label");
          continue;
        }
        StationEvent e = EventOf(*slot, "scanned");
        e.label = rest.substr(gap + 1);
        {
          std::lock_guard<std::mutex> hold(mutex_);
          // For the unit in hand, or for the next one.
          if (slot->present && slot->worker != nullptr) {
            slot->label = e.label;
          } else {
            slot->nextLabel = e.label;
          }
        }
        Emit(e);
      } else if (!word.empty()) {
        Say("zemb: the station takes quit, rearm SLOT and scan SLOT LABEL");
      }
    }
    if ((quitSaid || host_.InterruptRequested()) && !stopping_) {
      stopping_ = true;
      Say("zemb: stopping: no new unit starts; units in hand stop at their next sector boundary");
    }
    Look();
    for (size_t i = 0; i < slots_.size(); ++i) Tend(*slots_[i]);
    DrawView(false);
    if (stopping_ && !AnyWorking()) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  DrawView(true);
  host_.WriteStderr(Format("zemb station: %llu passed, %llu failed\n",
                           static_cast<unsigned long long>(passed_),
                           static_cast<unsigned long long>(failed_)));
  return failed_ == 0 ? kExitOk : kExitFailed;
}

int StationUsage(Host& host, const std::string& why) {
  host.WriteStderr("zemb: error: " + why + "\n");
  host.WriteStderr("Try 'zemb station --help'.\n");
  return kExitUsage;
}

}  // namespace

std::string StationHelp() {
  return "Usage: zemb station --profile FILE [--events FILE|-] [--listen ADDRESS:PORT]\n"
         "                    [--token-file FILE]\n"
         "A programming station: each slot of the profile is a USB port; a unit plugged\n"
         "into a slot is written at once, and its result stands until it is removed.\n"
         "  --profile FILE   the station's profile (JSON): mode (write or provision), image,\n"
         "                   config, pool, slots (slot name to port), station, operator,\n"
         "                   fail_streak (3), on_pass and on_fail (shell commands)\n"
         "  --events FILE    every change of a slot as one JSON object a line, appended to\n"
         "                   FILE (- for standard output)\n"
         "  --listen A:P     serve the station's page on address A, port P\n"
         "  --token-file F   the token the page's changes must carry\n"
         "Standard input takes: quit, rearm SLOT (a slot held after fail_streak failures\n"
         "in a row), scan SLOT LABEL. Ctrl-C or quit: no new unit starts, units in hand\n"
         "stop at their next sector boundary and are recorded. Exit status: 0 every unit\n"
         "passed, 1 a unit failed, 2 bad command line or profile (nothing started).\n"
         "Hooks get ZEMB_SLOT, ZEMB_PORT, ZEMB_SERIAL, ZEMB_MAC_P, ZEMB_MAC_S,\n"
         "ZEMB_RESULT, ZEMB_REASON and ZEMB_IMAGE_SHA256, and 30 s.\n";
}

int RunStation(int argc, const char* const* argv, Host& host, HostFactory makeHost) {
  std::string profilePath, eventsPath, listen, tokenFile;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc || argv[i + 1][0] == 0) return false;
      *into = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      host.WriteStdout(StationHelp());
      return kExitOk;
    }
    std::string* into = a == "--profile"      ? &profilePath
                        : a == "--events"     ? &eventsPath
                        : a == "--listen"     ? &listen
                        : a == "--token-file" ? &tokenFile
                                              : nullptr;
    if (into == nullptr) return StationUsage(host, "unknown word '" + a + "'");
    if (!into->empty()) return StationUsage(host, a + " is given twice");
    if (!value(into)) return StationUsage(host, a + " needs a value");
  }
  if (profilePath.empty()) return StationUsage(host, "station needs --profile FILE");
  if (makeHost == nullptr) return StationUsage(host, "this build cannot run a station");

  StationProfile profile;
  std::string error;
  if (!LoadStationProfile(profilePath, &profile, &error)) {
    host.WriteStderr("zemb: error: " + error + "\n");
    return kExitUsage;
  }
  ZembOptions options;
  const bool provision = profile.mode == "provision";
  options.command = provision ? ZembCommand::Provision : ZembCommand::Write;
  options.file = profile.image;
  options.config = profile.config;
  options.pool = profile.pool;
  options.station = profile.station;
  options.operatorName = profile.operatorName;
  ZembRun run(host, options);
  if (!ReadRomConfig(run.diag, profile.config.c_str(), &run.romType, &run.rom) ||
      run.rom.RomSize <= 0) {
    return run.Error(kExitUsage, "the ROM configuration %s cannot be used", profile.config.c_str());
  }
  // The image, the ROM and the pool are checked once, before any unit.
  ProvisionInputs provisionInputs;
  if (provision) {
    if (int status = CheckProvisionInputs(run, &provisionInputs)) return status;
  } else if (int status = CheckWriteInputs(run)) {
    return status;
  }
  std::string imageSha256 = provisionInputs.imageSha256;
  if (!provision && !HashFile(profile.image, &imageSha256, &error)) {
    return run.Error(kExitUsage, "%s", error.c_str());
  }

  PageOptions pageOptions;
  if (!listen.empty() && !ParseListenAddress(listen, &pageOptions, &error)) {
    return StationUsage(host, "--listen " + listen + ": " + error);
  }
  pageOptions.tokenFile = tokenFile;
  if (!tokenFile.empty() && listen.empty()) {
    return StationUsage(host, "--token-file goes with --listen");
  }

  std::FILE* events = nullptr;
  bool ownEvents = false;
  if (eventsPath == "-") {
    events = stdout;
  } else if (!eventsPath.empty()) {
    events = std::fopen(eventsPath.c_str(), "ab");
    if (events == nullptr) {
      host.WriteStderr("zemb: error: cannot open the events file " + eventsPath + "\n");
      return kExitUsage;
    }
    ownEvents = true;
  }
  int status = kExitOk;
  {
    Station station(host, makeHost, profile, options, imageSha256, run.romType, run.rom,
                    provision ? &provisionInputs : nullptr, events);
    std::unique_ptr<StationPage> page;
    if (!listen.empty()) {
      page = StartStationPage(station, pageOptions, &error);
      if (page == nullptr) {
        if (ownEvents) std::fclose(events);
        host.WriteStderr("zemb: error: the station's page: " + error + "\n");
        return kExitUsage;
      }
      host.WriteStderr(Format("zemb station: the page is at http://%s:%u/\n",
                              pageOptions.address.c_str(), static_cast<unsigned>(page->Port())));
    }
    // Standard input's commands; a reader blocked on a terminal at the end
    // goes with the process.
    std::thread([queue = station.Commands()] {
      for (std::string line; std::getline(std::cin, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        queue->Push(line);
      }
    }).detach();
    status = station.Run();
    page.reset();
  }
  if (ownEvents) std::fclose(events);
  return status;
}

}  // namespace zemb
