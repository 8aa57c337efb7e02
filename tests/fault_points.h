// Where a fault can be injected into a run, read off a healthy run's trace,
// and the faults themselves, for the fault matrices.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "sim/sim_device.h"

namespace zemb::test {

enum class FaultType { Fail, Stall, Corrupt, ShortRead, Refuse };

// The faults' names, in FaultType's order.
inline const char* FaultName(FaultType fault) {
  constexpr const char* kNames[] = {"fail_request", "stall_op", "corrupt_write", "short_read",
                                    "refused_command"};
  static_assert(std::size(kNames) == static_cast<size_t>(FaultType::Refuse) + 1);
  const auto index = static_cast<size_t>(fault);
  return index < std::size(kNames) ? kNames[index] : "";
}

// How many points of each kind the healthy run offers.
inline size_t Points(const std::vector<sim::TraceEntry>& trace, FaultType fault) {
  return static_cast<size_t>(
      std::count_if(trace.begin(), trace.end(), [&](const sim::TraceEntry& t) {
        switch (fault) {
          case FaultType::Fail:
            return true;
          case FaultType::Refuse:
            return t.kind != sim::RequestKind::StorageQuery;
          case FaultType::Stall:
            return t.kind == sim::RequestKind::AccessRom;
          case FaultType::Corrupt:
            return t.kind == sim::RequestKind::AccessRom && t.op == 0x02 && t.length > 0;
          case FaultType::ShortRead:
            // Reads of the request control, and of the data control. (An
            // I2C read's request write is traced as moving data from the
            // device.) On the CD-ROM face, every command whose data comes
            // from the device: all but writes, erases and the property
            // query.
            if (t.face == sim::Face::Cdrom) {
              const bool erase = t.kind == sim::RequestKind::AccessRom && t.op != 0x01;
              return t.kind != sim::RequestKind::StorageQuery && !t.toDevice && !erase &&
                     t.length > 0;
            }
            return t.face == sim::Face::Xu &&
                   (t.kind == sim::RequestKind::XuRead ||
                    (t.kind == sim::RequestKind::RomData && !t.toDevice));
        }
        return false;
      }));
}

// 1..count, sampled past the first and before the last 40.
inline std::vector<uint32_t> Sample(size_t count) {
  std::vector<uint32_t> points;
  for (size_t i = 1; i <= count; ++i) {
    if (i <= 40 || i + 40 > count || (i - 41) % 7 == 0) points.push_back(static_cast<uint32_t>(i));
  }
  return points;
}

inline sim::Fault MakeFault(FaultType type, uint32_t nth) {
  sim::Fault f;
  f.nth = nth;
  switch (type) {
    case FaultType::Fail:
      f.type = sim::Fault::Type::FailRequest;
      f.kind = sim::RequestKind::Any;
      break;
    case FaultType::Stall:
      f.type = sim::Fault::Type::StallOp;
      f.op = 0;
      break;
    case FaultType::Corrupt:
      f.type = sim::Fault::Type::CorruptWrite;
      break;
    case FaultType::ShortRead:
      f.type = sim::Fault::Type::ShortRead;
      break;
    case FaultType::Refuse:
      // Counted among the commands alone: discovery's property queries
      // carry no SCSI status.
      f.type = sim::Fault::Type::RefuseCommand;
      f.kind = sim::RequestKind::Any;
      break;
  }
  return f;
}

// The extension unit answers a status request from the request last
// written; a failed write of a later poll leaves the previous status
// request in place, so the read that follows still tells whether the
// operation has finished. The transport does not examine that write (the
// read's result decides), and the run goes on to succeed.
inline bool StatusWriteFailedAndReadAnswered(const std::vector<sim::TraceEntry>& trace) {
  for (size_t i = 0; i + 1 < trace.size(); ++i) {
    const sim::TraceEntry& t = trace[i];
    if (t.failed && t.note.rfind("fault:", 0) == 0) {
      const sim::TraceEntry& next = trace[i + 1];
      return t.face == sim::Face::Xu && t.kind == sim::RequestKind::RomStatus && t.toDevice &&
             next.face == sim::Face::Xu && !next.toDevice && !next.failed;
    }
  }
  return false;
}

}  // namespace zemb::test
