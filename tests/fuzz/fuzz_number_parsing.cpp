// StringToField against boost::lexical_cast itself, for every field type and both
// overloads: whatever text it is given, StringToField must return lexical_cast's
// value, or the fallback exactly when lexical_cast throws. Any disagreement aborts.
//
// The input is handed over as a view into a heap block of exactly its size, so a
// conversion that reads past the end of its text is caught by the sanitizer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <boost/lexical_cast.hpp>

#include <IdxReports/ReportRecord.h>

namespace {

template <typename T>
void Check(std::string_view text) {
    bool accepted = true;
    T expected{};
    try {
        expected = boost::lexical_cast<T>(text.data(), text.size());
    } catch (const boost::bad_lexical_cast&) {
        accepted = false;
    }
    // Two fallbacks tell a rejection apart from a value equal to the fallback.
    const T first = static_cast<T>(77);
    const T second = static_cast<T>(-5);
    const T got[] = {I2::ReportRecord::StringToField<T>(std::string(text), first),
                     I2::ReportRecord::StringToField<T>(text, first),
                     I2::ReportRecord::StringToField<T>(text, second)};
    const T wanted[] = {accepted ? expected : first, accepted ? expected : first, accepted ? expected : second};
    // Bit for bit, so the sign of a zero or a NaN counts.
    for (int i = 0; i < 3; ++i)
        if (std::memcmp(&got[i], &wanted[i], sizeof(T)) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    const std::string_view text(copy.get(), size);
    Check<int>(text);
    Check<long>(text);
    Check<unsigned long long>(text);
    Check<double>(text);
    return 0;
}
