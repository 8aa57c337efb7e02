// zemb pool: make a pool, show where it stands, export every unit's record,
// and push the spool.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "zemb/pool/csv.h"
#include "zemb/pool/pool.h"
#include "zemb/provision.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

std::string UnitsText(const std::vector<UnitRecord>& units) {
  std::string text;
  for (const UnitRecord& u : units) {
    text += Format("  %s  %s  %s  station %s%s%s  since %s%s%s\n", u.serial.c_str(), u.macP.c_str(),
                   u.unitId.empty() ? u.devicePath.c_str() : u.unitId.c_str(),
                   u.station.empty() ? "-" : u.station.c_str(),
                   u.operatorName.empty() ? "" : ", operator ", u.operatorName.c_str(),
                   u.start.empty() ? (u.end.empty() ? "-" : u.end.c_str()) : u.start.c_str(),
                   u.reason.empty() ? "" : ": ", u.reason.c_str());
  }
  return text;
}

std::string UnitsJson(const std::vector<UnitRecord>& units) {
  std::string j = "[";
  for (size_t i = 0; i < units.size(); ++i) {
    const UnitRecord& u = units[i];
    j += Format(
        "%s{\"serial\": %s, \"mac_p\": %s, \"mac_s\": %s, \"unit_id\": %s, "
        "\"device_path\": %s, \"station\": %s, \"operator\": %s, \"start\": %s, "
        "\"reason\": %s}",
        i == 0 ? "" : ", ", JsonString(u.serial).c_str(), JsonString(u.macP).c_str(),
        JsonString(u.macS).c_str(), JsonString(u.unitId).c_str(), JsonString(u.devicePath).c_str(),
        JsonString(u.station).c_str(), JsonString(u.operatorName).c_str(),
        JsonString(u.start).c_str(), JsonString(u.reason).c_str());
  }
  return j + "]";
}

int ShowStatus(ZembRun& run, PoolStore& store) {
  PoolStatusReport r;
  PoolError why;
  if (!store.Status(&r, &why)) return run.Error(ExitStatusOf(why.kind), "%s", why.text.c_str());
  const std::string first = NthValue(r.range, 0).serial;
  const std::string macFrom = NthValue(r.range, 0).macP;
  if (run.options.json) {
    std::string clones = "[";
    for (size_t i = 0; i < r.clones.size(); ++i) {
      std::string units = "[";
      for (size_t k = 0; k < r.clones[i].units.size(); ++k) {
        units += (k == 0 ? "" : ", ") + JsonString(r.clones[i].units[k]);
      }
      clones += Format("%s{\"serial\": %s, \"units\": %s]}", i == 0 ? "" : ", ",
                       JsonString(r.clones[i].serial).c_str(), units.c_str());
    }
    clones += "]";
    run.Out(
        "{\"pool\": %s, \"serial_from\": %s, \"mac_from\": %s, \"size\": %u, "
        "\"committed\": %u, \"reserved\": %u, \"failed\": %u, \"released\": %u, \"left\": %u, "
        "\"reserved_units\": %s, \"failed_units\": %s, \"clones\": %s}\n",
        JsonString(MaskSecrets(run.options.pool)).c_str(), JsonString(first).c_str(),
        JsonString(macFrom).c_str(), r.range.count, r.committed, r.reserved, r.failed, r.released,
        r.left, UnitsJson(r.reservedUnits).c_str(), UnitsJson(r.failedUnits).c_str(),
        clones.c_str());
    return kExitOk;
  }
  run.Out("pool %s: serial numbers from %s, MACs from %s\n", store.Name().c_str(), first.c_str(),
          macFrom.c_str());
  run.Out("size %u: %u committed, %u reserved, %u failed, %u released, %u left\n", r.range.count,
          r.committed, r.reserved, r.failed, r.released, r.left);
  if (!r.reservedUnits.empty()) {
    run.Out("reserved (a run that has not finished, or died):\n%s",
            UnitsText(r.reservedUnits).c_str());
  }
  if (!r.failedUnits.empty()) {
    run.Out("failed (held for an engineer, never handed out again):\n%s",
            UnitsText(r.failedUnits).c_str());
  }
  for (const PoolStatusReport::Clone& c : r.clones) {
    std::string units;
    for (const std::string& u : c.units) units += (units.empty() ? "" : ", ") + u;
    run.Out("seen on more than one unit: %s on %s\n", c.serial.c_str(), units.c_str());
  }
  return kExitOk;
}

int Export(ZembRun& run, PoolStore& store) {
  // Exporting over the pool itself (or its index) would replace the journal.
  std::error_code ec;
  for (const std::string& own : {run.options.pool, run.options.pool + ".index"}) {
    if (std::filesystem::equivalent(run.options.file, own, ec)) {
      return run.Error(kExitUsage, "%s is the pool itself; export to another file",
                       run.options.file.c_str());
    }
  }
  std::vector<UnitRecord> records;
  PoolError why;
  if (!store.Records(&records, &why))
    return run.Error(ExitStatusOf(why.kind), "%s", why.text.c_str());
  std::string text = CsvRow(UnitRecordFields()) + "\n";
  for (const UnitRecord& r : records) text += CsvRow(UnitRecordValues(r)) + "\n";
  ZembOutputFile out;
  std::string error;
  if (!out.Open(run.options.file, &error) ||
      !out.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) ||
      !out.Commit(&error)) {
    return run.Error(kExitUsage, "%s", error.empty() ? "cannot write the export" : error.c_str());
  }
  run.Out("exported %s to %s\n", Counted(records.size(), "unit").c_str(), run.options.file.c_str());
  return kExitOk;
}

}  // namespace

int ZembPool(ZembRun& run) {
  const ZembOptions& o = run.options;
  PoolError why;
  std::unique_ptr<PoolStore> store = MakePoolStore(o.pool, &why);
  if (store == nullptr) return run.Error(ExitStatusOf(why.kind), "%s", why.text.c_str());
  PoolWaitNote noted(run, *store);
  if (o.poolAction == PoolAction::Init) {
    PoolRange range;
    std::string error;
    if (!MakePoolRange(o.serialFrom, o.macFrom, *o.count, &range, &error)) {
      return run.Error(kExitUsage, "%s", error.c_str());
    }
    if (!store->Init(range, &why)) return run.Error(ExitStatusOf(why.kind), "%s", why.text.c_str());
    run.Out("pool %s: %u units, serial numbers from %s, MACs from %s\n", store->Name().c_str(),
            range.count, range.serialFrom.c_str(), NthValue(range, 0).macP.c_str());
    return kExitOk;
  }
  if (!store->Open(&why)) return run.Error(ExitStatusOf(why.kind), "%s", why.text.c_str());
  switch (o.poolAction) {
    case PoolAction::Status:
      return ShowStatus(run, *store);
    case PoolAction::Export:
      return Export(run, *store);
    case PoolAction::Sync: {
      SyncResult result;
      const bool ok = SyncSpool(SpoolPath(), o.pool, *store, &result, &why);
      run.Out("pushed %s from %s to the pool; %u still waiting%s\n",
              Counted(result.pushed, "record").c_str(), SpoolPath().c_str(), result.waiting,
              result.other > 0 ? Format(" (and %u of other pools)", result.other).c_str() : "");
      if (!ok) return run.Error(kExitFailed, "%s", why.text.c_str());
      return kExitOk;
    }
    default:
      return kExitUsage;
  }
}

}  // namespace zemb
