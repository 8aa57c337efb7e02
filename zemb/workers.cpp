// Several units at once: a worker thread a unit, each with a host of its
// own (a host serves one thread; on Windows each worker's discovery starts
// COM on that worker's thread, and nothing COM leaves it). What a unit says
// is kept in its sink and shown by the main thread: one progress line per
// unit redrawn together on a terminal, otherwise a line per unit as it
// finishes; then a table of every unit.
#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "common/device/unit_list.h"
#include "common/host/windows_api.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
  const UnitTarget* target = nullptr;
  UnitSink sink;
  int status = kExitFailed;
  std::string reason;  // the unit's last error
  double seconds = 0;
  bool shown = false;  // its line has been printed
};

// One unit's whole run. Whatever happens in it, even an exception, is that
// unit's outcome and no other's.
void RunJob(Job& job, const ZembRun& main, HostFactory makeHost, int (*command)(ZembRun&)) {
  const Clock::time_point start = Clock::now();
  try {
    std::unique_ptr<Host> own = makeHost != nullptr ? makeHost() : nullptr;
    if (makeHost != nullptr && own == nullptr) throw std::runtime_error("no host could be made");
    ZembRun run(own != nullptr ? *own : main.host, main.options);
    run.romType = main.romType;
    run.rom = main.rom;
    run.target = job.target;
    run.sink = &job.sink;
    // Released before the host goes, on every way out.
    struct Release {
      ZembRun& run;
      ~Release() { run.session.Release(); }
    } release{run};
    job.status = command(run);
    job.reason = run.lastError;
  } catch (const std::exception& e) {
    job.status = kExitFailed;
    job.reason = std::string("the unit's worker stopped: ") + e.what();
  } catch (...) {
    job.status = kExitFailed;
    job.reason = "the unit's worker stopped on an unknown exception";
  }
  job.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  job.sink.finished = true;
}

// The unit's result lines but the first (which says what it began), in
// one line.
std::string ResultText(const std::string& text) {
  std::string joined;
  size_t from = text.find('\n');
  while (from != std::string::npos && from + 1 < text.size()) {
    const size_t end = text.find('\n', from + 1);
    joined += (joined.empty() ? "" : "; ") + text.substr(from + 1, end - from - 1);
    from = end;
  }
  return joined;
}

std::string Label(const Job& job) {
  return Format("unit %s (%s face)", job.target->id.c_str(), FaceName(job.target->face));
}

// The unit's line to standard output and its error lines to standard
// error, once it has finished.
void ShowOutcome(Host& host, Job& job) {
  job.shown = true;
  std::string out, err;
  {
    std::lock_guard<std::mutex> hold(job.sink.mutex);
    out = job.sink.out;
    err = job.sink.err;
  }
  if (job.status == kExitOk) {
    host.WriteStdout(
        Format("%s: ok in %.1f s: %s\n", Label(job).c_str(), job.seconds, ResultText(out).c_str()));
  } else {
    host.WriteStdout(
        Format("%s: FAILED in %.1f s: %s\n", Label(job).c_str(), job.seconds, job.reason.c_str()));
  }
  size_t from = 0;
  while (from < err.size()) {
    const size_t end = err.find('\n', from);
    const std::string line = err.substr(from, end == std::string::npos ? end : end - from);
    host.WriteStderr("zemb: " + job.target->id + ": " + line + "\n");
    if (end == std::string::npos) break;
    from = end + 1;
  }
}

// Whether the terminal on standard error can move its cursor up, which
// redrawing several lines needs: on Windows the console must be told.
bool CanRedrawLines(Host& host) {
  if (!host.StderrIsTerminal()) return false;
#if defined(_WIN32)
  HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    return false;
  }
  constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kVirtualTerminal) != 0 || SetConsoleMode(console, mode | kVirtualTerminal) != 0;
#else
  return true;
#endif
}

