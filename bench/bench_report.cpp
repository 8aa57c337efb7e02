#include "bench/bench_report.h"

#include <cstdio>

#include "bench/process_stats.h"
#include "common/base/text.h"
#include "common/rom/rom_layout.h"

namespace zemb::bench {

namespace {

constexpr uint64_t kCpuShareLimitPercent = 2;  // of the run's device time
constexpr int64_t kMemoryGrowthLimitKiB = 256;
constexpr double kMakeThroughputShare = 0.9;  // of cp's

std::string Upper(std::string text) {
  for (char& c : text) c = UpperCase(c);
  return text;
}

const CaseRun* FindRun(const std::vector<CaseRun>& runs, const std::string& function,
                       sim::Face face, sim::RomKind kind, uint32_t size) {
  for (const CaseRun& run : runs) {
    if (run.job.function == function && run.job.face == face && run.job.kind == kind &&
        run.job.size == size) {
      return &run;
    }
  }
  return nullptr;
}

}  // namespace

std::string SizeText(uint64_t bytes) {
  char text[32];
  if (bytes % kMiB == 0) {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes / kMiB));
  } else if (bytes >= kMiB) {
    std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / kMiB);
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  }
  return text;
}

void PrintHeader() {
  std::printf("%-5s %-5s %-3s %-10s %9s %9s %5s", "func", "face", "rom", "size", "device s",
              "bound s", "ratio");
  for (int c = 0; c < kColumns; ++c) std::printf(" %8s", kColumnNames[c]);
  std::printf(" %4s %8s %6s %4s %8s\n", "req", "cpu ms/M", "cpu %", "cpu", "peak KiB");
}

void PrintRow(const CaseRun& run, Summary& summary) {
  const Job& job = run.job;
  const ModelTotals model = ModelOf(job).Totals();
  const uint64_t deviceUs = Get(run.results, "device_us");
  const uint64_t cpuUs = Get(run.results, "cpu_us");
  RequestCounts seen;
  for (int c = 0; c < kColumns; ++c) {
    seen.n[c] = Get(run.results, std::string("req_") + kColumnNames[c]);
  }
  const uint64_t refused = Get(run.results, "refused");
  const bool requestsOk = seen == model.requests && refused == 0;
  const bool cpuOk = cpuUs * 100 < kCpuShareLimitPercent * deviceUs;
  const bool passed = run.passed;
  ++summary.rows;
  if (!requestsOk) ++summary.requestMiss;
  if (!cpuOk) ++summary.cpuMiss;
  if (!passed) ++summary.failedRuns;

  std::printf("%-5s %-5s %-3s %-10s %9.2f %9.2f %5.2f", Upper(job.function).c_str(),
              FaceName(job.face), job.kind == sim::RomKind::Spi ? "SPI" : "I2C",
              SizeText(job.size != 0 ? job.size : PayloadBytes(job)).c_str(), deviceUs / 1e6,
              model.lowerBoundUs / 1e6,
              model.lowerBoundUs != 0 ? static_cast<double>(deviceUs) / model.lowerBoundUs : 0.0);
  for (int c = 0; c < kColumns; ++c) {
    char cell[48];
    if (seen.n[c] == model.requests.n[c]) {
      std::snprintf(cell, sizeof cell, "%llu", static_cast<unsigned long long>(seen.n[c]));
    } else {
      std::snprintf(cell, sizeof cell, "%llu(%llu)", static_cast<unsigned long long>(seen.n[c]),
                    static_cast<unsigned long long>(model.requests.n[c]));
    }
    std::printf(" %8s", cell);
  }
  const double mib = static_cast<double>(PayloadBytes(job)) / kMiB;
  std::printf(" %4s %8.1f %6.3f %4s %8lld %s\n", requestsOk ? "PASS" : "MISS",
              mib > 0 ? cpuUs / 1000.0 / mib : 0.0,
              deviceUs != 0 ? 100.0 * static_cast<double>(cpuUs) / deviceUs : 0.0,
              cpuOk ? "PASS" : "MISS", static_cast<long long>(Get(run.results, "hwm_kib")),
              passed ? "" : "RUN FAILED");
  if (refused != 0) {
    std::printf("      %llu request(s) refused by the device\n",
                static_cast<unsigned long long>(refused));
  }
  if (requestsOk && deviceUs != model.deviceUs) {
    std::printf("      device time differs from the protocol's %.6f s\n", model.deviceUs / 1e6);
  }
}

