// The station's page server against a fake station: what it serves, what it
// refuses, and its event streams. Requests go over plain sockets, so a test
// can send what no polite client would and stop reading when it likes.
#include "zemb/web/station_page.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "tests/fake_station.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using test::ScratchDir;
using testing::FakeStation;

// A file in the scratch directory, by its full path.
std::string Put(const ScratchDir& dir, const std::string& name, const std::string& text) {
  test::WriteText(name, text);
  return dir.Path() + "/" + name;
}

// One connection to the page; reads stop after `wait` without news, so a
// fault shows as a failed check, never a hung test.
class Connection {
 public:
  explicit Connection(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool Send(const std::string& data) {
    return fd_ >= 0 &&
           send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Reads until `done` holds for what came so far, the peer closes, or
  // nothing arrives for `wait`.
  template <typename Done>
  const std::string& ReadUntil(Done done, std::chrono::milliseconds wait) {
    while (fd_ >= 0 && !done(data_)) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) break;
      char buffer[65536];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      data_.append(buffer, static_cast<size_t>(n));
    }
    return data_;
  }
  const std::string& ReadAll() {
    return ReadUntil([](const std::string&) { return false; }, std::chrono::milliseconds(3000));
  }
  const std::string& data() const { return data_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string data_;
};

std::string Request(uint16_t port, const std::string& text) {
  Connection c(port);
  c.Send(text);
  return c.ReadAll();
}

int Status(const std::string& response) {
  return response.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(response.c_str() + 9) : -1;
}

std::string Body(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

std::string Post(uint16_t port, const std::string& path, const std::string& body,
                 const std::string& headers) {
  return Request(port, "POST " + path + " HTTP/1.1\r\nConnection: close\r\n" + headers +
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

struct Message {
  std::string event;
  nlohmann::json data;
};

// The server-sent events so far, in order (each is written whole in one
// chunk, so the chunk framing never splits one).
std::vector<Message> Messages(const std::string& stream) {
  std::vector<Message> out;
  static const std::regex message("event: (\\w+)\ndata: ([^\n]*)\n\n");
  for (std::sregex_iterator it(stream.begin(), stream.end(), message), end; it != end; ++it) {
    out.push_back({(*it)[1], nlohmann::json::parse((*it)[2].str())});
  }
  return out;
}

class EventStream {
 public:
  explicit EventStream(uint16_t port) : connection_(port) {
    connection_.Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\n\r\n");
  }
  // Waits (up to a generous bound) until `count` messages came.
  std::vector<Message> Next(size_t count) {
    return NextUntil([&](const std::vector<Message>& m) { return m.size() >= count; });
  }
  // Waits (up to the same bound) until the messages so far satisfy `done`.
  template <typename Done>
  std::vector<Message> NextUntil(Done done) {
    connection_.ReadUntil([&](const std::string& d) { return done(Messages(d)); },
                          std::chrono::milliseconds(5000));
    return Messages(connection_.data());
  }
  Connection& connection() { return connection_; }

 private:
  Connection connection_;
};

StationEvent Event(const std::string& slot, const std::string& what, int percent = -1) {
  StationEvent e;
  e.slot = slot;
  e.event = what;
  e.percent = percent;
  return e;
}

std::unique_ptr<StationPage> Start(FakeStation& station, PageOptions options = {}) {
  options.port = 0;
  std::string error;
  auto page = StartStationPage(station, options, &error);
  EXPECT_TRUE(page) << error;
  return page;
}

TEST(StationPage, ListenAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* address;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"0.0.0.0:80", true, "0.0.0.0", 80},
      {"localhost:0", true, "localhost", 0},
      {"[::1]:9000", true, "::1", 9000},
      {"192.168.1.20:65535", true, "192.168.1.20", 65535},
      {"127.0.0.1", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:80x", false, "", 0},
      {"256.1.1.1:80", false, "", 0},
      {"1.2.3:80", false, "", 0},
      {"station.example:80", false, "", 0},
      {"[nothex]:80", false, "", 0},
      {":8080", false, "", 0},
  };
  for (const Case& c : cases) {
    PageOptions options;
    std::string error;
    EXPECT_EQ(ParseListenAddress(c.text, &options, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(options.address, c.address) << c.text;
      EXPECT_EQ(options.port, c.port) << c.text;
    } else {
      EXPECT_NE(error, "") << c.text;
    }
  }
}

TEST(StationPage, AnotherMachineReachesItOnlyWithAToken) {
  ScratchDir dir;
  FakeStation station({"A"});
  std::string empty = Put(dir, "empty", "\n");
  struct Case {
    std::string address, tokenFile;
    bool starts;
  } cases[] = {
      {"0.0.0.0", "", false},
      {"0.0.0.0", dir.Path() + "/missing", false},
      {"0.0.0.0", empty, false},
      {"0.0.0.0", Put(dir, "token", "s3cret-line\r\nsecond line ignored\n"), true},
      {"127.0.0.1", "", true},
  };
  for (const Case& c : cases) {
    PageOptions options;
    options.address = c.address;
    options.tokenFile = c.tokenFile;
    options.port = 0;
    std::string error;
    auto page = StartStationPage(station, options, &error);
    EXPECT_EQ(page != nullptr, c.starts) << c.address << " " << c.tokenFile << ": " << error;
    if (!c.starts) {
      EXPECT_NE(error, "");
    }
    if (c.address == "0.0.0.0" && !c.tokenFile.empty() && c.starts) {
      uint16_t port = page->Port();
      std::string host = "Host: 10.0.0.5:" + std::to_string(port) + "\r\n";
      std::string json = "Content-Type: application/json\r\n";
      // Seen from anywhere; changed only with the token's first line.
      EXPECT_EQ(Status(Request(port, "GET / HTTP/1.1\r\nConnection: close\r\n" + host + "\r\n")),
                200);
      EXPECT_EQ(Status(Post(port, "/api/scan", R"({"slot":"A","label":"L1"})", host + json)), 401);
      EXPECT_EQ(Status(Post(port, "/api/scan", R"({"slot":"A","label":"L1"})",
                            host + json + "X-Station-Token: s3cret-line\r\n")),
                200);
    }
  }
  EXPECT_EQ(station.Changes(), std::vector<std::string>{"scan A L1"});
  EXPECT_EQ(station.Listeners(), 0);
}

TEST(StationPage, ServesItsOwnFilesAndTheRecord) {
  FakeStation station({"A", "B"});
  StationEvent passed = Event("A", "passed");
  passed.serial = "ZB0001";
  passed.seconds = 12.5;
  station.Emit(Event("A", "plugged"));
  station.Emit(passed);
  auto page = Start(station);
  uint16_t port = page->Port();
  auto get = [&](const std::string& path) {
    return Request(port,
                   "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  };
  std::string index = get("/");
  EXPECT_EQ(Status(index), 200);
  EXPECT_NE(index.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(index.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
  EXPECT_NE(index.find("<script src=\"page.js\""), std::string::npos);
  std::string script = get("/page.js");
  EXPECT_EQ(Status(script), 200);
  EXPECT_NE(script.find("text/javascript"), std::string::npos);
  EXPECT_NE(script.find("new EventSource('events')"), std::string::npos);
  EXPECT_NE(get("/page.css").find("text/css"), std::string::npos);
  EXPECT_EQ(Status(get("/etc/passwd")), 404);
  EXPECT_EQ(Status(get("/../CMakeLists.txt")), 404);
  std::string csv = get("/units.csv");
  EXPECT_NE(csv.find("Content-Disposition: attachment"), std::string::npos);
  EXPECT_EQ(Body(csv), station.UnitsCsv());
  EXPECT_NE(Body(csv).find(",ZB0001,"), std::string::npos);
}

TEST(StationPage, RefusedChangesChangeNothing) {
  ScratchDir dir;
  FakeStation station({"A", "B"});
  station.Emit(Event("A", "held"));
  PageOptions options;
  options.tokenFile = Put(dir, "token", "tok-123\n");
  auto page = Start(station, options);
  uint16_t port = page->Port();
  std::string self = "127.0.0.1:" + std::to_string(port);
  std::string host = "Host: " + self + "\r\n";
  std::string json = "Content-Type: application/json\r\n";
  std::string token = "X-Station-Token: tok-123\r\n";
  std::string origin = "Origin: http://" + self + "\r\n";
  std::string rearm = R"({"slot":"A"})";
  std::string scan = R"({"slot":"B","label":"LBL-7"})";
  struct Case {
    std::string what, path, body, headers;
    int status;
  } refused[] = {
      {"no token", "/api/rearm", rearm, host + json + origin, 401},
      {"wrong token", "/api/rearm", rearm, host + json + origin + "X-Station-Token: tok-12\r\n",
       401},
      {"longer token", "/api/rearm", rearm, host + json + "X-Station-Token: tok-1234\r\n", 401},
      {"another origin", "/api/rearm", rearm,
       host + json + token + "Origin: http://evil.example\r\n", 403},
      {"another port", "/api/scan", scan, host + json + token + "Origin: http://127.0.0.1:1\r\n",
       403},
      {"cross-site fetch", "/api/rearm", rearm,
       host + json + token + "Sec-Fetch-Site: cross-site\r\n", 403},
      {"a rebound name", "/api/rearm", rearm,
       "Host: evil.example:" + std::to_string(port) + "\r\n" + json + token +
           "Origin: http://evil.example:" + std::to_string(port) + "\r\n",
       403},
      {"a form, not JSON", "/api/scan", "slot=B&label=X",
       host + token + "Content-Type: application/x-www-form-urlencoded\r\n", 415},
      {"not JSON", "/api/rearm", "{slot", host + json + token, 400},
      {"no slot", "/api/rearm", "{}", host + json + token, 400},
      {"no label", "/api/scan", R"({"slot":"B"})", host + json + token, 400},
      {"a control in the label", "/api/scan", "{\"slot\":\"B\",\"label\":\"a\\u0007b\"}",
       host + json + token, 400},
      {"a label too long", "/api/scan", R"({"slot":"B","label":")" + std::string(129, 'x') + "\"}",
       host + json + token, 400},
      {"a body too big", "/api/scan",
       R"({"slot":"B","label":"x","pad":")" + std::string(5000, 'x') + "\"}", host + json + token,
       413},
      {"a slot that is not held", "/api/rearm", R"({"slot":"B"})", host + json + token, 409},
      {"no such slot", "/api/scan", R"({"slot":"Z","label":"x"})", host + json + token, 409},
  };
  for (const Case& c : refused) {
    std::string response = Post(port, c.path, c.body, c.headers);
    EXPECT_EQ(Status(response), c.status) << c.what << "\n" << response;
  }
  // A GET never changes anything, whatever it names.
  std::string get = Request(
      port, "GET /api/rearm?slot=A HTTP/1.1\r\n" + host + "Connection: close\r\n" + token + "\r\n");
  EXPECT_EQ(Status(get), 404);
  EXPECT_TRUE(station.Changes().empty());
  EXPECT_EQ(station.Snapshot().slots[0].state, "held");
  EXPECT_EQ(station.Snapshot().slots[1].label, "");

  EXPECT_EQ(Status(Post(port, "/api/rearm", rearm, host + json + token + origin)), 200);
  EXPECT_EQ(Status(Post(port, "/api/scan", scan, host + json + token + origin)), 200);
  EXPECT_EQ(station.Changes(), (std::vector<std::string>{"rearm A", "scan B LBL-7"}));
  EXPECT_EQ(station.Snapshot().slots[0].state, "empty");
  EXPECT_EQ(station.Snapshot().slots[1].label, "LBL-7");
}

TEST(StationPage, LocalPageWithoutTokenStillRefusesOtherOrigins) {
  FakeStation station({"A"});
  station.Emit(Event("A", "held"));
  auto page = Start(station);
  uint16_t port = page->Port();
  std::string self = "127.0.0.1:" + std::to_string(port);
  std::string headers = "Host: " + self + "\r\nContent-Type: application/json\r\n";
  EXPECT_EQ(Status(Post(port, "/api/rearm", R"({"slot":"A"})",
                        headers + "Origin: http://attacker.example\r\n")),
            403);
  EXPECT_EQ(Status(Request(port, "GET / HTTP/1.1\r\nHost: attacker.example:" +
                                     std::to_string(port) + "\r\nConnection: close\r\n\r\n")),
            403);
  EXPECT_TRUE(station.Changes().empty());
  EXPECT_EQ(Status(Post(port, "/api/rearm", R"({"slot":"A"})",
                        headers + "Origin: http://" + self + "\r\n")),
            200);
  EXPECT_EQ(station.Changes(), std::vector<std::string>{"rearm A"});
}

TEST(StationPage, EventsFollowTheSnapshotWithoutGapsOrRepeats) {
  FakeStation station({"A", "B"});
  station.Emit(Event("A", "plugged"));
  station.Emit(Event("A", "progress", 40));
  auto page = Start(station);
  EventStream stream(page->Port());
  std::vector<Message> first = stream.Next(1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].event, "snapshot");
  EXPECT_EQ(first[0].data["seq"], 2);
  EXPECT_EQ(first[0].data["station"], "bench-3");
  EXPECT_EQ(first[0].data["token_required"], false);
  EXPECT_EQ(first[0].data["slots"][0]["state"], "working");
  EXPECT_EQ(first[0].data["slots"][0]["percent"], 40);
  EXPECT_EQ(first[0].data["slots"][1]["state"], "empty");

  station.Emit(Event("A", "progress", 75));
  StationEvent passed = Event("A", "passed");
  passed.serial = "ZB0042";
  passed.macP = "00-11-22-33-44-55";
  passed.seconds = 9.5;
  station.Emit(passed);
  station.Emit(Event("B", "plugged"));
  // progress, passed, the snapshot a finished unit brings, plugged. That
  // snapshot may already have been taken after B was plugged; it then covers
  // the plugged event, which must not come again.
  auto reached = [](const Message& m) { return m.data.value("seq", uint64_t{0}) >= 5u; };
  std::vector<Message> all = stream.NextUntil([&](const std::vector<Message>& m) {
    return m.size() >= 5 || (m.size() >= 4 && reached(m.back()));
  });
  ASSERT_GE(all.size(), 4u);
  ASSERT_LE(all.size(), 5u);
  EXPECT_TRUE(reached(all.back()));
  EXPECT_EQ(all[1].event, "station");
  EXPECT_EQ(all[1].data["seq"], 3);
  EXPECT_EQ(all[1].data["percent"], 75);
  EXPECT_EQ(all[2].data["seq"], 4);
  EXPECT_EQ(all[2].data["event"], "passed");
  EXPECT_EQ(all[2].data["serial"], "ZB0042");
  uint64_t seq = 4;
  for (size_t i = 3; i < all.size(); ++i) {
    if (all[i].event == "snapshot") {
      EXPECT_GE(all[i].data["seq"].get<uint64_t>(), 4u);
      EXPECT_EQ(all[i].data["passed"], 1);
      EXPECT_EQ(all[i].data["recent"][0]["serial"], "ZB0042");
      seq = all[i].data["seq"];
    } else {
      EXPECT_EQ(all[i].data["seq"].get<uint64_t>(), seq + 1) << "a gap or a repeat";
      seq = all[i].data["seq"];
    }
  }
  EXPECT_EQ(seq, 5u);
}

TEST(StationPage, OpenStreamsAreBounded) {
  FakeStation station({"A"});
  PageOptions options;
  options.maxStreams = 2;
  auto page = Start(station, options);
  uint16_t port = page->Port();
  auto one = std::make_unique<EventStream>(port);
  EventStream two(port);
  ASSERT_EQ(one->Next(1).size(), 1u);
  ASSERT_EQ(two.Next(1).size(), 1u);
  EXPECT_EQ(Status(Request(port,
                           "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
                           "close\r\n\r\n")),
            503);
  // The page itself still answers while the streams are taken.
  EXPECT_EQ(Status(Request(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")),
            200);
  // A closed stream's place is noticed at its next write and freed.
  one.reset();
  station.Emit(Event("A", "plugged"));
  bool reopened = false;
  for (int attempt = 0; attempt < 100 && !reopened; ++attempt) {
    EventStream three(port);
    reopened = three.Next(1).size() == 1;
    if (!reopened) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(reopened);
}

// A browser that stops reading fills its socket and then its queue; the
// station's thread goes on at once (a blocked listener would hang this
// test), the other page follows every event, and the stalled one, once it
// reads again, is brought up to date by a fresh snapshot.
TEST(StationPage, AStalledBrowserNeverHoldsTheStation) {
  FakeStation station({"A"});
  auto page = Start(station);
  EventStream stalled(page->Port());
  EventStream live(page->Port());
  ASSERT_EQ(stalled.Next(1).size(), 1u);
  ASSERT_EQ(live.Next(1).size(), 1u);
  const int events = 20000;
  StationEvent progress = Event("A", "progress");
  progress.reason = std::string(400, 'r');  // fills the stalled socket sooner
  std::thread reader([&] {
    live.connection().ReadUntil(
        [&](const std::string& d) {
          return d.find("\"percent\":" + std::to_string((events - 1) % 100) + ",\"reason\"") !=
                     std::string::npos &&
                 d.find("\"seq\":" + std::to_string(events)) != std::string::npos;
        },
        std::chrono::milliseconds(5000));
  });
  for (int i = 0; i < events; ++i) {
    progress.percent = i % 100;
    station.Emit(progress);
  }
  reader.join();
  // The live page saw the last event (by its number).
  EXPECT_NE(live.connection().data().find("\"seq\":" + std::to_string(events) + ","),
            std::string::npos);
  // The stalled page, reading now, ends on the station's latest state.
  std::string key = "\"seq\":" + std::to_string(events);
  stalled.connection().ReadUntil(
      [&](const std::string& d) { return d.find(key) != std::string::npos; },
      std::chrono::milliseconds(5000));
  std::vector<Message> messages = Messages(stalled.connection().data());
  ASSERT_FALSE(messages.empty());
  bool resynced = false;
  for (const Message& m : messages)
    resynced = resynced || (&m != &messages[0] && m.event == "snapshot");
  EXPECT_TRUE(resynced) << "the stalled page was never sent a fresh snapshot";
  EXPECT_EQ(messages.back().data["seq"], events);
}

}  // namespace
}  // namespace zemb
