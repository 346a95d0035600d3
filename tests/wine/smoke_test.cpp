#include <gtest/gtest.h>
#include <windows.h>
TEST(Smoke, Runs) { EXPECT_NE(GetVersion(), 0u); }
