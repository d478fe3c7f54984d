#include <platform/QiCRC64.h>

#include <boost/crc.hpp>

namespace {

using Crc64Xz = boost::crc_optimal<64, 0x42F0E1EBA9EA3693ULL, ~0ULL, ~0ULL, true, true>;

uint64_t ReverseBits(uint64_t v) noexcept {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    v = ((v >> 8) & 0x00FF00FF00FF00FFULL) | ((v & 0x00FF00FF00FF00FFULL) << 8);
    v = ((v >> 16) & 0x0000FFFF0000FFFFULL) | ((v & 0x0000FFFF0000FFFFULL) << 16);
    return (v >> 32) | (v << 32);
}

}  // namespace

// state_ holds the complement of the CRC of the bytes so far, which is the
// remainder in reflected bit order. Boost resumes from the remainder in its
// unreflected form, and its checksum is the complemented, reflected remainder,
// so one Update is: reflect state_ in, complement the checksum out.
void CQiCRC64::UpdateCRC64(const void* bytes, std::size_t length) noexcept {
    if (bytes == nullptr || length == 0) return;
    Crc64Xz crc(ReverseBits(state_));
    crc.process_bytes(bytes, length);
    state_ = ~crc.checksum();
}