void PrintZembTargets(const std::vector<CaseRun>& runs, Summary& summary) {
  std::printf("\nzemb device time against its measures (1 MiB):\n");
  const sim::Face faces[] = {sim::Face::Own, sim::Face::Cdrom, sim::Face::Xu};
  for (sim::RomKind kind : {sim::RomKind::Spi, sim::RomKind::I2c}) {
    const bool spi = kind == sim::RomKind::Spi;
    for (sim::Face face : faces) {
      const CaseRun* read = FindRun(runs, "zread", face, kind, kMiB);
      auto line = [&](const char* what, const char* function, const std::string& measure,
                      uint64_t measureUs, bool measured, double limit) {
        const CaseRun* run = FindRun(runs, function, face, kind, kMiB);
        if (run == nullptr) return;
        const uint64_t deviceUs = Get(run->results, "device_us");
        const double ratio = measureUs != 0 ? static_cast<double>(deviceUs) / measureUs : 0.0;
        const bool ok = run->passed && measured && measureUs != 0 && ratio <= limit;
        ++summary.zembTargets;
        if (!ok) ++summary.zembMiss;
        std::printf("  %-10s %-5s %s %8.2f s  %-24s %8.2f s  %5.3f x (<= %.2f)  %s%s\n", what,
                    FaceName(face), spi ? "SPI" : "I2C", deviceUs / 1e6, measure.c_str(),
                    measureUs / 1e6, ratio, limit, ok ? "PASS" : "MISS",
                    run->passed ? "" : "  RUN FAILED");
      };
      const bool readOk = read != nullptr && read->passed;
      const uint64_t readUs = read != nullptr ? Get(read->results, "device_us") : 0;
      line("same image", "zsame", "zemb read", readUs, readOk, 1.05);
      if (!spi) continue;
      ProtocolModel sector(face, kind, sim::Timing{}, kSpiPageSize);
      sector.EraseSector();
      sector.WritePieces(kChangedSector, kRomSectorSize);
      line("one sector", "zsect", "zemb read + erase, pages", readUs + sector.Totals().deviceUs,
           readOk, 1.1);
      const CaseRun* burn = FindRun(runs, "burn", face, kind, kMiB);
      line("full image", "zfull", "BURN", burn != nullptr ? Get(burn->results, "device_us") : 0,
           burn != nullptr && burn->passed, 0.75);
    }
  }
}

void PrintMemoryGrowth(const std::string& what, const CaseRun& small, const CaseRun& large,
                       Summary& summary) {
  const int64_t growth = static_cast<int64_t>(Get(large.results, "hwm_kib")) -
                         static_cast<int64_t>(Get(small.results, "hwm_kib"));
  const int64_t rssGrowth = static_cast<int64_t>(Get(large.results, "rss_kib")) -
                            static_cast<int64_t>(Get(small.results, "rss_kib"));
  const bool ok = small.ran && large.ran && growth < kMemoryGrowthLimitKiB;
  if (!ok) ++summary.memoryMiss;
  std::printf(
      "  %-14s %8llu -> %8llu KiB  growth %+5lld KiB  %s   (ru_maxrss %llu -> %llu, %+lld)\n",
      what.c_str(), static_cast<unsigned long long>(Get(small.results, "hwm_kib")),
      static_cast<unsigned long long>(Get(large.results, "hwm_kib")),
      static_cast<long long>(growth), ok ? "PASS" : "MISS",
      static_cast<unsigned long long>(Get(small.results, "rss_kib")),
      static_cast<unsigned long long>(Get(large.results, "rss_kib")),
      static_cast<long long>(rssGrowth));
}

