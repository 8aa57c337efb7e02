#include "zemb/web/station_page.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

#ifdef ZEMB_HTTPLIB
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "zemb/web/page_files.h"
#endif

namespace zemb {

namespace {

bool IsIpv4(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('.', at);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(at, end - at);
    if (part.empty() || part.size() > 3) return false;
    for (char c : part) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    if (std::atoi(part.c_str()) > 255) return false;
    ++parts;
    at = end + 1;
  }
  return parts == 4;
}

}  // namespace

bool ParseListenAddress(const std::string& text, PageOptions* options, std::string* error) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = "--listen takes ADDRESS:PORT, such as 127.0.0.1:8080, not '" + text + "'";
    return false;
  }
  std::string address = text.substr(0, colon);
  std::string port = text.substr(colon + 1);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
    bool hex = !address.empty() && address.find(':') != std::string::npos;
    for (char c : address) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') hex = false;
    }
    if (!hex) {
      *error = "--listen: '" + text + "' holds no IPv6 address between its brackets";
      return false;
    }
  } else if (address != "localhost" && !IsIpv4(address)) {
    *error = "--listen: '" + address +
             "' is not an IPv4 address, [an IPv6 address] or localhost (in " + text + ")";
    return false;
  }
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) digits = false;
  }
  if (!digits || std::atol(port.c_str()) > 65535) {
    *error = "--listen: the port must be a number from 0 to 65535, not '" + port + "'";
    return false;
  }
  options->address = address;
  options->port = static_cast<uint16_t>(std::atol(port.c_str()));
  return true;
}

#ifndef ZEMB_HTTPLIB

std::unique_ptr<StationPage> StartStationPage(StationControl&, const PageOptions&,
                                              std::string* error) {
  *error = "the station's page is not part of this build (no HTTP server library for its target)";
  return nullptr;
}

#else

namespace {

bool IsLoopback(const std::string& address) {
  return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

// A change's body: a slot name and a label are all it carries.
constexpr size_t kMaxBody = 2048;
constexpr size_t kMaxLabel = 128;
// Events waiting for one browser. A browser further behind than this gets
// a fresh snapshot in their place: it shows the truth, only later.
constexpr size_t kStreamQueue = 256;
// A comment on a quiet stream, so a browser that went away is noticed.
constexpr auto kHeartbeat = std::chrono::seconds(10);
constexpr char kTokenHeader[] = "X-Station-Token";

struct Stream {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<StationEvent> queue;
  bool resync = true;  // the first thing a stream sends is the snapshot
  bool closed = false;
  uint64_t lastSent = 0;
};

// What the station's thread reaches: it only appends to the queues, under
// locks no one holds while writing to a socket.
struct Streams {
  std::mutex mutex;
  std::set<std::shared_ptr<Stream> > open;
  bool stopping = false;

  void Deliver(const StationEvent& event) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& stream : open) {
      {
        std::lock_guard<std::mutex> streamLock(stream->mutex);
        if (stream->resync) continue;  // the coming snapshot covers it
        if (stream->queue.size() >= kStreamQueue) {
          stream->queue.clear();
          stream->resync = true;
        } else {
          stream->queue.push_back(event);
        }
      }
      stream->wake.notify_one();
    }
  }
};

std::string SlotState(const std::string& state) {
  return state.empty() ? "empty" : state;
}

