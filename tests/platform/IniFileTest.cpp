#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/IniFile.h"
#include "support/TempDataFolder.h"

namespace velko {
namespace {

using velko::testing::ReadWholeFile;
using velko::testing::TempDataFolder;

TEST(IniFile, WritesOneKeyAtATimeAndKeepsTheOthers) {
  TempDataFolder data("ini");
  const std::wstring file = (data.Root() / "device.sts").wstring();

  EXPECT_EQ(ReadIniString(file, L"SETTINGS", L"ServerPort", L"none"), L"none") << "no file yet";
  ASSERT_TRUE(WriteIniString(file, L"SETTINGS", L"ServerPort", L"16500"));
  ASSERT_TRUE(WriteIniString(file, L"SETTINGS", L"ServerAddress", L"127.0.0.1"));
  ASSERT_TRUE(WriteIniString(file, L"OTHER", L"ServerPort", L"1"));
  ASSERT_TRUE(WriteIniString(file, L"SETTINGS", L"Комментарий", L"Касса №1"));
  ASSERT_TRUE(WriteIniString(file, L"settings", L"SERVERPORT", L"16600"));

  EXPECT_EQ(ReadIniString(file, L"SETTINGS", L"serverport", L""), L"16600");
  EXPECT_EQ(ReadIniString(file, L"SETTINGS", L"ServerAddress", L""), L"127.0.0.1");
  EXPECT_EQ(ReadIniString(file, L"OTHER", L"ServerPort", L""), L"1");
  // Same letter case: wine's INI service folds only Latin letters.
  EXPECT_EQ(ReadIniString(file, L"SETTINGS", L"Комментарий", L""), L"Касса №1");
  EXPECT_EQ(ReadIniString(file, L"SETTINGS", L"Missing", L"fallback"), L"fallback");
  EXPECT_EQ(ReadIniString(file, L"NOSECTION", L"ServerPort", L""), L"");

#ifndef _WIN32
  // One line per key: rewriting a key does not add a second one. (The Windows
  // service writes UTF-16; its own behaviour is not ours to check.)
  std::string text = ReadWholeFile(data.Root() / "device.sts");
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t count = 0;
  for (size_t pos = 0; (pos = text.find("serverport", pos)) != std::string::npos; ++pos) ++count;
  EXPECT_EQ(count, 2u) << text;
#endif
}

TEST(IniFile, LongValuesAreCutAndBlanksTrimmed) {
  TempDataFolder data("ini");
  const std::wstring file = (data.Root() / "long.sts").wstring();
  ASSERT_TRUE(WriteIniString(file, L"S", L"Long", std::wstring(3000, L'x')));
  ASSERT_TRUE(WriteIniString(file, L"S", L"Padded", L"  value  "));
  EXPECT_EQ(ReadIniString(file, L"S", L"Long", L""), std::wstring(kIniValueMaxLength, L'x'));
  EXPECT_EQ(ReadIniString(file, L"S", L"Padded", L""), L"value");
}

TEST(IniFile, AByteOrderMarkIsNoPartOfTheFirstSection) {
  TempDataFolder data("ini");
  const std::filesystem::path file = data.Root() / "bom.sts";
  std::ofstream(file, std::ios::binary) << "\xEF\xBB\xBF[SETTINGS]\r\nServerPort=17000\r\n";
  EXPECT_EQ(ReadIniString(file.wstring(), L"SETTINGS", L"ServerPort", L""), L"17000");
}

TEST(IniFile, WriteIntoAMissingFolderFails) {
  TempDataFolder data("ini");
  const std::wstring file = (data.Root() / "absent" / "x.sts").wstring();
  EXPECT_FALSE(WriteIniString(file, L"S", L"K", L"V"));
}

}  // namespace
}  // namespace velko
