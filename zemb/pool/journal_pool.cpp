// The pool on this machine: a journal of events in a CSV file, appended one
// line at a time and synced before the caller's next step, never rewritten.
//
//   zemb journal,2,serial_from,20000130041400,mac_from,00-11-22-33-44-00,count,100
//   index,serial,mac_p,mac_s,image,...,result,...        (the unit record's fields)
//   0,20000130041400,00-11-22-33-44-00,00-11-22-33-44-01,...,reserved,...
//   0,20000130041400,00-11-22-33-44-00,00-11-22-33-44-01,...,committed,...
//
// A value's state is what its last line says. A ledger of the older form
// ("zemb ledger,1", one line per value in pool order, rewritten in place by
// the zemb that made it) is read as its lines say (ok: committed; failed:
// failed; anything else: reserved) and continues with event lines appended
// after its own.
//
// A line cut short (a power cut while it was written: the run had not yet
// touched a unit, since every line is synced before the next step) counts
// as a reservation of the value it names, or of the next fresh value when
// it is cut before its index. A line that lacks only its line end is whole.
//
// Beside the journal, JOURNAL.index keeps what allocation needs (the
// journal's length it covers, the next fresh value, the released values),
// so reserving costs the same for the ten-thousandth unit as for the first.
// It is a cache: missing, damaged or behind the journal, it is rebuilt or
// brought up to date from the journal's lines. Every change is made under
// an OS lock on JOURNAL.lock (the lock the older ledger used too).
#include "zemb/pool/journal_pool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "common/base/console.h"
#include "common/host/file_names.h"
#include "common/host/windows_api.h"
#include "zemb/pool/csv.h"
#include "zemb/pool/file_lock.h"
#include "zemb/pool/kill_point.h"
#include "zemb/zemb.h"
#if defined(_WIN32)
#include <io.h>
#include <restartmanager.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#endif

namespace zemb {

namespace fs = std::filesystem;

namespace {

constexpr const char* kJournalMagic = "zemb journal";
constexpr const char* kLedgerMagic = "zemb ledger";
constexpr const char* kLedgerColumns = "time,device,serial,mac_p,mac_s,image_sha256,result";
constexpr const char* kIndexMagic = "zemb journal index";
constexpr size_t kLedgerFields = 7;
// A scanner or an antivirus holds a file for a moment; a spreadsheet holds
// it until it is closed. Waiting this long covers the first.
constexpr int kHeldRetryMs = 3000;

PoolError Err(PoolErrorKind kind, std::string text) {
  return PoolError{kind, std::move(text)};
}

#if defined(_WIN32)
// The programs that have `path` open, as Windows' Restart Manager names them
// ("Microsoft Excel"); empty when it cannot tell.
std::string ProgramsHolding(const std::string& path) {
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) return "";
  std::string names;
  const int wide = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  std::wstring file(wide > 0 ? static_cast<size_t>(wide) : 1, L'\0');
  if (wide > 0) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, file.data(), wide);
  LPCWSTR files[] = {file.c_str()};
  UINT needed = 0, count = 8;
  RM_PROCESS_INFO info[8] = {};
  DWORD reasons = 0;
  if (RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
      RmGetList(session, &needed, &count, info, &reasons) == ERROR_SUCCESS) {
    for (UINT i = 0; i < count; ++i) {
      char name[3 * CCH_RM_MAX_APP_NAME + 1] = {};
      WideCharToMultiByte(CP_ACP, 0, info[i].strAppName, -1, name, sizeof(name) - 1, nullptr,
                          nullptr);
      if (name[0] != 0) names += std::string(names.empty() ? "" : ", ") + name;
    }
  }
  RmEndSession(session);
  return names;
}
#endif

