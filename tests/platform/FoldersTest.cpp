#include <gtest/gtest.h>

#include <cstdlib>

#include "common/TextUtf.h"
#include "platform/Folders.h"
#include "support/TempDataFolder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace velko {
namespace {

std::string TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
#ifdef _WIN32
  if (!tmp) tmp = std::getenv("TEMP");
#endif
  return tmp ? tmp : "/tmp";
}

TEST(Folders, CommonAppDataHonoursTheOverrideAndCreatesIt) {
  const std::string root = TempRoot() + (PathDelimiter() == L'/' ? "/" : "\\") + "velko_folders_test";
  const std::wstring wide_root = Utf8ToWide(root);
  testing::SetEnvVar("VELKO_COMMON_APPDATA", root);
  auto folder = CommonAppDataFolder();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, wide_root);
  EXPECT_TRUE(FolderExists(wide_root));

  const std::wstring sub = IncludeTrailingPathDelimiter(wide_root) + L"velko32-тест";
  if (FolderExists(sub)) {
#ifdef _WIN32
    RemoveDirectoryW(sub.c_str());
#else
    rmdir(WideToUtf8(sub).c_str());
#endif
  }
  EXPECT_TRUE(CreateFolder(sub));
  EXPECT_FALSE(CreateFolder(sub)) << "already there";
  EXPECT_NO_THROW(GrantAccessToEveryone(sub));
  EXPECT_NO_THROW(GrantAccessToEveryone(sub)) << "a second grant finds the first";
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(stat(WideToUtf8(sub).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u) << "open to every user, each user's files kept from the others";
#endif
  EXPECT_FALSE(FileExists(sub));
  EXPECT_THROW(GrantAccessToEveryone(sub + L"-missing"), std::runtime_error);
  testing::SetEnvVar("VELKO_COMMON_APPDATA", "");
}

TEST(Folders, TrailingDelimiterIsAddedOnce) {
  const std::wstring d(1, PathDelimiter());
  EXPECT_EQ(IncludeTrailingPathDelimiter(L"a"), L"a" + d);
  EXPECT_EQ(IncludeTrailingPathDelimiter(L"a" + d), L"a" + d);
  EXPECT_EQ(IncludeTrailingPathDelimiter(L""), d);
}

}  // namespace
}  // namespace velko
