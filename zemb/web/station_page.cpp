#include "zemb/web/station_page.h"

namespace zemb {

bool ParseListenAddress(const std::string&, PageOptions*, std::string* error) {
  *error = "the station's page is not part of this build";
  return false;
}

std::unique_ptr<StationPage> StartStationPage(StationControl&, const PageOptions&,
                                              std::string* error) {
  *error = "the station's page is not part of this build";
  return nullptr;
}

}  // namespace zemb
