// zemb station as a line runs it: the built zemb and zembsim as processes,
// units plugged into and pulled out of the slots' ports by the test, the
// events read back from the station's JSON-lines file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"

namespace zemb {
namespace {

using Bytes = std::vector<uint8_t>;
using Json = nlohmann::json;
using namespace std::chrono_literals;

int Sim(const std::string& words) {
  std::string text;
  const int status = test::RunCommand(std::string("'") + ZEMB_ZEMBSIM + "' " + words, &text);
  EXPECT_EQ(status, 0) << "zembsim " << words << ": " << text;
  return status;
}

Bytes Rom(const std::string& unit) {
  Sim("dump --unit " + unit + " rom-" + unit + ".bin");
  return test::ReadFile("rom-" + unit + ".bin");
}

// A misc record with its own identity: serial 2000013004140N, MACs
// 02-00-5E-00-0N-00 and 02-00-5E-00-0N-01.
Bytes RecordFor(int n) {
  Bytes record(kMiscRecordSize, 0);
  const uint8_t p[6] = {0x02, 0x00, 0x5E, 0x00, static_cast<uint8_t>(n), 0x00};
  for (int i = 0; i < 6; ++i) {
    record[i] = p[i];
    record[6 + i] = p[i];
  }
  record[11] = 0x01;
  const std::string serial = "2000013004140" + std::to_string(n % 10);
  for (size_t i = 0; i < serial.size(); ++i) record[kMiscSerialOffset + 2 * i] = serial[i];
  return record;
}

// A unit made ready out of sight, then plugged into `port`: a ROM loaded
// (empty: erased), faults armed, a slower page program; the station sees
// it arrive as it is.
struct Prepared {
  Bytes rom;
  std::vector<std::string> faults;
  uint32_t pageProgramUs = 0;
};

void PlugPrepared(const std::string& name, const std::string& port, const Prepared& p) {
  Sim("plug --unit " + name + " --port prep-" + name + " --size " + std::to_string(test::kRomSize));
  if (!p.rom.empty()) {
    test::WriteFile("load-" + name + ".bin", p.rom);
    Sim("load --unit " + name + " load-" + name + ".bin");
  }
  for (const std::string& fault : p.faults) Sim("fault --unit " + name + " " + fault);
  Sim("unplug --unit " + name + " --keep");
  if (p.pageProgramUs != 0) {
    const std::string kept = std::string("ZembSimDevice/") + name + "/kept.txt";
    std::istringstream in(test::ReadText(kept));
    std::string text;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("timing.page-program-us", 0) == 0) {
        line = "timing.page-program-us = " + std::to_string(p.pageProgramUs);
      }
      text += line + "\n";
    }
    test::WriteText(kept, text);
  }
  Sim("plug --unit " + name + " --keep --port " + port);
}

// zemb with these words: its exit status, and its output in *text.
int ZembCommand(const std::string& words, std::string* text) {
  return test::RunCommand(std::string("'") + ZEMB_ZEMB + "' " + words, text);
}

// A provision profile drawing from pool.csv, with these slots and more keys.
void ProvisionProfile(const std::string& slots, const std::string& more = "") {
  test::WriteText("profile.json",
                  R"({"mode": "provision", "image": "image.bin", "config": "spi.cfg",)"
                  R"( "pool": "pool.csv", "slots": {)" +
                      slots + "}" + (more.empty() ? "" : ", " + more) + "}");
}

void PlugBlank(const std::string& name, const std::string& port) {
  Sim("plug --unit " + name + " --port " + port + " --size " + std::to_string(test::kRomSize));
}