nlohmann::ordered_json SnapshotJson(const StationSnapshot& s, bool tokenRequired) {
  nlohmann::ordered_json j;
  j["station"] = s.station;
  j["profile"] = s.profileName;
  j["profile_sha256"] = s.profileSha256;
  j["operator"] = s.operatorName;
  j["passed"] = s.passed;
  j["failed"] = s.failed;
  j["units_per_hour"] = s.unitsPerHour;
  j["seq"] = s.lastSequence;
  j["token_required"] = tokenRequired;
  j["slots"] = nlohmann::ordered_json::array();
  for (const SlotView& v : s.slots) {
    nlohmann::ordered_json slot;
    slot["slot"] = v.name;
    slot["port"] = v.port;
    slot["state"] = SlotState(v.state);
    slot["unit"] = v.unitId;
    slot["percent"] = v.percent;
    slot["serial"] = v.serial;
    slot["mac_p"] = v.macP;
    slot["mac_s"] = v.macS;
    slot["reason"] = v.reason;
    slot["seconds"] = v.seconds;
    slot["label"] = v.label;
    j["slots"].push_back(slot);
  }
  j["recent"] = nlohmann::ordered_json::array();
  for (const FinishedUnit& u : s.recent) {
    nlohmann::ordered_json unit;
    unit["time"] = u.time;
    unit["slot"] = u.slot;
    unit["port"] = u.port;
    unit["unit"] = u.unitId;
    unit["serial"] = u.serial;
    unit["mac_p"] = u.macP;
    unit["mac_s"] = u.macS;
    unit["result"] = u.result;
    unit["reason"] = u.reason;
    unit["seconds"] = u.seconds;
    unit["label"] = u.label;
    j["recent"].push_back(unit);
  }
  return j;
}

std::string Dump(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Equal or not, in a time that does not tell how much of a guess was right.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (b.empty() ? 0 : b[i % b.size()]));
  }
  return diff == 0;
}

std::string HostName(const std::string& host) {
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    return close == std::string::npos ? host : host.substr(1, close - 1);
  }
  return host.substr(0, host.find(':'));
}

