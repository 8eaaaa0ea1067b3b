#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

TEST(Vanilla, Placeholder) { SUCCEED(); }