// The journal opened for appending. Each Append is on disk when it returns:
// fsync, or on Windows FlushFileBuffers.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  // createNew: make the file, failing when it exists (never replacing a file
  // a check said was missing: a network share may have said so wrongly).
  bool Open(const std::string& path, bool createNew, PoolError* error) {
    path_ = path;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHeldRetryMs);
    for (;;) {
#if defined(_WIN32)
      handle_ = CreateFileW(WideFromUtf8(path).c_str(),
                            createNew ? GENERIC_WRITE : FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            createNew ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) return true;
      const DWORD code = GetLastError();
      const bool held = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
      if (held && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      if (held) {
        const std::string holders = ProgramsHolding(path);
        *error = Err(PoolErrorKind::Unreachable,
                     (holders.empty() ? std::string("another program") : holders) + " has " + path +
                         " open and will not share it; close " + path + " in " +
                         (holders.empty() ? std::string("the program that has it open (a "
                                                        "spreadsheet, say)")
                                          : holders) +
                         ", then run again");
      } else if (code == ERROR_FILE_EXISTS) {
        *error = Err(PoolErrorKind::Invalid, path + " exists already");
      } else if (code == ERROR_ACCESS_DENIED) {
        *error = Err(PoolErrorKind::Unreachable,
                     "this account may not write " + path + "; it is left as it is");
      } else {
        *error =
            Err(PoolErrorKind::Unreachable, Format("cannot open %s for writing (error %lu)",
                                                   path.c_str(), static_cast<unsigned long>(code)));
      }
      return false;
#else
      (void)deadline;
      fd_ = open(path.c_str(),
                 createNew ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC
                           : O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
                 0666);
      if (fd_ >= 0) return true;
      const int why = errno;
      if (why == EEXIST) {
        *error = Err(PoolErrorKind::Invalid, path + " exists already");
      } else if (why == EACCES || why == EPERM || why == EROFS) {
        *error = Err(PoolErrorKind::Unreachable, "this account may not write " + path + " (" +
                                                     std::strerror(why) + "); it is left as it is");
      } else {
        *error = Err(PoolErrorKind::Unreachable,
                     "cannot open " + path + " for writing: " + std::strerror(why));
      }
      return false;
#endif
    }
  }

  bool Append(const std::string& text, PoolError* error) {
#if defined(_WIN32)
    DWORD written = 0;
    const bool ok =
        WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && FlushFileBuffers(handle_);
    const unsigned long code = ok ? 0 : GetLastError();
#else
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
      const ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd_) == 0;
    const int code = ok ? 0 : errno;
#endif
    if (!ok) {
      *error = Err(PoolErrorKind::Unreachable, Format("cannot write %s (%s)", path_.c_str(),
#if defined(_WIN32)
                                                      Format("error %lu", code).c_str()
#else
                                                      std::strerror(code)
#endif
                                                          ));
    }
    return ok;
  }

  void Close() {
#if defined(_WIN32)
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
#else
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
#endif
  }

 private:
  std::string path_;
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
};

// Makes a new file's name durable in its folder.
void SyncFolderOf(const std::string& path) {
#if !defined(_WIN32)
  std::string folder = FileName(FilePath(path).parent_path());
  if (folder.empty()) folder = ".";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
#else
  (void)path;
#endif
}

std::string PoolLine(const char* magic, int version, const PoolRange& range) {
  return Format("%s,%d,serial_from,%s,mac_from,%s,count,%u", magic, version,
                range.serialFrom.c_str(), NthValue(range, 0).macP.c_str(), range.count);
}

// What allocation needs to know, as the journal's lines up to `covered`
// say.
struct Allocations {
  uint64_t covered = 0;    // bytes of the journal taken into account
  uint32_t highWater = 0;  // values 0 .. highWater-1 have been handed out
  std::set<uint32_t> released;
  // Whether the bytes taken into account end in the middle of a line.
  bool tornTail = false;
};

// One line of the journal, as read.
struct Line {
  bool blank = false;
  bool torn = false;  // cut short; `record` holds only its index when known
  bool ledger = false;
  std::optional<uint32_t> index;
  UnitRecord record;
};

class JournalPool final : public PoolStore {
 public:
  explicit JournalPool(std::string path) : path_(std::move(path)), index_(path_ + ".index") {}

  std::string Name() const override { return path_; }
  const PoolRange& Range() const override { return range_; }

