// Writes the seed corpora of both harnesses into the given folder, one
// file per seed under corpus/<harness>/; regression cases kept there are
// left as they are.

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "control_seeds.h"
#include "descriptor_seeds.h"

namespace {

bool Write(const std::filesystem::path& folder, const std::vector<bulkcom_fuzz::Seed>& seeds)
{
    std::filesystem::create_directories(folder);
    for (const bulkcom_fuzz::Seed& seed : seeds) {
        std::ofstream file(folder / seed.name, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", (folder / seed.name).c_str());
            return false;
        }
    }
    std::printf("%zu seeds in %s\n", seeds.size(), folder.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    std::filesystem::path corpus(argv[1]);
    bool written = Write(corpus / "control_requests", bulkcom_fuzz::ControlSeeds()) &&
                   Write(corpus / "usb_descriptors", bulkcom_fuzz::DescriptorSeeds());
    return written ? 0 : 1;
}