// The station as a process, its standard input a pipe the test writes.
class StationProcess {
 public:
  ~StationProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) close(input_);
  }
  void Start(const std::string& profile, std::vector<std::string> more = {}) {
    std::vector<std::string> words = {"zemb",  "station",  "--profile",
                                      profile, "--events", "events.jsonl"};
    words.insert(words.end(), more.begin(), more.end());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(fds[0], 0);
      close(fds[1]);
      const int out = open("station.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      std::vector<char*> argv;
      for (std::string& w : words) argv.push_back(w.data());
      argv.push_back(nullptr);
      execv(ZEMB_ZEMB, argv.data());
      _exit(127);
    }
    close(fds[0]);
    input_ = fds[1];
  }
  void Say(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void Interrupt() { kill(pid_, SIGINT); }
  // The exit status, or -1 when it has not ended within `limit`.
  int Wait(std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// What the station's page serves at `path` (an event stream: up to its
// first event): the port from the line the station writes at start.
std::string PageGet(const std::string& path) {
  const std::string out = test::ReadText("station.out");
  const std::string at = "the page is at http://127.0.0.1:";
  const size_t p = out.find(at);
  if (p == std::string::npos) return "";
  const int port = std::stoi(out.substr(p + at.size()));
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      const auto end = std::chrono::steady_clock::now() + 10s;
      while (std::chrono::steady_clock::now() < end) {
        const size_t data = answer.find("\ndata: ");
        if (data != std::string::npos && answer.find("\n\n", data) != std::string::npos) break;
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 5000) <= 0) break;
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  return answer;
}

// Every line of the events file, each read back as JSON.
std::vector<Json> Events() {
  std::vector<Json> events;
  std::ifstream in("events.jsonl");
  for (std::string line; std::getline(in, line);) {
    Json j = Json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
    if (j.is_object()) events.push_back(std::move(j));
  }
  return events;
}

std::vector<Json> EventsOf(const std::vector<Json>& events, const std::string& slot,
                           const std::string& name = "") {
  std::vector<Json> chosen;
  for (const Json& e : events) {
    if (e["slot"] == slot && (name.empty() || e["event"] == name)) chosen.push_back(e);
  }
  return chosen;
}

// Waits until `enough` holds for the events so far; false after `limit`.
bool WaitFor(const std::function<bool(const std::vector<Json>&)>& enough,
             std::chrono::seconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (enough(Events())) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

bool Count(const std::string& slot, const std::string& name, size_t n,
           std::chrono::seconds limit = 60s) {
  return WaitFor([&](const std::vector<Json>& e) { return EventsOf(e, slot, name).size() >= n; },
                 limit);
}

// Each slot's events follow its state machine: a unit is plugged, started
// once, passes or fails (with its hook after), and is removed before the
// next is plugged; a held slot starts nothing until re-armed.
void CheckStateMachine(const std::vector<Json>& events) {
  uint64_t sequence = 0;
  std::map<std::string, std::string> state;  // slot: empty, present, working, done
  std::map<std::string, bool> held;
  for (const Json& e : events) {
    ASSERT_TRUE(e.contains("seq") && e.contains("time") && e.contains("event")) << e.dump();
    EXPECT_EQ(e["seq"].get<uint64_t>(), ++sequence) << e.dump();
    const std::string slot = e["slot"], event = e["event"];
    if (slot.empty()) {
      EXPECT_TRUE(event == "foreign" || event == "removed") << e.dump();
      continue;
    }
    std::string& s = state.try_emplace(slot, "empty").first->second;
    const std::string was = s;
    if (event == "plugged") {
      EXPECT_EQ(was, "empty") << e.dump();
      s = "present";
    } else if (event == "started") {
      EXPECT_EQ(was, "present") << e.dump();
      EXPECT_FALSE(held[slot]) << e.dump();
      s = "working";
    } else if (event == "progress") {
      EXPECT_TRUE(was == "working" || was == "gone-working") << e.dump();
    } else if (event == "passed" || event == "failed") {
      EXPECT_TRUE(was == "working" || was == "gone-working") << e.dump();
      s = was == "working" ? "done" : "empty";
    } else if (event == "removed") {
      EXPECT_TRUE(was == "present" || was == "done" || was == "working") << e.dump();
      s = was == "working" ? "gone-working" : "empty";
    } else if (event == "held") {
      held[slot] = true;
    } else if (event == "rearmed") {
      EXPECT_TRUE(held[slot]) << e.dump();
      held[slot] = false;
    } else {
      EXPECT_TRUE(event == "hook" || event == "scanned") << e.dump();
    }
  }
}

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
    image_ = test::Pattern(test::kRomSize, 26);
    test::WriteFile("image.bin", image_);
  }
  void Profile(const std::string& slots, const std::string& more = "") {
    test::WriteText("profile.json",
                    R"({"mode": "write", "image": "image.bin", "config": "spi.cfg",)"
                    R"( "station": "line 1", "slots": {)" +
                        slots + "}" + more + "}\n");
  }
  // What a unit that kept `record` holds once written.
  Bytes Written(const Bytes& record) const {
    Bytes rom = image_;
    std::copy(record.begin(), record.end(), rom.begin() + kMiscAddress);
    return rom;
  }
  void TearDown() override {
    if (HasFatalFailure()) std::cerr << test::ReadText("station.out");
  }
  test::ScratchDir dir;
  Bytes image_;
  StationProcess station;
};