  bool Init(const PoolRange& range, PoolError* error) override {
    PoolFileLock lock;
    if (!lock.Take(path_, error, waitNote_)) return false;
    AppendFile file;
    PoolError created;
    if (file.Open(path_, true, &created)) {
      const std::string text =
          PoolLine(kJournalMagic, 2, range) + "\n" + CsvRow(UnitRecordFields()) + "\n";
      if (!file.Append(text, error)) {
        // Made by this call under the lock, and not a pool yet.
        file.Close();
        RemoveFile(path_);
        return false;
      }
      file.Close();
      SyncFolderOf(path_);
      range_ = range;
      opened_ = true;
      return true;
    }
    if (created.kind != PoolErrorKind::Invalid) {
      *error = created;
      return false;
    }
    // There is one: the same pool is no change, another an error.
    if (!ReadHead(error)) return false;
    if (!(range_ == range)) {
      *error = Err(PoolErrorKind::Invalid,
                   Format("%s holds another pool (serial numbers from %s, MACs from %s, %u "
                          "units); it is left as it is",
                          path_.c_str(), range_.serialFrom.c_str(),
                          NthValue(range_, 0).macP.c_str(), range_.count));
      return false;
    }
    opened_ = true;
    return true;
  }

  bool Open(PoolError* error) override {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(FilePath(path_), ec);
    if (!fs::exists(status)) {
      *error = Err(PoolErrorKind::NoPool,
                   "there is no pool at " + path_ +
                       "; 'zemb pool init' makes one (check the name if there should be one)");
      return false;
    }
    if (!fs::is_regular_file(status)) {
      *error = Err(PoolErrorKind::Damaged, "the pool " + path_ + " is not a regular file");
      return false;
    }
    if (!ReadHead(error)) return false;
    // The journal is written by appending; one this account may not
    // write would fail the first unit after it was written.
    {
      AppendFile probe;
      if (!probe.Open(path_, false, error)) return false;
    }
    PoolFileLock lock;
    if (!lock.Take(path_, error, waitNote_)) return false;
    Allocations a;
    if (!LoadAllocations(&a, error)) return false;
    opened_ = true;
    return true;
  }

  bool Reserve(const UnitCarries& carries, const UnitRecord& claim, Reservation* out,
               PoolError* error) override {
    PoolFileLock lock;
    if (!lock.Take(path_, error, waitNote_)) return false;
    Allocations a;
    if (!LoadAllocations(&a, error)) return false;
    std::optional<uint32_t> index;
    bool kept = false;
    if (const auto own = IndexOfSerial(range_, carries.serial); own && *own < a.highWater) {
      index = own;
      kept = true;
    } else if (!a.released.empty()) {
      index = *a.released.begin();
    } else if (a.highWater < range_.count) {
      index = a.highWater;
    } else {
      *error = Err(PoolErrorKind::UsedUp,
                   Format("the pool of %u units in %s is used up; start a new pool with "
                          "'zemb pool init'",
                          range_.count, path_.c_str()));
      return false;
    }
    UnitRecord record = claim;
    const UnitRecord value = NthValue(range_, *index);
    record.index = value.index;
    record.serial = value.serial;
    record.macP = value.macP;
    record.macS = value.macS;
    record.state = UnitState::Reserved;
    KillPoint("reserve.append");
    if (!AppendLine(a, record, error)) return false;
    KillPoint("reserve.appended");
    out->record = record;
    out->kept = kept;
    return true;
  }

  bool Finish(const UnitRecord& record, PoolError* error) override {
    PoolFileLock lock;
    if (!lock.Take(path_, error, waitNote_)) return false;
    Allocations a;
    if (!LoadAllocations(&a, error)) return false;
    const UnitRecord value = NthValue(range_, record.index);
    if (record.index >= a.highWater || value.serial != record.serial || value.macP != record.macP ||
        value.macS != record.macS) {
      *error = Err(PoolErrorKind::Invalid,
                   "serial number " + record.serial + " was never handed out from " + path_);
      return false;
    }
    KillPoint("finish.append");
    if (!AppendLine(a, record, error)) return false;
    KillPoint("finish.appended");
    return true;
  }

