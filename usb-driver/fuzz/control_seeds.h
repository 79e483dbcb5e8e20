// The seed corpus of the control-request harness: each operation and each
// way a held wait ends, at least once.
#pragma once

#include <vector>

#include "seed_bytes.h"

namespace bulkcom_fuzz {

std::vector<Seed> ControlSeeds();

}  // namespace bulkcom_fuzz
