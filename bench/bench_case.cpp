#include "bench/bench_case.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/bench_host.h"
#include "bench/process_stats.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "zemb/zemb.h"

namespace fs = std::filesystem;

namespace zemb::bench {

namespace {

// The updates work on a programmed ROM: the header the layout writes for a
// ROM without an image, the reserved rest erased-to-zero.
void PutProgrammedHeader(std::vector<uint8_t>& rom) {
  const auto header = EncodeRomHeader(DefaultRomHeader(0));
  std::copy(header.begin(), header.end(), rom.begin());
}

bool LoadFile(const std::string& path, std::vector<uint8_t>& rom) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  const size_t n = std::fread(rom.data(), 1, rom.size(), file);
  std::fclose(file);
  return n > 0;
}

bool SameAsFile(const std::vector<uint8_t>& rom, uint32_t address, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::vector<uint8_t> block(64 * 1024);
  uint64_t at = address;
  bool same = true;
  size_t n;
  while (same && (n = std::fread(block.data(), 1, block.size(), file)) > 0) {
    same = at + n <= rom.size() && std::memcmp(rom.data() + at, block.data(), n) == 0;
    at += n;
  }
  std::fclose(file);
  return same;
}

// Whether the file at `path` holds, from `offset` to its end, exactly the
// bytes of `part`.
bool TailIs(const std::string& path, uint64_t offset, const std::string& part) {
  std::FILE* whole = std::fopen(path.c_str(), "rb");
  std::FILE* piece = std::fopen(part.c_str(), "rb");
  bool same = whole != nullptr && piece != nullptr &&
              std::fseek(whole, static_cast<long>(offset), SEEK_SET) == 0;
  std::vector<uint8_t> a(64 * 1024), b(64 * 1024);
  while (same) {
    const size_t n = std::fread(a.data(), 1, a.size(), whole);
    const size_t m = std::fread(b.data(), 1, b.size(), piece);
    same = n == m && std::memcmp(a.data(), b.data(), n) == 0;
    if (n == 0) break;
  }
  if (whole != nullptr) std::fclose(whole);
  if (piece != nullptr) std::fclose(piece);
  return same;
}

void WriteConfig(sim::RomKind kind) {
  std::FILE* file = std::fopen("rom.cfg", "w");
  const bool spi = kind == sim::RomKind::Spi;
  std::fprintf(file,
               "ROM_TYPE %s\nROM_NAME W25Q128\nROM_VENDOR Zemb\nROM_SIZE %u\nPAGE_SIZE %u\n"
               "ADDRESS_SIZE 3\n",
               spi ? "SPI" : "I2C", kChipSize, spi ? kSpiPageSize : kI2cPageSize);
  std::fclose(file);
}

void WriteResults(const std::string& path, const Results& results) {
  std::ofstream out(path);
  for (const auto& [key, value] : results) out << key << ' ' << value << '\n';
}

// Runs `cp source target`; gives its wall time and its CPU time (user and
// system), both 0 when it failed.
void TimeCp(const std::string& source, const std::string& target, uint64_t* wallUs,
            uint64_t* cpuUs) {
  *wallUs = *cpuUs = 0;
  const uint64_t start = SteadyUs();
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    execlp("cp", "cp", source.c_str(), target.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const uint64_t spent = SteadyUs() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return;
  *wallUs = spent;
  *cpuUs = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
           static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

int RunMakeCase(const Job& job, const std::string& inputs, Results& results) {
  const std::string hwfw = inputs + "/hwfw.bin";
  const std::string desc = inputs + "/desc.bin";
  const std::string image = inputs + "/" + InputName("burn", job.size);
  const std::vector<std::string> words = {"ZembRomProgram", "MAKE", hwfw, desc, image};
  std::vector<const char*> argv;
  for (const auto& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);

  sim::VirtualClock clock;
  BenchHost host(sim::SimMachine{}, nullptr, clock);
  results["rss_before_kib"] = std::to_string(MaxRssKiB());
  // MAKE and cp take turns, so a busy moment of the machine falls on both.
  // Wall time is what the operator waits; CPU time is the work itself, and
  // tells the two apart on a machine that others are using too.
  uint64_t makeBest = UINT64_MAX, makeCpuBest = UINT64_MAX, cpBest = UINT64_MAX,
           cpCpuBest = UINT64_MAX, cpEmptyBest = UINT64_MAX;
  std::FILE* empty = std::fopen("empty.bin", "wb");
  if (empty != nullptr) std::fclose(empty);
  for (int round = 0; round < kThroughputRounds; ++round) {
    // Both write a new file every round: the previous round's output is
    // removed beforehand, untimed, for MAKE and cp alike, so neither pays
    // for the file system dropping (and flushing) the last round's 16 MiB.
    std::remove(kKeshFileName);
    std::remove("copy.bin");
    const uint64_t cpu = CpuUs();
    const uint64_t start = SteadyUs();
    RunRomProgram(static_cast<int>(words.size()), argv.data(), host);
    makeBest = std::min(makeBest, SteadyUs() - start);
    makeCpuBest = std::min(makeCpuBest, CpuUs() - cpu);
    if (round == 0) {
      // The memory of one MAKE, before cp runs from this process.
      results["cpu_us"] = std::to_string(CpuUs() - cpu);
      results["rss_kib"] = std::to_string(MaxRssKiB());
      results["hwm_kib"] = std::to_string(HighWaterKiB());
    }
    uint64_t wall = 0, cpuUs = 0;
    TimeCp(kKeshFileName, "copy.bin", &wall, &cpuUs);
    if (wall != 0) {
      cpBest = std::min(cpBest, wall);
      cpCpuBest = std::min(cpCpuBest, cpuUs);
    }
    TimeCp("empty.bin", "empty_copy.bin", &wall, &cpuUs);
    if (wall != 0) cpEmptyBest = std::min(cpEmptyBest, wall);
  }
  auto best = [](uint64_t v) { return std::to_string(v == UINT64_MAX ? 0 : v); };
  results["make_cpu_best_us"] = best(makeCpuBest);
  results["cp_cpu_best_us"] = best(cpCpuBest);
  std::fflush(stdout);
  results["make_best_us"] = std::to_string(makeBest);
  results["cp_best_us"] = best(cpBest);
  results["cp_empty_best_us"] = best(cpEmptyBest);
  std::error_code error;
  const uint64_t bytes = fs::file_size(kKeshFileName, error);
  results["bytes"] = std::to_string(error ? 0 : bytes);
  results["verified"] = !error && bytes == kImageAddress + uint64_t{job.size} &&
                                TailIs(kKeshFileName, kImageAddress, image)
                            ? "1"
                            : "0";
  return 0;
}

}  // namespace

int RunCase(const Job& job, const std::string& inputs, const std::string& resultPath) {
  Results results;
  if (job.function == "make") {
    RunMakeCase(job, inputs, results);
    WriteResults(resultPath, results);
    return 0;
  }
  WriteConfig(job.kind);
  sim::DeviceState state = sim::DefaultDeviceState(job.kind, kChipSize);
  state.ownFace = job.face == sim::Face::Own;
  state.cdromFace = job.face == sim::Face::Cdrom;
  state.xuFace = job.face == sim::Face::Xu;
  const std::string input = inputs + "/" + InputName(job.function, job.size);
  if (IsZemb(job.function)) {
    // zemb finds the image in the ROM already (zfull: an erased ROM).
    if (job.function != "zfull" &&
        !LoadFile(inputs + "/" + InputName("burn", job.size), state.rom)) {
      std::fprintf(stderr, "zemb_bench: no image for %s\n", job.function.c_str());
      return 2;
    }
  } else if (job.function != "burn" && job.function != "realtime") {
    // The updates work on a programmed ROM: a valid header at least.
    PutProgrammedHeader(state.rom);
  }
  const sim::SimMachine machine = sim::MachineFor(state);

  std::vector<std::string> words;
  bool misc = false;
  const bool zembRun = IsZemb(job.function);
  if (job.function == "zread") {
    words = {
        "zemb", "read", "out.bin", "--config", "rom.cfg", "--length", std::to_string(job.size)};
  } else if (zembRun) {
    words = {"zemb", "write", input, "--config", "rom.cfg"};
  } else if (job.function == "burn" || job.function == "realtime") {
    words = {"ZembRomProgram", "BURN", input, "rom.cfg"};
  } else if (job.function == "hwfw") {
    words = {"ZembRomProgram", "HWFW", input, "rom.cfg"};
  } else if (job.function == "img") {
    words = {"ZembRomProgram", "IMG", input, "rom.cfg"};
  } else if (job.function == "desc") {
    words = {"ZembRomProgram", "DESC", input, "rom.cfg"};
  } else if (job.function == "ser") {
    words = {"ZembRomMisc", "SER", kSerial, "rom.cfg"};
    misc = true;
  } else {
    std::fprintf(stderr, "zemb_bench: unknown case %s\n", job.function.c_str());
    return 2;
  }
  std::vector<const char*> argv;
  for (const auto& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);

  std::unique_ptr<sim::Clock> clock;
  if (job.function == "realtime") {
    clock = std::make_unique<sim::RealClock>();
  } else {
    clock = std::make_unique<sim::VirtualClock>();
  }
  sim::SimDevice device(std::move(state), *clock);
  BenchHost host(machine, &device, *clock);
  host.SetPauseOverrunUs(job.pauseOverrunUs);

  const int64_t before = MaxRssKiB();
  const uint64_t device0 = clock->NowUs();
  const uint64_t wall0 = SteadyUs();
  const int64_t faults0 = MinorFaults();
  const uint64_t cpu0 = CpuUs();
  int status = 0;
  if (zembRun) {
    status = RunZemb(static_cast<int>(words.size()), argv.data(), host);
  } else if (misc) {
    RunRomMisc(static_cast<int>(words.size()), argv.data(), host);
  } else {
    RunRomProgram(static_cast<int>(words.size()), argv.data(), host);
  }
  const uint64_t cpu = CpuUs() - cpu0;
  const int64_t faults = MinorFaults() - faults0;
  const uint64_t wall = SteadyUs() - wall0;
  const uint64_t deviceUs = clock->NowUs() - device0;
  std::fflush(stdout);
  host.DrainTrace();
  results["rss_kib"] = std::to_string(MaxRssKiB());
  results["hwm_kib"] = std::to_string(HighWaterKiB());
  results["rss_before_kib"] = std::to_string(before);
  results["cpu_us"] = std::to_string(cpu);
  results["wall_us"] = std::to_string(wall);
  results["minor_faults"] = std::to_string(faults);
  results["device_us"] = std::to_string(deviceUs);
  for (int c = 0; c < kColumns; ++c) {
    results[std::string("req_") + kColumnNames[c]] = std::to_string(host.Trace().requests.n[c]);
  }
  results["refused"] = std::to_string(host.Trace().refused);
  results["pauses"] = std::to_string(host.Pauses().count);
  results["pause_requested_us"] = std::to_string(host.Pauses().requestedUs);
  results["pause_wall_us"] = std::to_string(host.Pauses().wallUs);
  results["pause_longest_us"] = std::to_string(host.Pauses().longestUs);
  results["status"] = std::to_string(status);

  // What the ROM holds afterwards, where the case says what that must be.
  bool verified = true;
  if (job.function == "zread") {
    std::error_code error;
    verified = fs::file_size("out.bin", error) == job.size && !error &&
               SameAsFile(device.State().rom, 0, "out.bin");
  } else if (zembRun || job.function == "burn" || job.function == "realtime") {
    verified = SameAsFile(device.State().rom, 0, input);
  } else if (job.function == "img") {
    verified = SameAsFile(device.State().rom, kImageAddress, input);
  } else if (job.function == "desc") {
    verified = SameAsFile(device.State().rom, kDescAddress, input);
  } else if (job.function == "ser") {
    for (int i = 0; i < kSerialLength; ++i) {
      const uint8_t* unit = &device.State().rom[kMiscAddress + kMiscSerialOffset + 2 * i];
      verified = verified && unit[0] == static_cast<uint8_t>(kSerial[i]) && unit[1] == 0;
    }
  }
  results["verified"] = verified ? "1" : "0";
  WriteResults(resultPath, results);
  return 0;
}

uint64_t Get(const Results& results, const std::string& key) {
  auto it = results.find(key);
  return it == results.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Spawn(const std::string& self, const std::string& dir, const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int out = open("console.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(self.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

CaseRun RunChild(const std::string& self, const std::string& work, const std::string& inputs,
                 const Job& job, int index) {
  CaseRun run;
  run.job = job;
  const std::string dir = work + "/case" + std::to_string(index);
  fs::create_directories(dir);
  const std::string resultPath = dir + "/result.txt";
  const char* kind = job.kind == sim::RomKind::Spi ? "spi" : "i2c";
  run.ran = Spawn(self, dir,
                  {"--case", job.function, FaceName(job.face), kind, std::to_string(job.size),
                   std::to_string(job.pauseOverrunUs), inputs, resultPath});
  std::ifstream in(resultPath);
  std::string key, value;
  while (in >> key >> value) run.results[key] = value;
  if (run.results.empty()) run.ran = false;
  // Only the verdict is kept: the orchestrator stays small (its own peak
  // is printed last).
  const std::string console = ReadWhole(dir + "/console.txt");
  // zemb speaks through its exit status; BURN and the updates through their banner.
  const bool banner =
      IsZemb(job.function)
          ? run.results.count("status") == 1 && Get(run.results, "status") == 0
          : job.function == "make" || console.find("Burn Pass") != std::string::npos;
  run.passed = run.ran && banner && console.find("fail !!!") == std::string::npos &&
               Get(run.results, "verified") == 1;
  return run;
}

}  // namespace zemb::bench
