// The spool: final records of units their store could not take yet, kept
// in the station's working folder until `pool sync` hands them over.
//
//   pool,index,serial,mac_p,...        (the pool's masked --pool argument, then the record)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "common/host/file_names.h"
#include "zemb/pool/csv.h"
#include "zemb/pool/file_lock.h"
#include "zemb/pool/pool.h"
#include "zemb/zemb_run.h"
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zemb {

namespace {

constexpr const char* kSpoolName = "zemb-pool-spool.csv";

std::string SpoolHeader() {
  std::vector<std::string> fields = {"pool"};
  for (const std::string& f : UnitRecordFields()) fields.push_back(f);
  return CsvRow(fields);
}

struct SpoolRow {
  std::string pool;
  UnitRecord record;
  std::string text;  // the line as it stands
};

bool ReadSpool(const std::string& path, std::vector<SpoolRow>* rows, std::string* error) {
  rows->clear();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return true;
  std::ifstream in(FilePath(path), std::ios::binary);
  if (!in) {
    *error = "cannot read the spool " + path;
    return false;
  }
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      first = false;
      if (line == SpoolHeader()) continue;
    }
    if (line.empty()) continue;
    bool complete = true;
    std::vector<std::string> f = SplitCsvRow(line, &complete);
    SpoolRow row;
    row.text = line;
    if (complete && f.size() == UnitRecordFields().size() + 1) {
      row.pool = f[0];
      f.erase(f.begin());
      if (!UnitRecordFromValues(f, &row.record)) row.pool.clear();
    }
    // A line cut short (a power cut while it was written) names no pool
    // and stays where it is, for an engineer to see.
    rows->push_back(row);
  }
  return true;
}

}  // namespace

std::string SpoolPath() {
  return kSpoolName;
}

bool SpoolRecord(const std::string& spoolPath, const std::string& poolSpec,
                 const UnitRecord& record, std::string* error) {
  PoolError locked;
  PoolFileLock lock;
  if (!lock.Take(spoolPath, &locked)) {
    *error = locked.text;
    return false;
  }
  std::error_code ec;
  const bool fresh = !std::filesystem::exists(spoolPath, ec);
  std::FILE* file = OpenFile(spoolPath, "ab");
  if (file == nullptr) {
    *error = "cannot open the spool " + spoolPath;
    return false;
  }
  std::vector<std::string> fields = {MaskSecrets(poolSpec)};
  for (const std::string& v : UnitRecordValues(record)) fields.push_back(v);
  const std::string text = (fresh ? SpoolHeader() + "\n" : "") + CsvRow(fields) + "\n";
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
#if defined(_WIN32)
  ok = ok && _commit(_fileno(file)) == 0;  // FlushFileBuffers
#else
  ok = ok && fsync(fileno(file)) == 0;
#endif
  ok = std::fclose(file) == 0 && ok;
  if (!ok) *error = "cannot write the spool " + spoolPath + " (disk full?)";
  return ok;
}

bool SpoolHolds(const std::string& spoolPath, const std::string& poolSpec,
                const UnitRecord& record) {
  PoolError locked;
  PoolFileLock lock;
  if (!lock.Take(spoolPath, &locked)) return false;
  std::vector<SpoolRow> rows;
  std::string why;
  if (!ReadSpool(spoolPath, &rows, &why)) return false;
  const std::string pool = MaskSecrets(poolSpec);
  return std::any_of(rows.begin(), rows.end(), [&](const SpoolRow& row) {
    return row.pool == pool && row.record.index == record.index &&
           row.record.serial == record.serial && row.record.start == record.start;
  });
}

bool SyncSpool(const std::string& spoolPath, const std::string& poolSpec, PoolStore& store,
               SyncResult* result, PoolError* error) {
  *result = SyncResult{};
  PoolFileLock lock;
  if (!lock.Take(spoolPath, error)) return false;
  std::vector<SpoolRow> rows;
  std::string why;
  if (!ReadSpool(spoolPath, &rows, &why)) {
    *error = PoolError{PoolErrorKind::Unreachable, why};
    return false;
  }
  const std::string pool = MaskSecrets(poolSpec);
  // What the store has already: a record pushed by a sync that ended before
  // it could take the record out of the spool is not added twice.
  std::vector<UnitRecord> known;
  if (!store.Records(&known, error)) return false;
  std::map<uint32_t, UnitRecord> latest;
  for (UnitRecord& r : known) latest[r.index] = std::move(r);
  std::vector<const SpoolRow*> keep;
  for (const SpoolRow& row : rows) {
    if (row.pool != pool) {
      if (!row.pool.empty()) ++result->other;
      keep.push_back(&row);
      continue;
    }
    // A record is there when the store's latest is the same finish; a
    // spooled hook outcome (the same finish, with its hook) then joins it.
    const auto it = latest.find(row.record.index);
    const bool there = it != latest.end() && it->second.state == row.record.state &&
                       it->second.end == row.record.end &&
                       it->second.devicePath == row.record.devicePath;
    PoolError refused;
    bool taken = false;
    if (there) {
      taken = row.record.hook.empty() || it->second.hook == row.record.hook ||
              store.AddHook(row.record, &refused);
    } else {
      taken = store.Finish(row.record, &refused);
    }
    if (taken) {
      UnitRecord& now = latest[row.record.index];
      if (there) {
        if (!row.record.hook.empty()) now.hook = row.record.hook;
      } else {
        now = row.record;
      }
      ++result->pushed;
      continue;
    }
    ++result->waiting;
    keep.push_back(&row);
    if (refused.kind == PoolErrorKind::Unreachable) *error = refused;
  }
  std::string text = SpoolHeader() + "\n";
  for (const SpoolRow* row : keep) text += row->text + "\n";
  if (keep.empty()) {
    RemoveFile(spoolPath);
  } else if (result->pushed > 0) {
    ZembOutputFile out;
    std::string failed;
    if (!out.Open(spoolPath, &failed) ||
        !out.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) ||
        !out.Commit(&failed)) {
      *error = PoolError{PoolErrorKind::Unreachable,
                         "the store took the spooled records, but the spool " + spoolPath +
                             " could not be rewritten (" + failed +
                             "); a later sync will not add them twice"};
      return false;
    }
  }
  return error->kind == PoolErrorKind::None || result->waiting == 0;
}

}  // namespace zemb