  bool AddHook(const UnitRecord& record, PoolError* error) override {
    PoolFileLock lock;
    if (!lock.Take(path_, error, waitNote_)) return false;
    std::vector<UnitRecord> latest;
    if (!ReadAll(&latest, nullptr, nullptr, error)) return false;
    const auto it = std::find_if(latest.begin(), latest.end(),
                                 [&](const UnitRecord& r) { return r.index == record.index; });
    if (it == latest.end() || it->serial != record.serial || it->start != record.start ||
        it->state == UnitState::Reserved) {
      *error =
          Err(PoolErrorKind::Invalid, "the record of serial number " + record.serial + " from " +
                                          record.start + " is not the latest in " + path_);
      return false;
    }
    UnitRecord withHook = *it;
    withHook.hook = record.hook;
    Allocations a;
    if (!LoadAllocations(&a, error)) return false;
    return AppendLine(a, withHook, error);
  }

  bool Status(PoolStatusReport* report, PoolError* error) override {
    std::vector<UnitRecord> latest;
    std::map<uint32_t, std::set<std::string>> seen;
    if (!ReadAll(&latest, &seen, nullptr, error)) return false;
    PoolStatusReport r;
    r.range = range_;
    for (const UnitRecord& u : latest) {
      ++r.handedOut;
      switch (u.state) {
        case UnitState::Reserved:
          ++r.reserved;
          r.reservedUnits.push_back(u);
          break;
        case UnitState::Committed:
          ++r.committed;
          break;
        case UnitState::Failed:
          ++r.failed;
          r.failedUnits.push_back(u);
          break;
        case UnitState::Released:
          ++r.released;
          break;
      }
    }
    r.left = range_.count - r.handedOut + r.released;
    for (const auto& [index, units] : seen) {
      if (units.size() > 1) {
        r.clones.push_back({NthValue(range_, index).serial, {units.begin(), units.end()}});
      }
    }
    *report = r;
    return true;
  }

  bool Records(std::vector<UnitRecord>* records, PoolError* error) override {
    return ReadAll(records, nullptr, nullptr, error);
  }

 private:
  // Reads the pool and column lines: range_ and headEnd_.
  bool ReadHead(PoolError* error) {
    std::ifstream in(FilePath(path_), std::ios::binary);
    if (!in) {
      *error = Err(PoolErrorKind::Unreachable, "cannot read the pool " + path_);
      return false;
    }
    std::string first, second;
    std::getline(in, first);
    const bool twoLines = static_cast<bool>(std::getline(in, second)) && !in.eof();
    size_t bom = 0;
    if (first.rfind("\xEF\xBB\xBF", 0) == 0) bom = 3;
    headEnd_ = first.size() + 1 + second.size() + 1;
    first = first.substr(bom);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (!second.empty() && second.back() == '\r') second.pop_back();
    const std::vector<std::string> head = SplitCsvRow(first);
    const bool journal = head.size() == 8 && head[0] == kJournalMagic && head[1] == "2";
    const bool ledger = head.size() == 8 && head[0] == kLedgerMagic && head[1] == "1";
    if (!twoLines || (!journal && !ledger) || head[2] != "serial_from" || head[4] != "mac_from" ||
        head[6] != "count") {
      *error = Err(PoolErrorKind::Damaged,
                   "the pool " + path_ + " is not a zemb pool (its first line is not its pool)");
      return false;
    }
    std::string why;
    const std::string& count = head[7];
    if (count.empty() || count.size() > 9 ||
        count.find_first_not_of("0123456789") != std::string::npos ||
        !MakePoolRange(head[3], head[5], static_cast<uint32_t>(std::stoul(count)), &range_, &why,
                       true)) {
      *error =
          Err(PoolErrorKind::Damaged, "the pool " + path_ +
                                          " is damaged at line 1: the pool is not valid; it is "
                                          "left as it is");
      return false;
    }
    const std::string columns = journal ? CsvRow(UnitRecordFields()) : kLedgerColumns;
    if (second != columns) {
      *error = Err(PoolErrorKind::Damaged, "the pool " + path_ +
                                               " is damaged at line 2: the column line is not "
                                               "the pool's; it is left as it is");
      return false;
    }
    ledger_ = ledger;
    return true;
  }

