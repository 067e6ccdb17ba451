// Status reporting, the reports of nspcFft and nspsbMpy1, the default
// handler and the aligned allocator.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "nsp/nsp.h"
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"
#include "nsp_test_util.h"

namespace {

class NspReports : public ::testing::Test {
protected:
    void SetUp() override { start_recording(); }
    void TearDown() override {
        stop_recording();
        nspStoreStatus(0);
    }
};

struct Case {
    ComplexFloat* samps;
    int32_t order;
    int32_t flags;
    const char* condition;
    int status;
    int line;
};

TEST_F(NspReports, FftConditionsInTheirOrderOfPrecedence) {
    std::vector<ComplexFloat> x = random_signal(16, 7);
    const std::vector<ComplexFloat> before = x;
    ComplexFloat* d = x.data();
    const Case cases[] = {
        {nullptr, -1, 0, "order<0", -5, 485},
        {d, INT32_MIN, 1, "order<0", -5, 485},
        {nullptr, 32, 3 | 64 | 128, "order>31", -5, 485},
        {nullptr, 4, 3, "samps==0", -5, 488},
        {nullptr, 4, 0, "samps==0", -5, 488},
        {d, 4, 3, "(flags & 1) && (flags & 2)", -5, 491},
        {d, 4, 3 | 64 | 128, "(flags & 1) && (flags & 2)", -5, 491},
        {d, 4, 0, "(flags & 1)==0 && (flags & 2)==0", -5, 491},
        {d, 4, 16 | 32, "(flags & 1)==0 && (flags & 2)==0", -5, 491},
        {d, 4, 193, "(flags & 64) && (flags & 128)", -5, 492},
        {d, 4, 1 | 32 | 64 | 128, "(flags & 64) && (flags & 128)", -5, 492},
        {d, 4, 97, "(flags & 64) && (flags & 32)", -5, 492},
        {d, 4, 161, "(flags & 32) && (flags & 128)", -5, 492},
        {d, 0, 2 | 32 | 128, "(flags & 32) && (flags & 128)", -5, 492},
    };
    for (const Case& c : cases) {
        recorded().clear();
        nspcFft(c.samps, c.order, c.flags);
        ASSERT_EQ(recorded().size(), 1u) << c.condition;
        const SeenReport& r = recorded()[0];
        EXPECT_EQ(r.status, c.status) << c.condition;
        EXPECT_EQ(r.func, "nspcFft");
        EXPECT_EQ(r.condition, c.condition) << "order " << c.order << " flags " << c.flags;
        EXPECT_EQ(r.module, "nspffts");
        EXPECT_EQ(r.line, c.line) << c.condition;
        EXPECT_EQ(nspState.status, c.status);
        EXPECT_TRUE(same_bits(x, before)) << c.condition;
    }
}

TEST_F(NspReports, SuccessLeavesTheStoredStatusAlone) {
    nspcFft(nullptr, 3, NSP_FFT_FORWARD);
    EXPECT_EQ(nspState.status, NSP_STS_BAD_ARGUMENT);
    std::vector<ComplexFloat> x = random_signal(8, 8);
    nspcFft(x.data(), 3, NSP_FFT_FORWARD);
    EXPECT_EQ(nspState.status, NSP_STS_BAD_ARGUMENT);
}

TEST_F(NspReports, StoringRules) {
    nspStoreStatus(-5);
    EXPECT_EQ(nspReportStatus(0, "f", "c", "m", 1), 0);
    EXPECT_EQ(nspState.status, 0);
    EXPECT_TRUE(recorded().empty());

    nspStoreStatus(-4);
    for (int code : {NSP_STS_BACKTRACE, NSP_STS_AUTOTRACE}) {
        EXPECT_EQ(nspReportStatus(code, "f", "c", "m", 2), code);
        EXPECT_EQ(nspState.status, -4);
    }
    ASSERT_EQ(recorded().size(), 2u);
    EXPECT_EQ(recorded()[1].status, NSP_STS_AUTOTRACE);

    EXPECT_EQ(nspReportStatus(-13, "fn", "cond", "mod", 77), -13);
    EXPECT_EQ(nspState.status, -13);
    ASSERT_EQ(recorded().size(), 3u);
    EXPECT_EQ(recorded()[2].func, "fn");
    EXPECT_EQ(recorded()[2].condition, "cond");
    EXPECT_EQ(recorded()[2].module, "mod");
    EXPECT_EQ(recorded()[2].line, 77);
}

TEST_F(NspReports, DefaultHandlerReturnsWhenTheErrorModeIsNotZero) {
    nspSetErrorHandler(nullptr);  // the default, with error mode 1
    EXPECT_EQ(nspReportStatus(-5, "f", "c", "m", 1), -5);
    EXPECT_EQ(nspDefaultErrorHandler(-7, "f", "c", "m", 1), -7);
    std::vector<ComplexFloat> x = random_signal(8, 9), before = x;
    nspcFft(x.data(), 3, 3);
    EXPECT_TRUE(same_bits(x, before));
    EXPECT_EQ(nspState.status, -5);
}

TEST_F(NspReports, ScalarMultiplyChecks) {
    nspsbMpy1(2.0f, nullptr, 0);
    nspsbMpy1(2.0f, nullptr, -3);
    float v[3] = {1.0f, -3.0f, 0.1f};
    nspsbMpy1(2.0f, v, 0);
    nspsbMpy1(2.0f, nullptr, 3);
    ASSERT_EQ(recorded().size(), 4u);
    const char* want[4] = {"n<=0", "n<=0", "n<=0", "dst==0"};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(recorded()[i].status, NSP_STS_BAD_ARGUMENT);
        EXPECT_EQ(recorded()[i].func, "nspsbMpy1");
        EXPECT_EQ(recorded()[i].condition, want[i]);
        EXPECT_EQ(recorded()[i].module, "nsparith");
        EXPECT_EQ(recorded()[i].line, 419);
    }
    EXPECT_EQ(v[0], 1.0f);

