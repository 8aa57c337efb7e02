// Opening an input file that must be a regular file. A FIFO blocks a plain
// open until someone writes to it, a device node or a directory reads as
// something no file holds; the tools and zembsim refuse all of them before
// reading anything, without waiting.
#pragma once

#include <cstdio>

namespace zemb {

// Opens `path` (UTF-8, see file_names.h) for reading with the stdio `mode` ("r" or "rb") when it
// names a regular file (after following links); nullptr otherwise, or when it cannot be opened.
// Never blocks on a FIFO.
std::FILE* OpenRegularFile(const char* path, const char* mode);

}  // namespace zemb
