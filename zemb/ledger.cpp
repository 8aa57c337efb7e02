#include "zemb/ledger.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/base/console.h"
#include "common/base/numbers.h"
#include "common/host/windows_api.h"
#include "zemb/zemb_run.h"
#if !defined(_WIN32)
#include "common/host/posix_lock.h"
#endif

namespace zemb {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMagic = "zemb ledger";
constexpr const char* kColumns = "time,device,serial,mac_p,mac_s,image_sha256,result";
constexpr int kSerialDigits = 14;
// A ledger of a million units is far below this; anything larger is not one.
constexpr uintmax_t kMaxLedgerBytes = 256u << 20;
// Allocating takes milliseconds; a lock held longer belongs to a run that
// hangs, and waiting for ever would hang this one too.
constexpr int kLockWaitMs = 30000;

bool AllDecimal(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ParseHex(const std::string& s, uint64_t* value) {
  if (s.empty() || s.size() > 16) return false;
  uint64_t v = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

bool ParseMac(const std::string& text, uint64_t* mac) {
  if (text.size() != 17) return false;
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && text[3 * i - 1] != '-' && text[3 * i - 1] != ':') return false;
    uint64_t octet = 0;
    if (!ParseHex(text.substr(3 * i, 2), &octet)) return false;
    v = v << 8 | octet;
  }
  *mac = v;
  return true;
}

// serial_from + k in the base the pool counts in; empty past 14 digits.
std::string SerialPlus(const std::string& from, uint64_t k) {
  const bool decimal = AllDecimal(from);
  uint64_t v = 0;
  if (decimal) {
    v = std::stoull(from);
  } else {
    ParseHex(from, &v);
  }
  v += k;
  const std::string text = decimal ? Format("%014llu", static_cast<unsigned long long>(v))
                                   : Format("%014llX", static_cast<unsigned long long>(v));
  return text.size() == kSerialDigits ? text : std::string();
}

std::string Quote(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string q = "\"";
  for (char c : field) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::string UtcNow() {
  // The system clock counts from 1970-01-01 00:00 UTC.
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto today = floor<days>(now);
  const year_month_day date{today};
  const hh_mm_ss time{now - today};
  return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
}

// An exclusive lock on LEDGER.lock for as long as the object lives. The
// system drops it when the process ends, however it ends.
class LedgerLock {
 public:
#if defined(_WIN32)
  ~LedgerLock() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
#endif

  bool Take(const std::string& path, std::string* error) {
    const std::string lockPath = path + ".lock";
#if defined(_WIN32)
    handle_ = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      *error = "cannot open the lock file " + lockPath;
      return false;
    }
#endif
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
    for (;;) {
#if defined(_WIN32)
      OVERLAPPED whole{};
      if (LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &whole)) {
        return true;
      }
#else
      int why = 0;
      switch (PosixFileLock::Take(lockPath, false, &lock_, &why)) {
        case PosixFileLock::Result::Acquired:
          return true;
        case PosixFileLock::Result::Failed:
          *error = "cannot lock " + lockPath + ": " + std::strerror(why);
          return false;
        case PosixFileLock::Result::Busy:
          break;
      }
#endif
      if (std::chrono::steady_clock::now() > deadline) {
        *error = "another zemb has held " + lockPath + " for more than 30 s; is it hanging?";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  std::unique_ptr<PosixFileLock> lock_;
#endif
};

}  // namespace

std::string MacString(uint64_t mac) {
  return Format("%02X-%02X-%02X-%02X-%02X-%02X", static_cast<unsigned>(mac >> 40 & 0xFF),
                static_cast<unsigned>(mac >> 32 & 0xFF), static_cast<unsigned>(mac >> 24 & 0xFF),
                static_cast<unsigned>(mac >> 16 & 0xFF), static_cast<unsigned>(mac >> 8 & 0xFF),
                static_cast<unsigned>(mac & 0xFF));
}

bool MakeLedgerPool(const std::string& serialFrom, const std::string& macFrom, uint32_t count,
                    LedgerPool* pool, std::string* error) {
  uint64_t ignored = 0;
  if (serialFrom.size() != kSerialDigits || !ParseHex(serialFrom, &ignored)) {
    *error = "--serial-from takes 14 hexadecimal digits, not '" + serialFrom + "'";
    return false;
  }
  uint64_t mac = 0;
  if (!ParseMac(macFrom, &mac)) {
    *error = "--mac-from takes a MAC address like 00-11-22-33-44-55, not '" + macFrom + "'";
    return false;
  }
  if ((mac >> 40) & 1) {
    *error = "--mac-from " + macFrom + " is a multicast address; units need unicast addresses";
    return false;
  }
  if (count == 0) {
    *error = "--count must be at least 1";
    return false;
  }
  LedgerPool p;
  for (char c : serialFrom) p.serialFrom += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
  p.macFrom = mac;
  p.count = count;
  if (SerialPlus(p.serialFrom, count - 1).empty()) {
    *error = Format("a pool of %u serial numbers from %s runs past 14 digits", count,
                    p.serialFrom.c_str());
    return false;
  }
  // The first three octets name the maker the addresses belong to; a pool
  // that ran past them would hand out another maker's addresses.
  if ((mac >> 24) != ((mac + 2ull * count - 1) >> 24)) {
    *error =
        Format("a pool of %u MAC pairs from %s runs past the addresses of %02X-%02X-%02X", count,
               macFrom.c_str(), static_cast<unsigned>(mac >> 40 & 0xFF),
               static_cast<unsigned>(mac >> 32 & 0xFF), static_cast<unsigned>(mac >> 24 & 0xFF));
    return false;
  }
  *pool = p;
  return true;
}

Allocation Ledger::Nth(const LedgerPool& pool, uint32_t index) {
  Allocation a;
  a.index = index;
  a.serial = SerialPlus(pool.serialFrom, index);
  const uint64_t p = pool.macFrom + 2ull * index, s = p + 1;
  for (int i = 0; i < 6; ++i) {
    a.macP[i] = static_cast<uint8_t>(p >> (40 - 8 * i));
    a.macS[i] = static_cast<uint8_t>(s >> (40 - 8 * i));
  }
  return a;
}

bool Ledger::Open(const std::string& path, const std::optional<LedgerPool>& pool,
                  std::string* error) {
  path_ = path;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) {
    if (!pool) {
      *error = "the ledger " + path +
               " does not exist; give --serial-from, --mac-from and --count to start one";
      return false;
    }
    LedgerLock lock;
    if (!lock.Take(path_, error)) return false;
    // Another run may have made it meanwhile.
    if (!fs::exists(fs::symlink_status(path, ec))) {
      pool_ = *pool;
      return Save({}, error);
    }
  }
  std::vector<LedgerLine> lines;
  if (!Load(&lines, error)) return false;
  if (pool && !(*pool == pool_)) {
    *error = "the ledger " + path + " holds another pool (serial numbers from " + pool_.serialFrom +
             ", MACs from " + MacString(pool_.macFrom) +
             Format(", %u units); leave out --serial-from, --mac-from and --count", pool_.count);
    return false;
  }
  return true;
}

bool Ledger::Load(std::vector<LedgerLine>* lines, std::string* error) {
  lines->clear();
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path_, ec);
  if (ec || !fs::is_regular_file(status)) {
    *error = "the ledger " + path_ + " is not a regular file";
    return false;
  }
  if (fs::file_size(path_, ec) > kMaxLedgerBytes || ec) {
    *error = "the ledger " + path_ + " is too large to be a ledger";
    return false;
  }
  std::ifstream in(path_, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    *error = "cannot read the ledger " + path_;
    return false;
  }
  const bool torn = !text.empty() && text.back() != '\n';
  std::vector<std::string> rows;
  std::istringstream stream(text);
  for (std::string row; std::getline(stream, row);) {
    if (!row.empty() && row.back() == '\r') row.pop_back();
    rows.push_back(row);
  }
  auto corrupt = [&](size_t row, const std::string& why) {
    *error = Format("the ledger %s is damaged at line %u: %s; it is left as it is", path_.c_str(),
                    static_cast<unsigned>(row + 1), why.c_str());
    return false;
  };
  if (rows.size() < 2 || (rows.size() == 2 && torn)) {
    *error = "the ledger " + path_ + " is not a zemb ledger (no pool and column lines)";
    return false;
  }
  const std::vector<std::string> head = SplitCsv(rows[0]);
  uint64_t mac = 0;
  if (head.size() != 8 || head[0] != kMagic || head[1] != "1" || head[2] != "serial_from" ||
      head[4] != "mac_from" || head[6] != "count") {
    *error = "the ledger " + path_ + " is not a zemb ledger (its first line is not its pool)";
    return false;
  }
  LedgerPool pool;
  if (!AllDecimal(head[7]) || head[7].empty() || head[7].size() > 9 ||
      !MakeLedgerPool(head[3], head[5], static_cast<uint32_t>(std::stoul(head[7])), &pool, error) ||
      !ParseMac(head[5], &mac)) {
    return corrupt(0, "the pool is not valid");
  }
  if (rows[1] != kColumns) return corrupt(1, "the column line is not the ledger's");
  if (rows.size() - 2 > pool.count) return corrupt(rows.size() - 1, "more lines than the pool");
  for (size_t row = 2; row < rows.size(); ++row) {
    const uint32_t index = static_cast<uint32_t>(row - 2);
    const Allocation expected = Nth(pool, index);
    std::vector<std::string> f = SplitCsv(rows[row]);
    if (torn && row + 1 == rows.size()) {
      // Cut short by a power cut: the allocation was handed out all the
      // same, and its values follow from its place.
      f.resize(7);
      lines->push_back({f[0], f[1], expected.serial, MacString(pool.macFrom + 2ull * index),
                        MacString(pool.macFrom + 2ull * index + 1), "", "interrupted"});
      continue;
    }
    if (f.size() != 7)
      return corrupt(row, Format("%u fields instead of 7", static_cast<unsigned>(f.size())));
    if (f[2] != expected.serial) {
      return corrupt(row, "serial " + f[2] + " where the pool gives " + expected.serial);
    }
    if (f[3] != MacString(pool.macFrom + 2ull * index) ||
        f[4] != MacString(pool.macFrom + 2ull * index + 1)) {
      return corrupt(row, "MACs that are not the pool's for this line");
    }
    if (f[6].empty()) return corrupt(row, "no result");
    lines->push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
  }
  pool_ = pool;
  return true;
}

