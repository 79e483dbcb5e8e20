// Building seed inputs the way the harnesses read them (fuzz_input.h):
// little-endian numbers and length-prefixed blobs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bulkcom_fuzz {

class SeedBytes {
public:
    SeedBytes& Byte(uint8_t value)
    {
        bytes_.push_back(value);
        return *this;
    }
    SeedBytes& Word(uint16_t value)
    {
        return Byte(static_cast<uint8_t>(value & 0xFF)).Byte(static_cast<uint8_t>(value >> 8));
    }
    SeedBytes& Long(uint32_t value)
    {
        return Word(static_cast<uint16_t>(value & 0xFFFF)).Word(static_cast<uint16_t>(value >> 16));
    }
    SeedBytes& Bytes(const std::vector<uint8_t>& bytes)
    {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    SeedBytes& Blob(const std::vector<uint8_t>& bytes)
    {
        return Word(static_cast<uint16_t>(bytes.size())).Bytes(bytes);
    }

    const std::vector<uint8_t>& Get() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

struct Seed {
    std::string name;
    std::vector<uint8_t> bytes;
};

}  // namespace bulkcom_fuzz
