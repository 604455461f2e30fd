#pragma once

#include <windows.h>

#include <gdiplus.h>
#include <gtest/gtest.h>

namespace testing_support {

// GDI+ for the whole test program, as the server starts it before the
// badge. Register with testing::AddGlobalTestEnvironment.
class GdiplusEnvironment : public testing::Environment {
public:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

private:
    ULONG_PTR token_ = 0;
};

}  // namespace testing_support
