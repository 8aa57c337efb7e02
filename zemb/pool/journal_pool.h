// The pool on this machine: a journal file of events, one line each,
// appended and synced, never rewritten.
#pragma once

#include <memory>
#include <string>

#include "zemb/pool/pool.h"

namespace zemb {

std::unique_ptr<PoolStore> MakeJournalPool(const std::string& path);

}  // namespace zemb