TEST_F(StationTest, FourSlotsPassWithTheirOwnIdentitiesAndAUnitOnNoSlotIsNeverTouched) {
  std::string text;
  ASSERT_EQ(ZembCommand("pool init --pool pool.csv --serial-from 20000130041400 "
                        "--mac-from 02-00-5E-00-00-00 --count 10",
                        &text),
            0)
      << text;
  ProvisionProfile(R"("s1": "p1", "s2": "p2", "s3": "p3", "s4": "p4")");
  for (int n = 1; n <= 4; ++n) PlugBlank("u" + std::to_string(n), "p" + std::to_string(n));
  const Bytes foreign = test::Pattern(test::kRomSize, 5);
  PlugPrepared("x", "p9", {foreign});
  station.Start("profile.json");
  ASSERT_TRUE(WaitFor([](const std::vector<Json>& e) {
    size_t passed = 0;
    for (const Json& j : e) passed += j["event"] == "passed";
    return passed >= 4;
  }));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 0);
  const std::vector<Json> events = Events();
  CheckStateMachine(events);
  std::set<std::string> serials, macs, ids;
  for (int n = 1; n <= 4; ++n) {
    const std::string slot = "s" + std::to_string(n);
    const std::vector<Json> passed = EventsOf(events, slot, "passed");
    ASSERT_EQ(passed.size(), 1u) << slot;
    EXPECT_EQ(passed[0]["port"], "p" + std::to_string(n));
    EXPECT_EQ(passed[0]["profile_sha256"].get<std::string>().size(), 64u);
    const std::string serial = passed[0]["serial"], macP = passed[0]["mac_p"];
    serials.insert(serial);
    macs.insert(macP);
    macs.insert(passed[0]["mac_s"].get<std::string>());
    ids.insert(passed[0]["unit"].get<std::string>());
    // The unit holds the image and the identity its event names.
    const Bytes rom = Rom("u" + std::to_string(n));
    const uint8_t* record = rom.data() + kMiscAddress;
    EXPECT_EQ(SerialText(record + kMiscSerialOffset), serial) << slot;
    EXPECT_EQ(MacText(record + kMiscPSideMacOffset), macP) << slot;
    EXPECT_EQ(MacText(record + kMiscSSideMacOffset), passed[0]["mac_s"]) << slot;
    EXPECT_TRUE(std::equal(rom.begin(), rom.begin() + kMiscAddress, image_.begin())) << slot;
    EXPECT_EQ(serial.rfind("200001300414", 0), 0u) << serial;
  }
  EXPECT_EQ(serials.size(), 4u);
  EXPECT_EQ(macs.size(), 8u);
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ(Rom("x"), foreign);
  bool foreignSeen = false;
  for (const Json& e : events) foreignSeen |= e["event"] == "foreign" && e["port"] == "p9";
  EXPECT_TRUE(foreignSeen);
  // The profile that made the units, shown at start.
  const std::string sha = EventsOf(events, "s1", "passed")[0]["profile_sha256"];
  EXPECT_NE(test::ReadText("station.out").find("(SHA-256 " + sha + ")"), std::string::npos);
}

TEST_F(StationTest, APassedUnitIsNotStartedAgainUntilANewOneIsPlugged) {
  Profile(R"("s1": "p1")");
  station.Start("profile.json");
  PlugBlank("first", "p1");
  ASSERT_TRUE(Count("s1", "passed", 1));
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(EventsOf(Events(), "s1", "started").size(), 1u);
  Sim("unplug --unit first");
  ASSERT_TRUE(Count("s1", "removed", 1));
  PlugBlank("second", "p1");
  ASSERT_TRUE(Count("s1", "passed", 2));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 0);
  CheckStateMachine(Events());
  EXPECT_EQ(EventsOf(Events(), "s1", "started").size(), 2u);
  EXPECT_EQ(Rom("second"), image_);
}

