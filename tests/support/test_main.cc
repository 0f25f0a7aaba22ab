// The main of every test program: runs the tests inside a temporary platform
// root of the program's own, removed afterwards.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/temp_root.h"

int main(int argc, char** argv) {
  testing::InitGoogleMock(&argc, argv);
  int result;
  {
    vorn_test::TempRoot root;
    result = RUN_ALL_TESTS();
  }
  return result;
}
