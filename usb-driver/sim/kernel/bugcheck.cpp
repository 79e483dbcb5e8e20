#include "bugcheck.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

void BugCheck(std::string_view code, std::string_view reason, const void* object)
{
    std::fprintf(stderr, "\n*** STOP: %s\n*** %s\n*** object %p\n", std::string(code).c_str(),
                 std::string(reason).c_str(), object);
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim
