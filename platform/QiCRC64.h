#pragma once

#include <cstddef>
#include <cstdint>

#include <platform/Export.h>

// CRC-64/XZ accumulator (ECMA-182 polynomial, reflected, initial value and final
// value all ones): the CRC of "123456789" is 0x995DC9BBDF1939FA. File names are
// derived from it, so the variant must never change.
class IDXREPORTS_API CQiCRC64 {
public:
    CQiCRC64() noexcept { Reset(); }

    void Reset() noexcept { state_ = ~uint64_t{0}; }
    void UpdateCRC64(const void* bytes, std::size_t length) noexcept;
    uint64_t GetCRC64() const noexcept { return ~state_; }

private:
    uint64_t state_;
};