TEST_F(StationTest, AUnitMovedOrReplacedBetweenTwoLooksIsRemovedThenPlugged) {
  Profile(R"("s1": "p1", "s2": "p2")");
  station.Start("profile.json");
  PlugBlank("mover", "p1");
  ASSERT_TRUE(Count("s1", "passed", 1));
  // Into another slot's port at once: gone from s1, a new unit for s2.
  Sim("unplug --unit mover --keep");
  Sim("plug --unit mover --keep --port p2");
  ASSERT_TRUE(Count("s1", "removed", 1, 10s));
  ASSERT_TRUE(Count("s2", "passed", 1, 10s));
  // Out, and a fresh unit under the same name in the same port at once.
  Sim("unplug --unit mover");
  PlugBlank("mover", "p2");
  ASSERT_TRUE(Count("s2", "removed", 1, 10s));
  ASSERT_TRUE(Count("s2", "passed", 2, 10s));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 0);
  const std::vector<Json> events = Events();
  CheckStateMachine(events);
  EXPECT_EQ(EventsOf(events, "s1", "started").size(), 1u);
  EXPECT_EQ(EventsOf(events, "s2", "started").size(), 2u);
  EXPECT_EQ(Rom("mover"), image_);
}

TEST_F(StationTest, AUnitToldFinishedIsAlreadyInTheRecord) {
  // The hook holds the unit's worker for seconds after its result is out:
  // the record must not wait for it.
  Profile(R"("s1": "p1")", R"(, "on_pass": "sleep 4")");
  station.Start("profile.json", {"--listen", "127.0.0.1:0"});
  PlugBlank("u1", "p1");
  ASSERT_TRUE(Count("s1", "passed", 1));
  const std::string unit = EventsOf(Events(), "s1", "passed")[0]["unit"];
  EXPECT_EQ(EventsOf(Events(), "s1", "hook").size(), 0u) << "the hook ended too soon to show it";
  const std::string csv = PageGet("/units.csv");
  EXPECT_NE(csv.find(",s1,p1," + unit + ","), std::string::npos) << csv;
  const std::string events = PageGet("/events");
  const size_t at = events.find("data: ");
  ASSERT_NE(at, std::string::npos) << events;
  const Json snapshot = Json::parse(events.substr(at + 6, events.find('\n', at) - at - 6));
  ASSERT_EQ(snapshot["recent"].size(), 1u) << snapshot.dump();
  EXPECT_EQ(snapshot["recent"][0]["unit"], unit);
  EXPECT_EQ(snapshot["passed"], 1);
  ASSERT_TRUE(Count("s1", "hook", 1));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 0);
}

TEST_F(StationTest, AFailingUnitFailsItsSlotAloneAndAFailStreakHoldsTheSlot) {
  Profile(R"("s1": "p1", "s2": "p2", "s3": "p3")");
  station.Start("profile.json");
  // s1: pulled out half way; s2: a write the device corrupts; s3 passes.
  PlugPrepared("slow", "p1", {{}, {}, 20000});
  PlugPrepared("bad", "p2", {{}, {"corrupt 5"}});
  PlugBlank("good", "p3");
  ASSERT_TRUE(WaitFor([](const std::vector<Json>& e) {
    const auto progress = EventsOf(e, "s1", "progress");
    return !progress.empty() && progress.back()["percent"] >= 20;
  }));
  Sim("unplug --unit slow");
  ASSERT_TRUE(Count("s1", "failed", 1));
  ASSERT_TRUE(Count("s2", "failed", 1));
  ASSERT_TRUE(Count("s3", "passed", 1));
  std::vector<Json> events = Events();
  EXPECT_NE(EventsOf(events, "s1", "failed")[0]["reason"].get<std::string>().find("removed"),
            std::string::npos)
      << EventsOf(events, "s1", "failed")[0].dump();
  EXPECT_NE(EventsOf(events, "s2", "failed")[0]["reason"].get<std::string>().find("verif"),
            std::string::npos)
      << EventsOf(events, "s2", "failed")[0].dump();
  EXPECT_EQ(Rom("good"), image_);

  // Two more failures in a row on s2: held; a good unit then waits for the
  // slot to be re-armed.
  for (const char* name : {"bad2", "bad3"}) {
    Sim("unplug --unit " + std::string(name == std::string("bad2") ? "bad" : "bad2"));
    ASSERT_TRUE(WaitFor([&](const std::vector<Json>& e) {
      return EventsOf(e, "s2", "removed").size() == EventsOf(e, "s2", "failed").size();
    }));
    PlugPrepared(name, "p2", {{}, {"fail access-rom 2"}});
    ASSERT_TRUE(Count("s2", "failed", name == std::string("bad2") ? 2 : 3));
  }
  ASSERT_TRUE(Count("s2", "held", 1));
  Sim("unplug --unit bad3");
  ASSERT_TRUE(Count("s2", "removed", 3));
  PlugBlank("next", "p2");
  ASSERT_TRUE(Count("s2", "plugged", 4));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(EventsOf(Events(), "s2", "started").size(), 3u);
  station.Say("rearm s2");
  ASSERT_TRUE(Count("s2", "passed", 1));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 1);  // units failed
  events = Events();
  CheckStateMachine(events);
  EXPECT_EQ(EventsOf(events, "s2", "rearmed").size(), 1u);
  EXPECT_EQ(Rom("next"), image_);
}