    const float val = 0.3f;
    float w[3] = {1.0f, -3.0f, 0.1f};
    nspsbMpy1(val, w, 3);
    for (int i = 0; i < 3; i++) EXPECT_EQ(w[i], static_cast<float>(double{v[i]} * val));
}

// With the handler and error mode a process starts with, any report ends
// it with exit status 1 and prints nothing.
TEST(NspDefaultHandler, EndsTheProcessWithStatusOneSilently) {
    const int32_t trials[][2] = {{9, NSP_FFT_FORWARD}, {-1, 0}, {5, 3}};
    for (const auto& t : trials) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            close(fds[0]);
            close(fds[1]);
            nspcFft(nullptr, t[0], t[1]);
            _exit(42);  // not reached
        }
        close(fds[1]);
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << t[0] << " " << t[1];
        EXPECT_EQ(out, "");
    }
}

TEST(NspStatusText, KnownAndUnknownCodes) {
    EXPECT_STREQ(nspStatusText(0), "No Error");
    EXPECT_STREQ(nspStatusText(-4), "Out of memory");
    EXPECT_STREQ(nspStatusText(-5), "Bad argument");
    EXPECT_STREQ(nspStatusText(-14), "Bad vector length");
    for (int code : {-2, -9, -11, -15, 1, INT32_MIN})
        EXPECT_STREQ(nspStatusText(code), "Unknown error or status code") << code;
}

TEST(NspAlignedMemory, BlocksAreAlignedWithTheirStartBelow) {
    std::vector<void*> blocks;
    for (size_t size : {size_t{0}, size_t{1}, size_t{7}, size_t{24}, size_t{31}, size_t{32},
                        size_t{33}, size_t{100}, size_t{4096}, size_t{100000}}) {
        for (int rep = 0; rep < 4; rep++) {
            unsigned char* p = static_cast<unsigned char*>(nspAlignedAlloc(size));
            ASSERT_NE(p, nullptr);
            const uintptr_t at = reinterpret_cast<uintptr_t>(p);
            EXPECT_EQ(at % 32, 0u);
            const uintptr_t start = reinterpret_cast<uintptr_t>(reinterpret_cast<void**>(p)[-1]);
            // The first multiple of 32 at or above start + one pointer.
            EXPECT_EQ(at, (start + sizeof(void*) + 31) / 32 * 32);
            // The whole request is usable (the sanitizer build checks the
            // bounds).
            for (size_t i = 0; i < size; i++) p[i] = static_cast<unsigned char>(i);
            blocks.push_back(p);
        }
    }
    int32_t* ints = nspAlignedAllocInts(129);
    ASSERT_NE(ints, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ints) % 32, 0u);
    for (int32_t i = 0; i < 129; i++) ints[i] = i;
    blocks.push_back(ints);
    for (void* p : blocks) nspAlignedFree(p);
    nspAlignedFree(nullptr);
}

TEST(NspAlignedMemory, UnrepresentableRequestsAreRefused) {
    EXPECT_EQ(nspAlignedAllocInts(-1), nullptr);
    EXPECT_EQ(nspAlignedAlloc(SIZE_MAX), nullptr);
    EXPECT_EQ(nspAlignedAlloc(SIZE_MAX - 16), nullptr);
}

}  // namespace
