// The station's page: an HTTP server, off unless asked for, that shows a
// tile per slot and follows the station's events live.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zemb/station/station_events.h"

namespace zemb {

struct PageOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;
  // A file whose first line is the token every change (re-arm, scan) must
  // carry; required to bind anything but a loopback address.
  std::string tokenFile;
  // Open event streams (one a browser tab) beyond this are refused, so
  // that pages left open everywhere cannot take every thread.
  int maxStreams = 16;
};

// "ADDRESS:PORT" (--listen): an IPv4 address, [an IPv6 address] or
// localhost, and a port (0: any free one); false with *error set.
bool ParseListenAddress(const std::string& text, PageOptions* options, std::string* error);

class StationPage {
 public:
  virtual ~StationPage() = default;
  // The port it listens on (the one asked for, or the one given for port 0).
  virtual uint16_t Port() const = 0;
};

// Starts serving `control` in threads of its own; null with *error set when
// the options are refused or the address cannot be bound. Destroying the
// page closes every connection and stops the server.
std::unique_ptr<StationPage> StartStationPage(StationControl& control, const PageOptions& options,
                                              std::string* error);

}  // namespace zemb