TEST_F(StationTest, HooksSeeTheUnitsFactsAndNeverChangeItsResult) {
  const std::string hook =
      "env | grep ^ZEMB_ | sort > hook-$ZEMB_SLOT.txt; "
      "if [ $ZEMB_SLOT = slow ]; then sleep 45; fi; if [ $ZEMB_SLOT = sad ]; then echo sad; exit "
      "3; fi";
  Profile(R"("ok": "p1", "sad": "p2", "slow": "p3", "bad": "p4")",
          ", \"on_pass\": \"" + hook + "\", \"on_fail\": \"" + hook + "\"");
  Bytes rom(test::kRomSize, 0xFF);
  const Bytes record = RecordFor(7);
  std::copy(record.begin(), record.end(), rom.begin() + kMiscAddress);
  PlugPrepared("u1", "p1", {rom});
  PlugBlank("u2", "p2");
  PlugBlank("u3", "p3");
  PlugPrepared("u4", "p4", {{}, {"fail access-rom 2"}});
  station.Start("profile.json");
  ASSERT_TRUE(Count("slow", "hook", 1, 60s));
  ASSERT_TRUE(Count("sad", "hook", 1));
  ASSERT_TRUE(Count("bad", "hook", 1));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 1);
  const std::vector<Json> events = Events();
  CheckStateMachine(events);

  std::string sha;
  ASSERT_EQ(test::RunCommand("sha256sum image.bin | cut -c1-64", &sha), 0);
  sha.resize(64);
  EXPECT_EQ(test::ReadText("hook-ok.txt"),
            "ZEMB_IMAGE_SHA256=" + sha +
                "\nZEMB_MAC_P=02-00-5E-00-07-00\nZEMB_MAC_S=02-00-5E-00-07-01\nZEMB_PORT=p1\n"
                "ZEMB_REASON=\nZEMB_RESULT=pass\nZEMB_SERIAL=20000130041407\nZEMB_SLOT=ok\n");
  const std::string bad = test::ReadText("hook-bad.txt");
  EXPECT_NE(bad.find("ZEMB_RESULT=fail\n"), std::string::npos) << bad;
  EXPECT_NE(bad.find("ZEMB_REASON="), std::string::npos) << bad;
  EXPECT_EQ(bad.find("ZEMB_REASON=\n"), std::string::npos) << bad;
  EXPECT_NE(bad.find("ZEMB_PORT=p4\n"), std::string::npos) << bad;

  // The failing and the sleeping hook: reported, the unit still passed.
  const Json sad = EventsOf(events, "sad", "hook")[0];
  EXPECT_EQ(sad["reason"], "on_pass exit 3");
  EXPECT_EQ(sad["exit"], 3);
  EXPECT_EQ(sad["output"], "sad\n");
  const Json slow = EventsOf(events, "slow", "hook")[0];
  EXPECT_EQ(slow["reason"], "on_pass killed after 30 s");
  for (const char* slot : {"ok", "sad", "slow"}) {
    EXPECT_EQ(EventsOf(events, slot, "passed").size(), 1u) << slot;
    EXPECT_EQ(EventsOf(events, slot, "failed").size(), 0u) << slot;
  }
  EXPECT_EQ(EventsOf(events, "bad", "failed").size(), 1u);
  EXPECT_EQ(Rom("u1"), Written(RecordFor(7)));  // its own identity kept
  EXPECT_EQ(Rom("u2"), image_);
  EXPECT_EQ(Rom("u3"), image_);
}

