// Start-up of the real daemon: configuration, directories and the run file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.hpp"

TEST(StartUp, RunFileNamesProgramDirectoryAndHoldsLock) {
  Sandbox box;
  std::string kid = box.child("kid");
  box.config(R"({"__watch":{"processes":[{"base":")" + kid + R"("}]}})");
  box.start();
  ASSERT_TRUE(eventually([&] { return box.starts(kid).size() == 1; }));
  EXPECT_EQ(box.run_file(), box.prog + "\n");
  EXPECT_EQ(box.last_args(kid), kid);
}
