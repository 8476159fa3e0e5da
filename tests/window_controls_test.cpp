// The main window's controls: the TAB box, the search boxes, the tree's look and keys.
#include <gtest/gtest.h>