TEST_F(StationTest, TheHooksOutcomeReachesTheUnitsRecordInThePool) {
  std::string text;
  ASSERT_EQ(ZembCommand("pool init --pool pool.csv --serial-from 20000130041400 "
                        "--mac-from 02-00-5E-00-00-00 --count 4",
                        &text),
            0)
      << text;
  const std::string hook = "echo start; echo printed $ZEMB_SERIAL; exit 4";
  ProvisionProfile(R"("s1": "p1", "s2": "p2")",
                   R"("on_pass": ")" + hook + R"(", "on_fail": ")" + hook + "\"");
  PlugBlank("good", "p1");
  PlugPrepared("bad", "p2", {{}, {"corrupt 5"}});
  station.Start("profile.json");
  ASSERT_TRUE(Count("s1", "hook", 1));
  ASSERT_TRUE(Count("s2", "hook", 1));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 1);
  const std::vector<Json> events = Events();
  const std::string serial = EventsOf(events, "s1", "passed").at(0)["serial"];
  ASSERT_EQ(ZembCommand("pool export --pool pool.csv export.csv", &text), 0) << text;
  // The unit's result stands; its record now says what the hook did.
  const std::string exported = test::ReadText("export.csv");
  EXPECT_NE(exported.find(",committed,"), std::string::npos) << exported;
  EXPECT_NE(exported.find(",on_pass exit 4; output: start;printed " + serial + "\n"),
            std::string::npos)
      << exported;
  EXPECT_NE(exported.find(",on_fail exit 4; output: start;printed "), std::string::npos)
      << exported;
  EXPECT_EQ(EventsOf(events, "s1", "passed").size(), 1u);
}

// A pool that cannot be reached when the hook ends: the outcome waits in
// the spool and joins the unit's record at the next sync, once.
TEST_F(StationTest, AHooksOutcomeThePoolCannotTakeWaitsInTheSpool) {
  std::string text;
  ASSERT_EQ(ZembCommand("pool init --pool pool.csv --serial-from 20000130041400 "
                        "--mac-from 02-00-5E-00-00-00 --count 4",
                        &text),
            0)
      << text;
  // The hook puts a link in place of the pool's lock file, which no run
  // follows: the pool cannot be locked until it is gone.
  const std::string hook = "rm -f pool.csv.lock; ln -s elsewhere pool.csv.lock; echo blocked";
  ProvisionProfile(R"("s1": "p1")", R"("on_pass": ")" + hook + "\"");
  PlugBlank("good", "p1");
  station.Start("profile.json");
  ASSERT_TRUE(Count("s1", "hook", 1));
  station.Say("quit");
  EXPECT_EQ(station.Wait(), 0);
  const std::string serial = EventsOf(Events(), "s1", "passed").at(0)["serial"];
  const std::string out = test::ReadText("station.out");
  EXPECT_NE(out.find("(serial number " + serial + "): its hook's outcome could not reach the pool ("),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("it waits in zemb-pool-spool.csv: run 'zemb pool sync --pool pool.csv'"),
            std::string::npos)
      << out;
  ASSERT_EQ(unlink("pool.csv.lock"), 0);
  ASSERT_EQ(ZembCommand("pool sync --pool pool.csv", &text), 0) << text;
  EXPECT_NE(text.find("pushed 1 record"), std::string::npos) << text;
  ASSERT_EQ(ZembCommand("pool export --pool pool.csv export.csv", &text), 0) << text;
  const std::string exported = test::ReadText("export.csv");
  EXPECT_NE(exported.find(",committed,"), std::string::npos) << exported;
  EXPECT_NE(exported.find(",on_pass exit 0; output: blocked\n"), std::string::npos) << exported;
  // Nothing waits any more, and a sync adds nothing.
  const std::string journal = test::ReadText("pool.csv");
  ASSERT_EQ(ZembCommand("pool sync --pool pool.csv", &text), 0) << text;
  EXPECT_EQ(test::ReadText("pool.csv"), journal);
}