void PrintMakeAgainstCp(const CaseRun& make, Summary& summary) {
  const double bytes = static_cast<double>(Get(make.results, "bytes"));
  const uint64_t makeUs = Get(make.results, "make_best_us");
  const uint64_t cpUs = Get(make.results, "cp_best_us");
  const double makeRate = makeUs != 0 ? bytes / makeUs : 0;  // bytes/us = MB/s
  const double cpRate = cpUs != 0 ? bytes / cpUs : 0;
  const bool ok = make.passed && cpRate > 0 && makeRate >= kMakeThroughputShare * cpRate;
  if (!ok) ++summary.makeMiss;
  const uint64_t makeCpu = Get(make.results, "make_cpu_best_us");
  const uint64_t cpCpu = Get(make.results, "cp_cpu_best_us");
  std::printf(
      "  MAKE %-9s %8.1f MB/s   cp %8.1f MB/s   %.2f x cp   %s%s\n"
      "                 CPU time: MAKE %.1f ms, cp %.1f ms (%.2f x); cp of an empty file %.2f ms "
      "wall\n",
      SizeText(make.job.size).c_str(), makeRate, cpRate, cpRate > 0 ? makeRate / cpRate : 0.0,
      ok ? "PASS" : "MISS", make.passed ? "" : "  RUN FAILED", makeCpu / 1000.0, cpCpu / 1000.0,
      makeCpu != 0 ? static_cast<double>(cpCpu) / makeCpu : 0.0,
      Get(make.results, "cp_empty_best_us") / 1000.0);
}

void PrintRealTime(const CaseRun& real) {
  const ModelTotals model = ModelOf(real.job).Totals();
  const uint64_t pauses = Get(real.results, "pauses");
  const uint64_t requested = Get(real.results, "pause_requested_us");
  const uint64_t spent = Get(real.results, "pause_wall_us");
  std::printf(
      "\nReal time (sim::RealClock), BURN own SPI %s: %s\n"
      "  run %.2f s wall; the protocol's device time on the model %.2f s, lower bound %.2f s\n"
      "  %llu pauses: %.3f s asked for, %.3f s spent; per pause %.3f ms asked, %.3f ms spent "
      "(+%.3f ms, longest %.3f ms)\n",
      SizeText(real.job.size).c_str(), real.passed ? "Burn Pass" : "RUN FAILED",
      Get(real.results, "wall_us") / 1e6, model.deviceUs / 1e6, model.lowerBoundUs / 1e6,
      static_cast<unsigned long long>(pauses), requested / 1e6, spent / 1e6,
      pauses ? requested / 1000.0 / pauses : 0.0, pauses ? spent / 1000.0 / pauses : 0.0,
      pauses ? (static_cast<double>(spent) - static_cast<double>(requested)) / 1000.0 / pauses
             : 0.0,
      Get(real.results, "pause_longest_us") / 1000.0);
}

void PrintTargets(const Summary& summary) {
  std::printf(
      "\nTargets: requests exactly the protocol's: %d of %d rows; host CPU under %llu%% of "
      "device time: %d of %d;\n  memory growth under %lld KiB: %s; MAKE at least %.1f x cp: %s; "
      "runs that failed: %d;\n  zemb device-time targets: %d of %d\n",
      summary.rows - summary.requestMiss, summary.rows,
      static_cast<unsigned long long>(kCpuShareLimitPercent), summary.rows - summary.cpuMiss,
      summary.rows, static_cast<long long>(kMemoryGrowthLimitKiB),
      summary.memoryMiss ? "MISS" : "PASS", kMakeThroughputShare,
      summary.makeMiss ? "MISS" : "PASS", summary.failedRuns,
      summary.zembTargets - summary.zembMiss, summary.zembTargets);
  std::printf("  (orchestrating process peak %lld KiB)\n", static_cast<long long>(MaxRssKiB()));
}

}  // namespace zemb::bench