const char* ContentType(const std::string& name) {
  auto ends = [&](const char* ext) {
    std::string e(ext);
    return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

void Refuse(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(why + "\n", "text/plain; charset=utf-8");
}

class Page : public StationPage {
 public:
  Page(StationControl& control, const PageOptions& options, std::string token)
      : control_(control),
        token_(std::move(token)),
        loopback_(IsLoopback(options.address)),
        maxStreams_(options.maxStreams < 1 ? 1 : static_cast<size_t>(options.maxStreams)),
        streams_(std::make_shared<Streams>()) {}

  ~Page() override {
    if (subscribed_) control_.Unsubscribe(subscription_);
    {
      std::lock_guard<std::mutex> lock(streams_->mutex);
      streams_->stopping = true;
      for (const auto& stream : streams_->open) {
        {
          std::lock_guard<std::mutex> streamLock(stream->mutex);
          stream->closed = true;
        }
        stream->wake.notify_all();
      }
    }
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  bool Start(const PageOptions& options, std::string* error) {
    Routes();
    // Every open stream holds a thread for as long as it is open; the rest
    // serve the page, its files and the changes.
    size_t threads = maxStreams_ + 6;
    server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server_.set_payload_max_length(kMaxBody);
    server_.set_keep_alive_timeout(2);
    server_.set_read_timeout(5, 0);
    server_.set_write_timeout(5, 0);
    std::string bindAddress = options.address == "localhost" ? "127.0.0.1" : options.address;
    if (options.port == 0) {
      int port = server_.bind_to_any_port(bindAddress);
      if (port <= 0) {
        *error = "cannot listen on " + options.address + " (any port)";
        return false;
      }
      port_ = static_cast<uint16_t>(port);
    } else {
      if (!server_.bind_to_port(bindAddress, options.port)) {
        *error = "cannot listen on " + options.address + ":" + std::to_string(options.port) +
                 " (in use, or not an address of this machine)";
        return false;
      }
      port_ = options.port;
    }
    std::weak_ptr<Streams> streams = streams_;
    subscription_ = control_.Subscribe([streams](const StationEvent& event) {
      if (auto open = streams.lock()) open->Deliver(event);
    });
    subscribed_ = true;
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      listenEnded_ = true;
    });
    // Stopping a server that has not begun to listen does nothing, and it
    // would then listen for ever: hand the page out only once it listens.
    while (!server_.is_running() && !listenEnded_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (listenEnded_) {
      *error = "the page's server stopped as it started";
      return false;
    }
    return true;
  }

  uint16_t Port() const override { return port_; }

 private:
  void Routes() {
    // A page bound to this machine alone answers only to this machine's
    // names: another site whose name was pointed at 127.0.0.1 (DNS
    // rebinding) would otherwise read it and post to it as its own origin.
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (loopback_ && !IsLoopback(HostName(req.get_header_value("Host")))) {
        Refuse(res, 403, "this page answers only to this machine's own names");
        return httplib::Server::HandlerResponse::Handled;
      }
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("Cache-Control", "no-store");
      return httplib::Server::HandlerResponse::Unhandled;
    });
    for (size_t i = 0; i < kPageFileCount; ++i) {
      const PageFile& file = kPageFiles[i];
      std::string name = file.name;
      std::string path = name == "index.html" ? "/" : "/" + name;
      server_.Get(path, [&file, name](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
        res.set_content(reinterpret_cast<const char*>(file.data), file.size, ContentType(name));
      });
    }
    server_.Get("/units.csv", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Disposition", "attachment; filename=\"units.csv\"");
      res.set_content(control_.UnitsCsv(), "text/csv; charset=utf-8");
    });
    server_.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
      std::shared_ptr<Stream> stream = OpenStream();
      if (!stream) {
        Refuse(res, 503, "too many pages are following this station; close one");
        return;
      }
      std::weak_ptr<Streams> streams = streams_;
      res.set_chunked_content_provider(
          "text/event-stream",
          [this, stream](size_t, httplib::DataSink& sink) { return Pump(*stream, sink); },
          [streams, stream](bool) {
            if (auto open = streams.lock()) {
              std::lock_guard<std::mutex> lock(open->mutex);
              open->open.erase(stream);
            }
          });
    });
    server_.Post("/api/rearm", [this](const httplib::Request& req, httplib::Response& res) {
      std::string slot;
      if (!Allowed(req, res, &slot, nullptr)) return;
      std::string error;
      if (!control_.Rearm(slot, &error)) return Refuse(res, 409, error);
      res.set_content("{\"ok\":true}", "application/json");
    });
    server_.Post("/api/scan", [this](const httplib::Request& req, httplib::Response& res) {
      std::string slot, label;
      if (!Allowed(req, res, &slot, &label)) return;
      std::string error;
      if (!control_.Scan(slot, label, &error)) return Refuse(res, 409, error);
      res.set_content("{\"ok\":true}", "application/json");
    });
  }

  std::shared_ptr<Stream> OpenStream() {
    std::lock_guard<std::mutex> lock(streams_->mutex);
    if (streams_->stopping || streams_->open.size() >= maxStreams_) return nullptr;
    auto stream = std::make_shared<Stream>();
    streams_->open.insert(stream);
    return stream;
  }

  // One turn of a stream: waits for events (never longer than a
  // heartbeat), then writes what came in one go. The snapshot is taken here,
  // on the browser's thread, never while a lock the station's thread takes
  // for Deliver is held.
  bool Pump(Stream& stream, httplib::DataSink& sink) {
    std::deque<StationEvent> batch;
    bool resync;
    {
      std::unique_lock<std::mutex> lock(stream.mutex);
      stream.wake.wait_for(lock, kHeartbeat,
                           [&] { return stream.closed || stream.resync || !stream.queue.empty(); });
      if (stream.closed) return false;
      resync = stream.resync;
      stream.resync = false;
      batch.swap(stream.queue);
    }
    std::string out;
    if (resync) {
      if (stream.lastSent == 0) out += "retry: 2000\n\n";
      out += SnapshotMessage(stream);
    }
    bool finished = false;
    for (const StationEvent& event : batch) {
      if (event.sequence <= stream.lastSent) continue;  // already in the snapshot
      out += "event: station\ndata: " + StationEventJson(event) + "\n\n";
      stream.lastSent = event.sequence;
      finished = finished || event.event == "passed" || event.event == "failed";
    }
    // Counts, units per hour and the last units come with the snapshot:
    // one after each finished unit keeps them the station's own.
    if (finished) out += SnapshotMessage(stream);
    if (out.empty()) out = ": still here\n\n";
    return sink.write(out.data(), out.size());
  }

  std::string SnapshotMessage(Stream& stream) {
    StationSnapshot snapshot = control_.Snapshot();
    if (snapshot.lastSequence > stream.lastSent) stream.lastSent = snapshot.lastSequence;
    return "event: snapshot\ndata: " + Dump(SnapshotJson(snapshot, !token_.empty())) + "\n\n";
  }

  // A change is refused, and changes nothing, unless it comes from this
  // page (its own origin), carries the token where there is one, and names
  // its slot (and label) in a small JSON body.
  bool Allowed(const httplib::Request& req, httplib::Response& res, std::string* slot,
               std::string* label) {
    std::string host = req.get_header_value("Host");
    std::string origin = req.get_header_value("Origin");
    if (req.has_header("Origin") && origin != "http://" + host) {
      Refuse(res, 403, "changes are taken only from this station's own page");
      return false;
    }
    std::string site = req.get_header_value("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin" && site != "none") {
      Refuse(res, 403, "changes are taken only from this station's own page");
      return false;
    }
    if (!token_.empty() && !SameSecret(req.get_header_value(kTokenHeader), token_)) {
      Refuse(res, 401, "this station's token is missing or wrong");
      return false;
    }
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
      Refuse(res, 415, "a change is a JSON body");
      return false;
    }
    nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("slot") || !body["slot"].is_string()) {
      Refuse(res, 400, "a change names its slot: {\"slot\": \"NAME\"}");
      return false;
    }
    *slot = body["slot"].get<std::string>();
    if (label) {
      if (!body.contains("label") || !body["label"].is_string()) {
        Refuse(res, 400, "a scan carries its label: {\"slot\": \"NAME\", \"label\": \"TEXT\"}");
        return false;
      }
      *label = body["label"].get<std::string>();
      bool printable = !label->empty() && label->size() <= kMaxLabel;
      for (unsigned char c : *label) {
        if (c < 0x20 || c == 0x7f) printable = false;
      }
      if (!printable) {
        Refuse(res, 400,
               "a label is 1 to " + std::to_string(kMaxLabel) + " characters, none a control");
        return false;
      }
    }
    return true;
  }

  StationControl& control_;
  const std::string token_;
  const bool loopback_;
  const size_t maxStreams_;
  std::shared_ptr<Streams> streams_;
  httplib::Server server_;
  std::thread thread_;
  uint64_t subscription_ = 0;
  bool subscribed_ = false;
  std::atomic<bool> listenEnded_{false};
  uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<StationPage> StartStationPage(StationControl& control, const PageOptions& options,
                                              std::string* error) {
  std::string token;
  if (!options.tokenFile.empty()) {
    std::ifstream in(options.tokenFile, std::ios::binary);
    if (!in) {
      *error = "cannot read the token file " + options.tokenFile;
      return nullptr;
    }
    std::getline(in, token);
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) {
      token.pop_back();
    }
    if (token.empty()) {
      *error = "the token file " + options.tokenFile + " holds no token on its first line";
      return nullptr;
    }
  } else if (!IsLoopback(options.address)) {
    *error = "listening on " + options.address +
             " lets other machines reach the station: give --token-file FILE, whose first line "
             "every change must carry, or listen on 127.0.0.1";
    return nullptr;
  }
  auto page = std::make_unique<Page>(control, options, token);
  if (!page->Start(options, error)) return nullptr;
  return page;
}

#endif

}  // namespace zemb
