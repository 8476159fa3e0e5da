// The result tree's model: stable indexes, invalid bytes shown and copied.
#include <gtest/gtest.h>
