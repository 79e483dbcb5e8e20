// libFuzzer harness: a hostile application's control requests, held waits
// and the ways they end, round trips and Plug and Play requests, on a fresh
// simulated platform per input (the input's layout is in control_input.h).

#include <cstddef>
#include <cstdint>

#include "control_session.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace bulkcom_fuzz;
    using control_input::Ending;
    using control_input::Operation;

    FuzzInput input(data, size);
    StartFresh();
    {
        uint8_t flags = input.Byte();
        auto ending = static_cast<Ending>(input.Byte() % static_cast<uint8_t>(Ending::Count));
        ControlSession session((flags & 1) != 0 ? sim::CompletionMode::ControllerThread
                                                : sim::CompletionMode::Synchronous);
        for (size_t count = 0; count < control_input::MaxOperations && !input.Empty(); count++) {
            session.Run(static_cast<Operation>(input.Byte() % static_cast<uint8_t>(Operation::Count)), input);
        }
        session.End(ending);
    }
    RequirePlatformClean();
    return 0;
}