  // Reads the journal's lines from byte `from` and hands each to `take`
  // with its line number (counted from `firstLine`). False when a line is
  // damaged.
  template <typename Take>
  bool ScanFrom(uint64_t from, uint32_t firstLine, uint64_t* end, bool* tornTail,
                uint32_t* ledgerRows, Take take, PoolError* error) {
    uint32_t lineNo = firstLine;
    std::ifstream in(FilePath(path_), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in.good()) {
      *error = Err(PoolErrorKind::Unreachable, "cannot read the pool " + path_);
      return false;
    }
    *end = from + text.size();
    *tornTail = !text.empty() && text.back() != '\n';
    size_t at = 0;
    bool events = false;
    while (at < text.size()) {
      size_t nl = text.find('\n', at);
      const bool last = nl == std::string::npos;
      std::string row = text.substr(at, last ? std::string::npos : nl - at);
      at = last ? text.size() : nl + 1;
      if (!row.empty() && row.back() == '\r') row.pop_back();
      const uint32_t here = lineNo;
      if (lineNo != 0) ++lineNo;
      Line line;
      bool complete = true;
      const std::vector<std::string> f = SplitCsvRow(row, &complete);
      const bool blank = std::all_of(f.begin(), f.end(), [](const std::string& s) {
        return s.find_first_not_of(" \t") == std::string::npos;
      });
      if (blank) continue;
      auto damaged = [&](const std::string& why) {
        const std::string where =
            here != 0 ? Format("line %u", here)
                      : Format("byte %llu", static_cast<unsigned long long>(from + at));
        *error = Err(PoolErrorKind::Damaged, Format("the pool %s is damaged at %s: %s; it is left "
                                                    "as it is",
                                                    path_.c_str(), where.c_str(), why.c_str()));
        return false;
      };
      const bool ledgerRow = ledger_ && !events && f.size() <= kLedgerFields &&
                             !(f.size() >= 2 && !f[0].empty() &&
                               f[0].find_first_not_of("0123456789") == std::string::npos);
      if (ledgerRow) {
        const uint32_t index = (*ledgerRows)++;
        if (index >= range_.count) return damaged("more lines than the pool has values");
        line.ledger = true;
        line.index = index;
        line.record = NthValue(range_, index);
        if (f.size() < kLedgerFields || !complete) {
          if (!last) return damaged(Format("%u fields instead of 7", unsigned(f.size())));
          line.torn = true;
          line.record.state = UnitState::Reserved;
          line.record.reason = "the line was cut short";
        } else {
          if (f[2] != line.record.serial) {
            return damaged("serial " + f[2] + " where the pool gives " + line.record.serial);
          }
          if (f[3] != line.record.macP || f[4] != line.record.macS) {
            return damaged("MACs that are not the pool's for this line");
          }
          line.record.end = f[0];
          line.record.devicePath = f[1];
          line.record.imageSha256 = f[5];
          const std::string& result = f[6];
          if (result == "ok") {
            line.record.state = UnitState::Committed;
          } else if (result.rfind("failed", 0) == 0) {
            line.record.state = UnitState::Failed;
            line.record.reason = result.size() > 8 ? result.substr(8) : result;
          } else {
            line.record.state = UnitState::Reserved;
            line.record.reason = result;
          }
        }
      } else {
        events = true;
        UnitRecord r;
        if (complete && f.size() == UnitRecordFields().size() && UnitRecordFromValues(f, &r)) {
          if (r.index >= range_.count) return damaged("a value past the pool's end");
          const UnitRecord value = NthValue(range_, r.index);
          if (r.serial != value.serial || r.macP != value.macP || r.macS != value.macS) {
            return damaged("serial " + r.serial + " where the pool gives " + value.serial);
          }
          line.index = r.index;
          line.record = r;
        } else if (f.size() < UnitRecordFields().size() || !complete) {
          // Cut short: its index counts when it is whole (a field follows).
          line.torn = true;
          if (f.size() >= 2 && !f[0].empty() && f[0].size() <= 9 &&
              f[0].find_first_not_of("0123456789") == std::string::npos &&
              std::stoul(f[0]) < range_.count) {
            line.index = static_cast<uint32_t>(std::stoul(f[0]));
          }
        } else {
          return damaged(Format("%u fields instead of %u", unsigned(f.size()),
                                unsigned(UnitRecordFields().size())));
        }
      }
      take(line);
    }
    return true;
  }

