#include "platform/module_directory.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace merravine::platform {
namespace {

TEST(ModuleDirectory, FolderOfTheRunningTest) {
    const std::string folder = GetModuleDirectory();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(folder) / "platform_tests"));
}

TEST(ModuleDirectory, FolderOfPath) {
    EXPECT_EQ(FolderOfPath("/opt/tools/app/prog"), "/opt/tools/app");
    EXPECT_EQ(FolderOfPath("/prog"), "/");
    EXPECT_EQ(FolderOfPath("prog"), "");
}

}  // namespace
}  // namespace merravine::platform