// The block of progress lines, one a unit, drawn over itself.
class ProgressBlock {
 public:
  explicit ProgressBlock(Host& host) : host_(host) {}
  void Draw(const std::vector<Job>& jobs) {
    std::string frame;
    if (drawn_ > 0) frame += Format("\x1b[%uA", static_cast<unsigned>(drawn_));
    for (const Job& job : jobs) {
      const uint64_t done = job.sink.done, total = job.sink.total;
      std::string state;
      if (job.sink.finished) {
        state = job.status == kExitOk ? "ok" : "FAILED";
      } else if (total == 0) {
        state = "waiting";
      } else {
        state =
            Format("%3u%%  %llu of %llu bytes", static_cast<unsigned>(done * 100 / total),
                   static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
      }
      frame += "\r" + Label(job) + "  " + state + "\x1b[K\n";
    }
    drawn_ = jobs.size();
    host_.WriteStderr(frame);
  }
  void Clear() {
    if (drawn_ > 0) host_.WriteStderr(Format("\x1b[%uA\r\x1b[J", static_cast<unsigned>(drawn_)));
    drawn_ = 0;
  }

 private:
  Host& host_;
  size_t drawn_ = 0;
};

void ShowTable(Host& host, std::vector<Job>& jobs) {
  std::string table = "\nunit      face   serial          result        seconds\n";
  size_t ok = 0;
  std::string failed;
  for (Job& job : jobs) {
    std::string serial;
    {
      std::lock_guard<std::mutex> hold(job.sink.mutex);
      serial = job.sink.serial.empty() ? job.target->serial : job.sink.serial;
    }
    const char* result = job.status == kExitOk ? "ok" : "failed";
    table += Format("%-8s  %-5s  %-14s  %-10s  %7.1f\n", job.target->id.c_str(),
                    FaceName(job.target->face), serial.empty() ? "-" : serial.c_str(), result,
                    job.seconds);
    if (job.status == kExitOk) {
      ++ok;
    } else {
      failed += (failed.empty() ? "" : ", ") + job.target->id;
    }
  }
  table += Format("%s: %u ok, %u failed%s%s%s\n", Counted(jobs.size(), "unit").c_str(),
                  static_cast<unsigned>(ok), static_cast<unsigned>(jobs.size() - ok),
                  failed.empty() ? "" : " (", failed.c_str(), failed.empty() ? "" : ")");
  host.WriteStdout(table);
}

}  // namespace

int RunOnUnits(ZembRun& run, const std::vector<UnitTarget>& targets, HostFactory makeHost,
               int (*command)(ZembRun&)) {
  std::vector<Job> jobs(targets.size());
  std::atomic<bool> stop{false};
  for (size_t i = 0; i < targets.size(); ++i) {
    jobs[i].target = &targets[i];
    jobs[i].sink.serial = targets[i].serial;
    jobs[i].sink.stop = &stop;
  }
  const std::string units = Counted(targets.size(), "unit");
  if (run.options.command == ZembCommand::Provision) {
    run.Out("provisioning %s at once with %s\n", units.c_str(), run.options.file.c_str());
  } else {
    run.Out("writing %s to %s at once\n", run.options.file.c_str(), units.c_str());
  }
  // From here Ctrl-C stops every unit at its next sector boundary.
  run.host.CatchInterrupts();

  if (makeHost == nullptr) {
    // One host, one thread: the units one after another.
    for (Job& job : jobs) {
      if (stop || run.host.InterruptRequested()) {
        stop = true;
        job.reason = "not begun: interrupted";
        job.sink.finished = true;
      } else {
        RunJob(job, run, nullptr, command);
      }
      ShowOutcome(run.host, job);
    }
  } else {
    const bool redraw = CanRedrawLines(run.host);
    std::vector<std::thread> workers;
    workers.reserve(jobs.size());
    int lastWave = 0;
    for (const Job& job : jobs) lastWave = std::max(lastWave, job.target->wave);
    ProgressBlock block(run.host);
    for (int wave = 0; wave <= lastWave; ++wave) {
      for (Job& job : jobs) {
        if (job.target->wave != wave) continue;
        if (stop) {
          job.reason = "not begun: interrupted";
          job.sink.finished = true;
          continue;
        }
        workers.emplace_back(RunJob, std::ref(job), std::cref(run), makeHost, command);
      }
      for (;;) {
        if (run.host.InterruptRequested()) stop = true;
        const bool done = std::all_of(jobs.begin(), jobs.end(), [wave](const Job& j) {
          return j.target->wave > wave || j.sink.finished.load();
        });
        if (redraw) {
          block.Draw(jobs);
        } else {
          for (Job& job : jobs) {
            if (job.sink.finished && !job.shown) ShowOutcome(run.host, job);
          }
        }
        if (done) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(redraw ? 200 : 50));
      }
    }
    for (std::thread& worker : workers) worker.join();
    if (redraw) {
      block.Clear();
      for (Job& job : jobs) ShowOutcome(run.host, job);
    }
  }
  ShowTable(run.host, jobs);

  // Every unit refused alike (a used-up pool, say) keeps that status, so 2
  // still means nothing was written; any other mix of outcomes is a failure.
  int status = jobs.front().status;
  for (const Job& job : jobs) {
    if (job.status != status) status = kExitFailed;
  }
  return status;
}

}  // namespace zemb