  // Applies one line to what allocation needs.
  void Apply(Allocations* a, const Line& line) {
    uint32_t index = line.index.value_or(a->highWater);
    if (!line.index && a->highWater >= range_.count) return;  // nothing left to count
    const UnitState state = line.torn ? UnitState::Reserved : line.record.state;
    a->highWater = std::max(a->highWater, index + 1);
    if (state == UnitState::Released) {
      a->released.insert(index);
    } else {
      a->released.erase(index);
    }
  }

  // A checksum of the journal's last few KiB before `covered`: an index
  // whose journal was edited or replaced (another file of the same length)
  // is not believed.
  uint32_t TailSum(uint64_t covered) const {
    constexpr uint64_t kTail = 4096;
    std::ifstream in(FilePath(path_), std::ios::binary);
    const uint64_t from = covered > kTail ? covered - kTail : 0;
    in.seekg(static_cast<std::streamoff>(from));
    std::string text(static_cast<size_t>(covered - from), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (static_cast<uint64_t>(in.gcount()) != covered - from) return 0;
    return Fnv(text);
  }

  static uint32_t Fnv(const std::string& text) {
    uint32_t sum = 2166136261u;
    for (unsigned char c : text) sum = (sum ^ c) * 16777619u;
    return sum;
  }

  std::string IndexText(const Allocations& a) const {
    std::string released;
    for (uint32_t r : a.released) released += (released.empty() ? "" : " ") + std::to_string(r);
    const std::string body = Format("%s,1,%s,%llu,%u,%u,%s,%08X", kIndexMagic,
                                    PoolLine(kJournalMagic, 2, range_).c_str(),
                                    static_cast<unsigned long long>(a.covered), a.highWater,
                                    a.tornTail ? 1u : 0u, released.c_str(), TailSum(a.covered));
    // A checksum, so a half-written index is rebuilt rather than believed.
    uint32_t sum = 2166136261u;
    for (unsigned char c : body) sum = (sum ^ c) * 16777619u;
    return body + Format(",%08X\n", sum);
  }

  bool ReadIndex(Allocations* a) const {
    std::ifstream in(FilePath(index_), std::ios::binary);
    std::string text;
    if (!in || !std::getline(in, text)) return false;
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos) return false;
    const std::string body = text.substr(0, comma);
    uint32_t sum = 2166136261u;
    for (unsigned char c : body) sum = (sum ^ c) * 16777619u;
    if (text.substr(comma + 1) != Format("%08X", sum)) return false;
    // "zemb journal index,1,<pool line: 8 fields>,covered,high,torn,released"
    const std::vector<std::string> f = SplitCsvRow(body);
    if (f.size() != 15 || f[0] != kIndexMagic || f[1] != "1") return false;
    std::vector<std::string> pool(f.begin() + 2, f.begin() + 10);
    if (CsvRow(pool) != PoolLine(kJournalMagic, 2, range_)) return false;
    try {
      a->covered = std::stoull(f[10]);
      a->highWater = static_cast<uint32_t>(std::stoul(f[11]));
      a->tornTail = f[12] == "1";
      a->released.clear();
      for (size_t at = 0; at < f[13].size();) {
        size_t next = f[13].find(' ', at);
        if (next == std::string::npos) next = f[13].size();
        a->released.insert(static_cast<uint32_t>(std::stoul(f[13].substr(at, next - at))));
        at = next + 1;
      }
    } catch (...) {
      return false;
    }
    return a->highWater <= range_.count && f[14] == Format("%08X", TailSum(a->covered));
  }

