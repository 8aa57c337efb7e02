// zemb_bench: the tools measured against what the device itself needs.
//
// Every case runs the tool's own Run function in a fresh child process (this
// program again, with --case), against the simulated device on a virtual
// clock: the device's busy times and transfers and the tools' pauses move
// the clock, so a 16 MiB burn takes seconds of wall clock. A child per case
// keeps one case's memory from hiding another's peak.
//
// For each case the table shows the device time the run took, the lower
// bound (busy times and transfers with no pause at all), their ratio, the
// requests the device saw by kind against the count the protocol needs, the
// host's CPU time and the peak resident memory. The targets are printed as
// PASS or MISS; the exit status is 0 either way.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_host.h"
#include "bench/protocol_model.h"
#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_device.h"
#include "sim/sim_host.h"
#include "zemb/zemb.h"

namespace fs = std::filesystem;

namespace zemb::bench {

namespace {

constexpr uint32_t kMiB = 1u << 20;
// The chip of every case is this large, whatever the image: the simulated
// device's own copy of the ROM is then the same in every row, and the
// differences in peak memory are the tools'.
constexpr uint32_t kChipSize = 16 * kMiB;
constexpr uint32_t kSpiPageSize = 256;
constexpr uint32_t kI2cPageSize = 64;
constexpr uint64_t kCpuShareLimitPercent = 2;  // of the run's device time
constexpr int64_t kMemoryGrowthLimitKiB = 256;
constexpr double kMakeThroughputShare = 0.9;  // of cp's
constexpr int kThroughputRounds = 11;
constexpr uint64_t kShortRunUs = 1000000;  // device time under which a case is run three times
constexpr int kShortRunRepeats = 3;
constexpr const char* kSerial = "20000130041415";

// The ROM layout as the device has it: where the updates write, and the
// header a programmed ROM starts with.
constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kHwFwSize = 32512;
constexpr uint32_t kDescAddress = 0x8000;
constexpr uint32_t kDescSize = 0x3000;
constexpr uint32_t kImageAddress = 0xC000;

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Signature 0xBEEF, both markers, format word 1, and the HW/FW, descriptor,
// image (empty) and misc entries; the reserved rest stays erased-to-zero.
void PutProgrammedHeader(std::vector<uint8_t>& rom) {
  std::fill(rom.begin(), rom.begin() + kHeaderSize, 0);
  const uint8_t head[6] = {0xEF, 0xBE, 0xFF, 0xFF, 0x01, 0x00};
  std::copy(head, head + 6, rom.begin());
  struct Entry {
    size_t offset;
    uint8_t type;
    uint32_t start, length;
  };
  const Entry entries[] = {{6, 0x64, 0, kHwFwSize},
                           {16, 2, kDescAddress, kDescSize},
                           {26, 1, kImageAddress, 0},
                           {36, 3, 0xB000, 0x1000}};
  for (const Entry& e : entries) {
    rom[e.offset] = e.type;
    PutLe32(&rom[e.offset + 2], e.start);
    PutLe32(&rom[e.offset + 6], e.length);
  }
}

uint64_t SteadyUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint64_t CpuUs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000 + static_cast<uint64_t>(t.tv_nsec) / 1000;
}

int64_t MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

int64_t MaxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

// The peak of this process's own address space since exec.
int64_t HighWaterKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

// A repeatable pattern without 0xFF bytes, so no byte reads as erased.
class Pattern {
 public:
  explicit Pattern(uint32_t salt) : x_(0x9E3779B9u ^ salt) {}
  uint8_t Next() {
    x_ = x_ * 1664525u + 1013904223u;
    const uint8_t b = static_cast<uint8_t>(x_ >> 24);
    return b == 0xFF ? 0x5A : b;
  }

 private:
  uint32_t x_;
};

void WritePatternFile(const std::string& path, uint64_t length, uint32_t salt) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "zemb_bench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::vector<uint8_t> block(64 * 1024);
  Pattern pattern(salt);
  for (uint64_t done = 0; done < length;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), length - done));
    for (size_t i = 0; i < n; ++i) block[i] = pattern.Next();
    std::fwrite(block.data(), 1, n, file);
    done += n;
  }
  std::fclose(file);
}

// The zemb rows' image is the 1 MiB BURN image; the changed one differs from
// it in the one sector at kChangedSector, which sets bits there (an erase).
constexpr uint32_t kChangedSector = 0x80000;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kChangedSalt = 99;

std::vector<uint8_t> PatternBytes(uint32_t length, uint32_t salt) {
  std::vector<uint8_t> bytes(length);
  Pattern pattern(salt);
  for (uint8_t& b : bytes) b = pattern.Next();
  return bytes;
}

