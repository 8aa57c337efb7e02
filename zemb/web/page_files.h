// The page's files (zemb/web/page/), compiled into the program by
// cmake/embed_files.cmake: a station serves its page with nothing read from
// disk or the network.
#pragma once

#include <cstddef>

namespace zemb {

struct PageFile {
  const char* name;  // the file's leaf name: index.html, page.js, ...
  const unsigned char* data;
  std::size_t size;
};

extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

}  // namespace zemb