TEST_F(StationTest, CtrlCStopsUnitsInHandAtASectorBoundaryWithTheirRecords) {
  Profile(R"("s1": "p1", "s2": "p2")");
  PlugPrepared("a", "p1", {{}, {}, 20000});
  PlugPrepared("b", "p2", {{}, {}, 20000});
  station.Start("profile.json");
  ASSERT_TRUE(WaitFor([](const std::vector<Json>& e) {
    return EventsOf(e, "s1", "progress").size() >= 1 && EventsOf(e, "s2", "progress").size() >= 1;
  }));
  station.Interrupt();
  EXPECT_EQ(station.Wait(), 1);
  const std::vector<Json> events = Events();
  CheckStateMachine(events);
  for (const auto& [slot, unit] : {std::pair<std::string, std::string>{"s1", "a"}, {"s2", "b"}}) {
    const std::vector<Json> failed = EventsOf(events, slot, "failed");
    ASSERT_EQ(failed.size(), 1u) << slot;
    const std::string reason = failed[0]["reason"];
    EXPECT_NE(reason.find("interrupted"), std::string::npos) << reason;
    // "the ROM holds image.bin from 0x00000000 to 0x0000XFFF (verified)"
    const std::string held = "the ROM holds image.bin from 0x00000000 to 0x";
    const size_t at = reason.find(held);
    ASSERT_NE(at, std::string::npos) << reason;
    const uint32_t last =
        static_cast<uint32_t>(std::stoul(reason.substr(at + held.size(), 8), nullptr, 16));
    EXPECT_EQ((last + 1) % 4096, 0u) << reason;
    ASSERT_LT(last + 1, test::kRomSize) << reason;
    const Bytes rom = Rom(unit);
    EXPECT_TRUE(std::equal(rom.begin(), rom.begin() + last + 1, image_.begin())) << slot;
    EXPECT_TRUE(std::all_of(rom.begin() + last + 1, rom.end(), [](uint8_t b) { return b == 0xFF; }))
        << slot << ": the ROM is not as it was beyond " << last;
  }
}

TEST_F(StationTest, ABadProfileIsRefusedBeforeAnythingStarts) {
  PlugBlank("u1", "p1");
  struct Case {
    std::string profile;  // empty: no file
    std::string error;
  };
  const std::string base = R"("mode": "write", "image": "image.bin", "config": "spi.cfg")";
  const Case cases[] = {
      {"", "cannot open the profile profile.json"},
      {"{" + base + R"(, "slots": {"a": "p1"}, "colour": "red"})", "unknown key \"colour\""},
      {"{" + base + R"(, "slots": {"a": "p1", "b": "P1"}})", "port P1 is given to slots a and b"},
      {"{" + base + R"(, "slots": {"a": "p1", "a": "p2"}})", "gives \"a\" twice"},
      {"{" + base + R"(, "slots": {"a": "p1"}, "fail_streak": 0})", "fail_streak"},
      {"{" + base + R"(, "slots": {"a": "p1"})", "is not valid JSON"},
      {R"({"mode": "burn", "image": "image.bin", "config": "spi.cfg", "slots": {"a": "p1"}})",
       "\"mode\" must be"},
      {R"({"mode": "write", "image": "none.bin", "config": "spi.cfg", "slots": {"a": "p1"}})",
       "none.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    std::remove("profile.json");
    if (!c.profile.empty()) test::WriteText("profile.json", c.profile);
    std::string text;
    const int status = test::RunCommand(
        std::string("'") + ZEMB_ZEMB + "' station --profile profile.json --events events.jsonl",
        &text);
    EXPECT_EQ(status, 2) << text;
    EXPECT_NE(text.find(c.error), std::string::npos) << text;
    EXPECT_FALSE(test::FileExists("events.jsonl"));
  }
  EXPECT_EQ(Rom("u1"), Bytes(test::kRomSize, 0xFF));
}

}  // namespace
}  // namespace zemb