std::vector<uint8_t> ChangedImage(uint32_t length) {
  std::vector<uint8_t> bytes = PatternBytes(length, length);
  Pattern pattern(kChangedSalt);
  for (uint32_t i = 0; i < kSectorSize; ++i) bytes[kChangedSector + i] = pattern.Next();
  return bytes;
}

void WriteBytesFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::fprintf(stderr, "zemb_bench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(file);
}

bool LoadFile(const std::string& path, std::vector<uint8_t>& rom) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  const size_t n = std::fread(rom.data(), 1, rom.size(), file);
  std::fclose(file);
  return n > 0;
}

// The zemb rows: zread (zemb read), zsame (writing what the ROM holds),
// zsect (one sector changed), zfull (the image onto an erased ROM).
bool IsZemb(const std::string& function) {
  return function == "zread" || function == "zsame" || function == "zsect" || function == "zfull";
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

const char* FaceName(sim::Face face) {
  return face == sim::Face::Own ? "own" : face == sim::Face::Cdrom ? "cdrom" : "xu";
}

bool ParseFace(const std::string& word, sim::Face* face) {
  if (word == "own") *face = sim::Face::Own;
  if (word == "cdrom") *face = sim::Face::Cdrom;
  if (word == "xu") *face = sim::Face::Xu;
  return word == "own" || word == "cdrom" || word == "xu";
}

// --- one case, in the child --------------------------------------------------

struct Job {
  std::string function;  // burn, hwfw, img, desc, ser, make, realtime
  sim::Face face = sim::Face::Own;
  sim::RomKind kind = sim::RomKind::Spi;
  uint32_t size = 0;            // bytes of the image (burn, img, make, realtime)
  uint64_t pauseOverrunUs = 0;  // every pause lasts this much longer than asked
};

std::string InputName(const std::string& function, uint32_t size) {
  if (function == "hwfw") return "hwfw.bin";
  if (function == "desc") return "desc.bin";
  if (function == "img") return "img_" + std::to_string(size) + ".bin";
  if (function == "zsect") return "changed_" + std::to_string(size) + ".bin";
  return "image_" + std::to_string(size) + ".bin";
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

using Results = std::map<std::string, std::string>;

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

// --- the orchestrator ---------------------------------------------------------

struct CaseRun {
  Job job;
  Results results;
  bool ran = false;
  bool passed = false;  // the verdict text, and the ROM as the case wants it
};

uint64_t Get(const Results& results, const std::string& key) {
  auto it = results.find(key);
  return it == results.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

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
  // Only the verdict is kept: the orchestrator stays small (see PeakKiB).
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

// The bytes a case writes to the ROM: the per-MiB figures are per MiB of it.
uint64_t PayloadBytes(const Job& job) {
  if (job.function == "hwfw") return kHeaderSize + kHwFwSize;
  if (job.function == "desc") return kDescSize;
  if (job.function == "ser") return kMiscRecordSize;
  return job.size;
}

ProtocolModel ModelOf(const Job& job) {
  const uint32_t page = job.kind == sim::RomKind::Spi ? kSpiPageSize : kI2cPageSize;
  ProtocolModel model(job.face, job.kind, sim::Timing{}, page, job.pauseOverrunUs);
  if (job.function == "burn" || job.function == "realtime") model.Burn(job.size);
  if (job.function == "hwfw") model.ProgramHwFw();
  if (job.function == "img") model.ProgramImage(job.size);
  if (job.function == "desc") model.ProgramDesc(kDescSize);
  if (job.function == "ser") model.ProgramSerialNumber();
  if (job.function == "zread") model.ZembRead(0, job.size);
  if (job.function == "zsame" || job.function == "zsect" || job.function == "zfull") {
    const std::vector<uint8_t> image = PatternBytes(job.size, job.size);
    const std::vector<uint8_t> rom =
        job.function == "zfull" ? std::vector<uint8_t>(job.size, 0xFF) : image;
    const std::vector<uint8_t> wanted = job.function == "zsect" ? ChangedImage(job.size) : image;
    model.ZembWrite(rom.data(), wanted.data(), job.size);
  }
  return model;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

struct Summary {
  int rows = 0, requestMiss = 0, cpuMiss = 0, failedRuns = 0, memoryMiss = 0, makeMiss = 0;
  int zembTargets = 0, zembMiss = 0;
};

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

// zemb's device time against what it is measured by: zemb read of the same
// 1 MiB for writing what the ROM holds (both ROM kinds), that plus one sector
// erase and the sector's programs for one changed sector, and BURN of the
// same image for a whole image onto an erased ROM.
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
      sector.WritePieces(kChangedSector, kSectorSize);
      line("one sector", "zsect", "zemb read + erase, pages", readUs + sector.Totals().deviceUs,
           readOk, 1.1);
      const CaseRun* burn = FindRun(runs, "burn", face, kind, kMiB);
      line("full image", "zfull", "BURN", burn != nullptr ? Get(burn->results, "device_us") : 0,
           burn != nullptr && burn->passed, 0.75);
    }
  }
}

void PrintHeader() {
  std::printf("%-5s %-5s %-3s %-10s %9s %9s %5s", "func", "face", "rom", "size", "device s",
              "bound s", "ratio");
  for (int c = 0; c < kColumns; ++c) std::printf(" %8s", kColumnNames[c]);
  std::printf(" %4s %8s %6s %4s %8s\n", "req", "cpu ms/M", "cpu %", "cpu", "peak KiB");
}

bool MakeWorkDir(std::string* work) {
  std::string pattern = (fs::temp_directory_path() / "zemb-bench-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (mkdtemp(name.data()) == nullptr) {
    std::fprintf(stderr, "zemb_bench: cannot make a work directory\n");
    return false;
  }
  *work = name.data();
  fs::create_directories(*work + "/inputs");
  return true;
}

void DoneWithWorkDir(const std::string& work, bool keep) {
  if (keep) {
    std::printf("\nwork directory kept: %s\n", work.c_str());
  } else {
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }
}

// The own-driver 16 MiB BURN with pauses that last longer than asked, as
// Sleep makes them on a machine whose timer ticks past the asked time: the
// device time beside that of exact pauses, on the run and on the model.
int OrchestratePauses(const std::string& self, const std::vector<uint64_t>& overrunsUs, bool keep) {
  std::string work;
  if (!MakeWorkDir(&work)) return 1;
  const std::string inputs = work + "/inputs";
  const uint32_t size = 16 * kMiB;
  WritePatternFile(inputs + "/" + InputName("burn", size), size, size);

  std::printf(
      "BURN own SPI %s (chip %s, page %u bytes) on the virtual clock, with every pause\n"
      "lasting longer than asked: a 1 ms pause as long as the first column says, a longer\n"
      "pause by as much more. over 1 ms: device time lost against pauses of exactly 1 ms.\n\n",
      SizeText(size).c_str(), SizeText(kChipSize).c_str(), kSpiPageSize);
  std::printf("%9s %9s %10s %10s %10s\n", "pause ms", "pauses", "device s", "model s", "over 1 ms");
  int index = 0;
  uint64_t exactUs = 0;
  for (uint64_t overrun : overrunsUs) {
    const Job job{"burn", sim::Face::Own, sim::RomKind::Spi, size, overrun};
    const CaseRun run = RunChild(self, work, inputs, job, index++);
    const ModelTotals model = ModelOf(job).Totals();
    const uint64_t deviceUs = Get(run.results, "device_us");
    if (overrun == 0) exactUs = deviceUs;
    const double lostUs = static_cast<double>(deviceUs) - static_cast<double>(exactUs);
    std::printf("%9.3f %9llu %10.2f %10.2f %+10.2f%s\n", (1000 + overrun) / 1000.0,
                static_cast<unsigned long long>(Get(run.results, "pauses")), deviceUs / 1e6,
                model.deviceUs / 1e6, lostUs / 1e6, run.passed ? "" : "  RUN FAILED");
    if (run.passed && deviceUs != model.deviceUs) {
      std::printf("          device time differs from the protocol's %.6f s\n",
                  model.deviceUs / 1e6);
    }
    std::fflush(stdout);
  }
  DoneWithWorkDir(work, keep);
  return 0;
}

int Orchestrate(const std::string& self, bool quick, bool keep) {
  std::string work;
  if (!MakeWorkDir(&work)) return 1;
  const std::string inputs = work + "/inputs";

  const std::vector<uint32_t> burnSizes =
      quick ? std::vector<uint32_t>{kMiB} : std::vector<uint32_t>{kMiB, 4 * kMiB, 16 * kMiB};
  // The image region runs from 48 KiB to the end of the chip.
  const std::vector<uint32_t> imageSizes =
      quick ? std::vector<uint32_t>{kMiB}
            : std::vector<uint32_t>{kMiB, 4 * kMiB, kChipSize - kImageAddress};
  for (uint32_t size : burnSizes)
    WritePatternFile(inputs + "/" + InputName("burn", size), size, size);
  for (uint32_t size : imageSizes) {
    WritePatternFile(inputs + "/" + InputName("img", size), size, size + 1);
  }
  WritePatternFile(inputs + "/hwfw.bin", 20000, 7);
  WritePatternFile(inputs + "/desc.bin", kDescSize, 8);
  WritePatternFile(inputs + "/" + InputName("burn", 256 * 1024), 256 * 1024, 9);
  WriteBytesFile(inputs + "/" + InputName("zsect", kMiB), ChangedImage(kMiB));

  const sim::Face faces[] = {sim::Face::Own, sim::Face::Cdrom, sim::Face::Xu};
  const sim::RomKind kinds[] = {sim::RomKind::Spi, sim::RomKind::I2c};
  std::vector<Job> jobs;
  for (const char* function : {"burn", "img"}) {
    for (sim::RomKind kind : kinds) {
      for (sim::Face face : faces) {
        for (uint32_t size : std::string(function) == "burn" ? burnSizes : imageSizes) {
          jobs.push_back({function, face, kind, size});
        }
      }
    }
  }
  for (const char* function : {"hwfw", "desc", "ser"}) {
    for (sim::RomKind kind : kinds) {
      for (sim::Face face : faces) jobs.push_back({function, face, kind, 0});
    }
  }
  for (const char* function : {"zread", "zsame", "zsect", "zfull"}) {
    for (sim::RomKind kind : kinds) {
      const bool spiOnly = std::string(function) == "zsect" || std::string(function) == "zfull";
      if (spiOnly && kind != sim::RomKind::Spi) continue;
      for (sim::Face face : faces) jobs.push_back({function, face, kind, kMiB});
    }
  }

  std::printf(
      "Zemb tools against the simulated device's timing model (virtual clock); chip %s,\n"
      "page %u (SPI) / %u (I2C) bytes. device s: device time the run took; bound s: busy\n"
      "times and transfers with no pause; requests seen by the device per kind, "
      "run(protocol)\nwhere they differ; cpu: host CPU time of the run (tool and simulated "
      "device).\nzemb: ZREAD zemb read; ZSAME zemb write of the image the ROM holds; ZSECT the "
      "same\n"
      "image with one 4096-byte sector changed; ZFULL the image onto an erased ROM.\n\n",
      SizeText(kChipSize).c_str(), kSpiPageSize, kI2cPageSize);
  PrintHeader();
  Summary summary;
  std::vector<CaseRun> runs;
  int index = 0;
  std::string lastFunction;
  for (const Job& job : jobs) {
    if (!lastFunction.empty() && job.function != lastFunction) std::printf("\n");
    lastFunction = job.function;
    // A short run's CPU time is mostly the first touch of code and data in a
    // fresh process, and the machine's other work only adds to it: such
    // runs are made three times and the one with the least CPU time shown.
    CaseRun run = RunChild(self, work, inputs, job, index++);
    if (ModelOf(job).Totals().deviceUs < kShortRunUs) {
      for (int again = 1; again < kShortRunRepeats; ++again) {
        CaseRun other = RunChild(self, work, inputs, job, index++);
        // A failed run is kept, so the row shows it.
        const bool cheaper = Get(other.results, "cpu_us") < Get(run.results, "cpu_us");
        if (!other.passed || (run.passed && cheaper)) run = std::move(other);
      }
    }
    runs.push_back(std::move(run));
    PrintRow(runs.back(), summary);
    std::fflush(stdout);
  }

  PrintZembTargets(runs, summary);

  // Peak memory from the smallest to the largest image. A forked child's
  // ru_maxrss starts at the orchestrator's own peak, so the verdict uses the
  // child's high-water mark since exec (VmHWM); ru_maxrss is shown beside
  // it and agrees wherever the child outgrows this process.
  std::printf(
      "\nPeak resident memory of a fresh process per run, %s to %s image (VmHWM; ru_maxrss):\n",
      SizeText(burnSizes.front()).c_str(), SizeText(burnSizes.back()).c_str());
  auto growthLine = [&](const std::string& what, const CaseRun& small, const CaseRun& large) {
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
  };
  for (const CaseRun& small : runs) {
    if (small.job.function != "burn" || small.job.size != burnSizes.front()) continue;
    for (const CaseRun& large : runs) {
      if (large.job.function == "burn" && large.job.size == burnSizes.back() &&
          large.job.face == small.job.face && large.job.kind == small.job.kind) {
        growthLine(std::string("BURN ") + FaceName(small.job.face) +
                       (small.job.kind == sim::RomKind::Spi ? " SPI" : " I2C"),
                   small, large);
      }
    }
  }
  std::vector<CaseRun> makes;
  for (uint32_t size : {burnSizes.front(), burnSizes.back()}) {
    makes.push_back(
        RunChild(self, work, inputs, {"make", sim::Face::Own, sim::RomKind::Spi, size}, index++));
    if (burnSizes.size() == 1) break;
  }
  growthLine("MAKE", makes.front(), makes.back());

  std::printf("\nMAKE against cp of the same bytes (best of %d, page cache warm):\n",
              kThroughputRounds);
  for (const CaseRun& make : makes) {
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

  // One burn in real time.
  const Job realtime{"realtime", sim::Face::Own, sim::RomKind::Spi, 256 * 1024};
  CaseRun real = RunChild(self, work, inputs, realtime, index++);
  {
    const ModelTotals model = ModelOf(realtime).Totals();
    const uint64_t pauses = Get(real.results, "pauses");
    const uint64_t requested = Get(real.results, "pause_requested_us");
    const uint64_t spent = Get(real.results, "pause_wall_us");
    std::printf(
        "\nReal time (sim::RealClock), BURN own SPI %s: %s\n"
        "  run %.2f s wall; the protocol's device time on the model %.2f s, lower bound %.2f s\n"
        "  %llu pauses: %.3f s asked for, %.3f s spent; per pause %.3f ms asked, %.3f ms spent "
        "(+%.3f ms, longest %.3f ms)\n",
        SizeText(realtime.size).c_str(), real.passed ? "Burn Pass" : "RUN FAILED",
        Get(real.results, "wall_us") / 1e6, model.deviceUs / 1e6, model.lowerBoundUs / 1e6,
        static_cast<unsigned long long>(pauses), requested / 1e6, spent / 1e6,
        pauses ? requested / 1000.0 / pauses : 0.0, pauses ? spent / 1000.0 / pauses : 0.0,
        pauses ? (static_cast<double>(spent) - static_cast<double>(requested)) / 1000.0 / pauses
               : 0.0,
        Get(real.results, "pause_longest_us") / 1000.0);
  }

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
  DoneWithWorkDir(work, keep);
  return 0;
}

// "1.5,2.0": lengths in ms of a pause asked for 1 ms, each from 1 to 1000,
// as overruns in microseconds; exact pauses (0) always come first.
bool ParsePauseLengths(const std::string& text, std::vector<uint64_t>* overrunsUs) {
  overrunsUs->assign(1, 0);
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string word = text.substr(at, comma - at);
    char* end = nullptr;
    const double ms = std::strtod(word.c_str(), &end);
    if (word.empty() || *end != '\0' || !(ms >= 1.0 && ms <= 1000.0)) return false;
    const uint64_t overrun = static_cast<uint64_t>(std::llround(ms * 1000)) - 1000;
    if (std::find(overrunsUs->begin(), overrunsUs->end(), overrun) == overrunsUs->end()) {
      overrunsUs->push_back(overrun);
    }
    at = comma + 1;
  }
  return true;
}

}  // namespace

}  // namespace zemb::bench

