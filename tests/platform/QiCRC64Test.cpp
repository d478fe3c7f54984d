#include <platform/QiCRC64.h>

#include <string>

#include <gtest/gtest.h>

namespace {

uint64_t Crc(const std::string& text) {
    CQiCRC64 crc;
    crc.UpdateCRC64(text.data(), text.size());
    return crc.GetCRC64();
}

TEST(QiCRC64, MatchesTheXzCheckValue) {
    EXPECT_EQ(Crc("123456789"), 0x995DC9BBDF1939FAULL);
    EXPECT_EQ(Crc(""), 0u);
}

TEST(QiCRC64, SplitUpdatesEqualOneUpdate) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>((i * 131 + 7) & 0xFF);
    const uint64_t whole = Crc(data);
    for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{1500},
                              data.size() - 1, data.size()}) {
        CQiCRC64 crc;
        crc.UpdateCRC64(data.data(), split);
        crc.UpdateCRC64(data.data() + split, data.size() - split);
        EXPECT_EQ(crc.GetCRC64(), whole) << "split at " << split;
    }
    CQiCRC64 bytewise;
    for (const char c : data) bytewise.UpdateCRC64(&c, 1);
    EXPECT_EQ(bytewise.GetCRC64(), whole);
}

TEST(QiCRC64, ResetStartsAfresh) {
    CQiCRC64 crc;
    crc.UpdateCRC64("noise", 5);
    crc.Reset();
    crc.UpdateCRC64("123456789", 9);
    EXPECT_EQ(crc.GetCRC64(), 0x995DC9BBDF1939FAULL);
}

}  // namespace
