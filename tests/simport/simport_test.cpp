#include <gtest/gtest.h>
TEST(Simport, Placeholder) {}
