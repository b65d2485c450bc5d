#include <gtest/gtest.h>

#include "test_support.h"
TEST(Smoke, Builds) { SUCCEED(); }