bool Ledger::Save(const std::vector<LedgerLine>& lines, std::string* error) {
  std::string text =
      Format("%s,1,serial_from,%s,mac_from,%s,count,%u\n", kMagic, pool_.serialFrom.c_str(),
             MacString(pool_.macFrom).c_str(), pool_.count);
  text += std::string(kColumns) + "\n";
  for (const LedgerLine& l : lines) {
    text += Quote(l.time) + "," + Quote(l.device) + "," + l.serial + "," + l.macP + "," + l.macS +
            "," + Quote(l.sha256) + "," + Quote(l.result) + "\n";
  }
  ZembOutputFile out;
  if (!out.Open(path_, error) ||
      !out.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) ||
      !out.Commit(error)) {
    if (error->empty()) *error = "cannot write the ledger " + path_;
    return false;
  }
  return true;
}

bool Ledger::Allocate(const std::string& unitSerial, const std::string& device,
                      const std::string& sha256, Allocation* allocation, std::string* error) {
  LedgerLock lock;
  if (!lock.Take(path_, error)) return false;
  std::vector<LedgerLine> lines;
  if (!Load(&lines, error)) return false;
  for (uint32_t i = 0; i < lines.size(); ++i) {
    if (!unitSerial.empty() && lines[i].serial == unitSerial) {
      *allocation = Nth(pool_, i);
      allocation->reused = true;
      return true;
    }
  }
  if (lines.size() >= pool_.count) {
    *error = Format("the pool of %u units in %s is used up; start a new ledger with a new pool",
                    pool_.count, path_.c_str());
    return false;
  }
  const uint32_t index = static_cast<uint32_t>(lines.size());
  *allocation = Nth(pool_, index);
  lines.push_back({UtcNow(), device, allocation->serial, MacString(pool_.macFrom + 2ull * index),
                   MacString(pool_.macFrom + 2ull * index + 1), sha256, "allocated"});
  return Save(lines, error);
}

bool Ledger::Record(const Allocation& allocation, const std::string& device,
                    const std::string& sha256, const std::string& result, std::string* error) {
  LedgerLock lock;
  if (!lock.Take(path_, error)) return false;
  std::vector<LedgerLine> lines;
  if (!Load(&lines, error)) return false;
  if (allocation.index >= lines.size()) {
    *error = "the ledger " + path_ + " lost the line of serial " + allocation.serial;
    return false;
  }
  LedgerLine& line = lines[allocation.index];
  line.time = UtcNow();
  line.device = device;
  line.sha256 = sha256;
  line.result = result;
  return Save(lines, error);
}

}  // namespace zemb
