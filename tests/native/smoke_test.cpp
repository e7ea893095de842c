#include <gtest/gtest.h>
#include "platform/platform_api.h"
#include <cstdlib>
#include <string>
TEST(Smoke, Json) { char* t = platform_getMetricsJson(); std::string s(t); free(t); EXPECT_EQ(s.substr(0, 45), "{\"activeProcessName\":\"\",\"client_latitude\":\"\","); }
