// The seed corpus of the USB descriptor harness: a valid bulk-pair device,
// the usual configurations, and the malformed descriptors a driver has to
// survive.
#pragma once

#include <vector>

#include "seed_bytes.h"

namespace bulkcom_fuzz {

std::vector<Seed> DescriptorSeeds();

}  // namespace bulkcom_fuzz
