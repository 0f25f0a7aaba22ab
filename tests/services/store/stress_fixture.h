// The fixture of the store's stress tests: a fresh root with the built store
// and MIME libraries registered, and the store opened through the registry.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>

#include "platform/runtime.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

namespace store_stress {

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<vorn_test::TempRoot>();
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    initialised_ = true;
    ASSERT_EQ(S_OK, RegisterServers());
    ASSERT_EQ(S_OK, OpenStore(&store_));
  }
  void TearDown() override {
    store_ = nullptr;
    if (initialised_) CoUninitialize();
    root_.reset();
  }

  // The seed of a randomised test: VORN_STRESS_SEED when set, otherwise a
  // new one; printed so that a failing run can be repeated.
  static uint64_t Seed() {
    const char* given = std::getenv("VORN_STRESS_SEED");
    uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device()();
    std::printf("seed %llu (VORN_STRESS_SEED repeats it)\n",
                static_cast<unsigned long long>(seed));
    return seed;
  }

  std::unique_ptr<vorn_test::TempRoot> root_;
  ComPtr<IStoreNamespace> store_;

 private:
  bool initialised_ = false;
};

}  // namespace store_stress
