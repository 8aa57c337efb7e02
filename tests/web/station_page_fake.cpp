// The station's page over a fake station, for the browser test: it serves
// the page as `zemb station --listen` does and takes what happens to the
// slots as JSON lines on standard input:
//   {"emit": {"slot": "A", "event": "progress", "percent": 40}}
//   {"changes": true}   prints what the page asked of the station, as JSON
// It prints "listening PORT" once it serves, and stops at the end of input.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tests/fake_station.h"
#include "zemb/web/station_page.h"

int main(int argc, char** argv) {
  zemb::PageOptions options;
  options.port = 0;
  std::vector<std::string> slots = {"A", "B", "C", "D"};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i], value = argv[i + 1];
    std::string error;
    if (flag == "--listen") {
      if (!zemb::ParseListenAddress(value, &options, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
      }
    } else if (flag == "--token-file") {
      options.tokenFile = value;
    } else if (flag == "--slots") {
      slots.clear();
      std::stringstream list(value);
      for (std::string name; std::getline(list, name, ',');) slots.push_back(name);
    } else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  zemb::testing::FakeStation station(slots);
  std::string error;
  auto page = zemb::StartStationPage(station, options, &error);
  if (!page) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  std::printf("listening %u\n", page->Port());
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    nlohmann::json command = nlohmann::json::parse(line, nullptr, false);
    if (command.contains("emit")) {
      const nlohmann::json& e = command["emit"];
      zemb::StationEvent event;
      event.slot = e.value("slot", "");
      event.port = e.value("port", "");
      event.unitId = e.value("unit", "");
      event.event = e.value("event", "");
      event.serial = e.value("serial", "");
      event.macP = e.value("mac_p", "");
      event.macS = e.value("mac_s", "");
      event.percent = e.value("percent", -1);
      event.reason = e.value("reason", "");
      event.seconds = e.value("seconds", -1.0);
      event.label = e.value("label", "");
      station.Emit(event);
      std::printf("ok\n");
    } else if (command.contains("changes")) {
      std::printf("%s\n", nlohmann::json(station.Changes()).dump().c_str());
    } else {
      std::printf("error: %s\n", line.c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}
