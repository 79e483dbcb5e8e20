// Reading a fuzzer's input from the front, as the harnesses decode it into
// operations and descriptors. Past its end every read gives zeros, so any
// input, however short, decodes to something valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bulkcom_fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return position_ >= size_; }

    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }

    uint16_t Word()
    {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }

    uint32_t Long()
    {
        uint32_t low = Word();
        return low | uint32_t{Word()} << 16;
    }

    // Exactly count bytes: those left in the input, then zeros.
    std::vector<uint8_t> Bytes(size_t count)
    {
        std::vector<uint8_t> bytes(count);
        for (uint8_t& byte : bytes) {
            byte = Byte();
        }
        return bytes;
    }

    // A 16-bit length (taken modulo limit + 1), then that many bytes, fewer
    // when the input ends first.
    std::vector<uint8_t> Blob(size_t limit)
    {
        size_t length = Word() % (limit + 1);
        size_t available = position_ < size_ ? size_ - position_ : 0;
        length = length < available ? length : available;
        std::vector<uint8_t> bytes(data_ + position_, data_ + position_ + length);
        position_ += length;
        return bytes;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace bulkcom_fuzz