  void WriteIndex(const Allocations& a) const {
    // Not synced: a lost or stale index is rebuilt from the journal, which is.
    const std::string temp = index_ + ".new";
    {
      std::ofstream out(FilePath(temp), std::ios::binary | std::ios::trunc);
      out << IndexText(a);
      if (!out) return;
    }
    std::error_code ec;
    fs::rename(FilePath(temp), FilePath(index_), ec);
  }

  // Under the lock: what allocation needs, from the index when it covers
  // the journal, brought up to date from the lines after what it covers.
  bool LoadAllocations(Allocations* a, PoolError* error) {
    std::error_code ec;
    const uint64_t size = fs::file_size(FilePath(path_), ec);
    if (ec) {
      *error = Err(PoolErrorKind::Unreachable, "cannot read the pool " + path_);
      return false;
    }
    const bool cached = ReadIndex(a) && a->covered >= headEnd_ && a->covered <= size;
    if (!cached) {
      *a = Allocations{};
      a->covered = headEnd_;
    }
    if (a->covered == size && cached) return true;
    uint32_t ledgerRows = cached ? a->highWater : 0;
    if (cached && ledger_ && a->covered > headEnd_) {
      // The older form's rows count by place: the index may be mid-way only
      // after event rows began, which never fall back to rows.
      ledgerRows = a->highWater;
    }
    uint64_t end = 0;
    bool torn = false;
    // A torn tail the index counted is read again as a whole line once
    // more lines follow it; counting it twice is harmless (a reservation).
    if (!ScanFrom(
            a->covered, a->covered == headEnd_ ? 3 : 0, &end, &torn, &ledgerRows,
            [&](const Line& line) { Apply(a, line); }, error)) {
      return false;
    }
    a->covered = end;
    a->tornTail = torn;
    WriteIndex(*a);
    return true;
  }

  // Appends the record's line (after a line end, when the journal's last
  // line was cut short) and brings the index along.
  bool AppendLine(Allocations& a, const UnitRecord& record, PoolError* error) {
    AppendFile file;
    if (!file.Open(path_, false, error)) return false;
    const std::string text =
        std::string(a.tornTail ? "\n" : "") + CsvRow(UnitRecordValues(record)) + "\n";
    if (!file.Append(text, error)) return false;
    Line line;
    line.index = record.index;
    line.record = record;
    Apply(&a, line);
    a.covered += text.size();
    a.tornTail = false;
    WriteIndex(a);
    return true;
  }

  // Every value's latest record, and the units each was committed on.
  bool ReadAll(std::vector<UnitRecord>* latest, std::map<uint32_t, std::set<std::string>>* seen,
               Allocations* a, PoolError* error) {
    if (!opened_ && !ReadHead(error)) return false;
    std::map<uint32_t, UnitRecord> last;
    Allocations local;
    Allocations* alloc = a != nullptr ? a : &local;
    uint32_t ledgerRows = 0;
    uint64_t end = 0;
    bool torn = false;
    if (!ScanFrom(
            headEnd_, 3, &end, &torn, &ledgerRows,
            [&](const Line& line) {
              const uint32_t index = line.index.value_or(alloc->highWater);
              Apply(alloc, line);
              if (index >= range_.count) return;
              UnitRecord r = line.torn ? NthValue(range_, index) : line.record;
              if (line.torn) {
                r.state = UnitState::Reserved;
                r.reason = "the journal's line was cut short";
                if (const auto it = last.find(index); it != last.end()) {
                  r = it->second;
                  r.state = UnitState::Reserved;
                }
              }
              last[index] = r;
              if (seen != nullptr && !line.torn && r.state == UnitState::Committed) {
                (*seen)[index].insert(!r.unitId.empty() ? r.unitId : r.devicePath);
              }
            },
            error)) {
      return false;
    }
    latest->clear();
    for (auto& [index, r] : last) latest->push_back(r);
    return true;
  }

  std::string path_;
  std::string index_;
  PoolRange range_;
  uint64_t headEnd_ = 0;
  bool ledger_ = false;
  bool opened_ = false;
};

}  // namespace

std::unique_ptr<PoolStore> MakeJournalPool(const std::string& path) {
  return std::make_unique<JournalPool>(path);
}

}  // namespace zemb