int main(int argc, char** argv) {
  using namespace zemb::bench;
  if (argc >= 2 && std::string(argv[1]) == "--case") {
    if (argc != 9) return 2;
    Job job;
    job.function = argv[2];
    if (!ParseFace(argv[3], &job.face)) return 2;
    job.kind = std::string(argv[4]) == "i2c" ? zemb::sim::RomKind::I2c : zemb::sim::RomKind::Spi;
    job.size = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
    job.pauseOverrunUs = std::strtoull(argv[6], nullptr, 10);
    return RunCase(job, argv[7], argv[8]);
  }
  bool quick = false, keep = false;
  std::vector<uint64_t> pauseOverrunsUs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--pause-ms" && i + 1 < argc &&
               ParsePauseLengths(argv[i + 1], &pauseOverrunsUs)) {
      ++i;
    } else {
      std::fprintf(stderr,
                   "usage: zemb_bench [--quick] [--keep] [--pause-ms MS[,MS...]]\n"
                   "  --quick     1 MiB images only\n"
                   "  --keep      keep the work directory (inputs, each run's console text)\n"
                   "  --pause-ms  only the own-driver 16 MiB BURN, with each 1 ms pause lasting\n"
                   "              MS ms (1 to 1000), beside pauses of exactly 1 ms\n");
      return 2;
    }
  }
  // The children are this program again.
  std::error_code error;
  const std::string self = fs::read_symlink("/proc/self/exe", error).string();
  if (error) return 1;
  if (!pauseOverrunsUs.empty()) return OrchestratePauses(self, pauseOverrunsUs, keep);
  return Orchestrate(self, quick, keep);
}
