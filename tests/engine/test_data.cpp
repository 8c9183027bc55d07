// Placeholder replaced by the metadata channel tests.
#include <gtest/gtest.h>
