#include <platform/QiError.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include <platform/internal/SysCalls.h>

// Counts allocations made by this thread, to show that success allocates nothing.
namespace {
thread_local long g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(QiError, SuccessIsEmptyAndAllocatesNothing) {
    const long before = g_allocations;
    CQiError ok = CQiError::Success();
    CQiError copy = ok;
    const bool isError = copy.IsError();
    const std::size_t traceSize = copy.GetTrace().size();
    EXPECT_EQ(g_allocations, before);

    EXPECT_FALSE(isError);
    EXPECT_EQ(traceSize, 0u);
    EXPECT_EQ(ok.GetCode(), 0);
    EXPECT_EQ(ok.GetErrNo(), 0);
    EXPECT_EQ(ok.GetSystemErrNo(), 0);
    EXPECT_EQ(ok.GetMessage(), "");
    ok.Push(FX_CODE_LOCATION);
    EXPECT_FALSE(ok.IsError());
    EXPECT_TRUE(ok.GetTrace().empty());
}

TEST(QiError, FailureCarriesCodeMessageAndTraceInOrder) {
    const int createdAt = __LINE__ + 1;
    CQiError error = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Line %d of [%s] not written", 3, "r.csv");
    const int pushedAt = __LINE__ + 1;
    error.Push(FX_CODE_LOCATION);

    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(error.GetCode(), -150);
    EXPECT_EQ(error.GetErrNo(), 150);
    EXPECT_EQ(error.GetMessage(), "Line 3 of [r.csv] not written");
    ASSERT_EQ(error.GetTrace().size(), 2u);
    EXPECT_EQ(error.GetTrace()[0].line, createdAt);
    EXPECT_EQ(error.GetTrace()[1].line, pushedAt);
    const std::string file = error.GetTrace()[0].file;
    EXPECT_EQ(file.substr(file.find_last_of('/') + 1), "QiErrorTest.cpp");
    EXPECT_EQ(file.find("/work/"), std::string::npos) << "not relative: " << file;
    EXPECT_NE(error.GetTrace()[0].function.find("TestBody"), std::string::npos);

    const std::string described = error.Describe();
    EXPECT_EQ(described.rfind("Line 3 of [r.csv] not written", 0), 0u);
    EXPECT_NE(described.find("QiErrorTest.cpp:" + std::to_string(pushedAt)), std::string::npos);
}

TEST(QiError, CopiesShareOneTrace) {
    CQiError original = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 2, "missing");
    CQiError copy = original;
    CQiError assigned;
    assigned = copy;
    copy.Push(FX_CODE_LOCATION);
    EXPECT_EQ(original.GetTrace().size(), 2u);
    EXPECT_EQ(assigned.GetTrace().size(), 2u);
    EXPECT_EQ(assigned.GetCode(), -2);
}

// Fault: re-coding a failure into a 150 dropped the reason the system gave.
TEST(QiError, RecodedFailureKeepsItsCause) {
    CQiError cause = FXErrorUtil::ErrorSysErrNo(FX_CODE_LOCATION, 22, ENOSPC, "write to [r.csv]: full");
    cause.Push(FX_CODE_LOCATION);
    CQiError error = FXErrorUtil::Recode(FX_CODE_LOCATION, 150, cause, "Failed to flush to report");
    EXPECT_EQ(error.GetErrNo(), 150);
    EXPECT_EQ(error.GetSystemErrNo(), ENOSPC);
    EXPECT_EQ(error.GetMessage(), "Failed to flush to report");
    EXPECT_EQ(error.GetTrace().size(), 1u);
    EXPECT_EQ(error.GetCause().GetMessage(), "write to [r.csv]: full");
    EXPECT_EQ(error.GetCause().GetTrace().size(), 2u);
    const std::string described = error.Describe();
    const std::size_t causedBy = described.find("\ncaused by: write to [r.csv]: full\n  at ");
    ASSERT_NE(causedBy, std::string::npos) << described;
    EXPECT_EQ(described.rfind("Failed to flush to report\n  at ", 0), 0u) << described;

    const CQiError withoutCause = FXErrorUtil::Recode(FX_CODE_LOCATION, 150, CQiError::Success(), "at end");
    EXPECT_EQ(withoutCause.GetErrNo(), 150);
    EXPECT_EQ(withoutCause.GetSystemErrNo(), 0);
    EXPECT_FALSE(withoutCause.GetCause().IsError());
    EXPECT_EQ(withoutCause.Describe().find("caused by"), std::string::npos);
}

TEST(QiError, AZeroOrNegativeCodeStillMakesAFailure) {
    EXPECT_TRUE(FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 0, "no code").IsError());
    const CQiError negative = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, -22, "already negated");
    EXPECT_EQ(negative.GetCode(), -22);
}

TEST(QiError, ErrnoMapsToLibraryCodes) {
    const struct {
        int systemErrno;
        int code;
    } cases[] = {{ENOENT, 2},  {ENOTDIR, 2}, {EINVAL, 22}, {EISDIR, 22},  {ENAMETOOLONG, 22},
                 {ELOOP, 22},  {EEXIST, 22}, {EIO, 150},   {ENOSPC, 150}, {EACCES, 150}};
    for (const auto& c : cases) {
        const CQiError error = I2::Utils::ErrorFromErrno(FX_CODE_LOCATION, c.systemErrno, "open", "/x/r.csv");
        EXPECT_EQ(error.GetErrNo(), c.code) << c.systemErrno;
        EXPECT_EQ(error.GetSystemErrNo(), c.systemErrno);
    }
    EXPECT_EQ(I2::Utils::ErrorFromErrno(FX_CODE_LOCATION, ENOENT, "open", "/x/r.csv").GetMessage(),
              "Failed to open [/x/r.csv]: No such file or directory");
}

TEST(FXString, FormatsTextOfAnyLength) {
    EXPECT_EQ(FXString::Format("%s=%d", "a", 5), "a=5");
    EXPECT_EQ(FXString::Format("%s", ""), "");
    const std::string longText(100000, 'x');
    const std::string formatted = FXString::Format("[%s]%d", longText.c_str(), 42);
    EXPECT_EQ(formatted, "[" + longText + "]42");
}

}  // namespace
