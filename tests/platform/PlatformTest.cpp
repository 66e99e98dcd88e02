#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/TextUtf.h"
#include "platform/Services.h"
#include "platform/TextCompare.h"
#include "support/TempDataFolder.h"

namespace velko {
namespace {

TEST(TextCompare, IgnoresCaseOfLatinAndCyrillicLetters) {
  EXPECT_TRUE(SameTextIgnoreCase(L"GetVersion", L"GETVERSION"));
  EXPECT_TRUE(SameTextIgnoreCase(L"ПолучитьОшибку", L"получитьошибку"));
  EXPECT_TRUE(SameTextIgnoreCase(L"Ёлка", L"ёЛКА"));
  EXPECT_TRUE(SameTextIgnoreCase(L"", L""));
  EXPECT_FALSE(SameTextIgnoreCase(L"Ёлка", L"Елка"));
  EXPECT_FALSE(SameTextIgnoreCase(L"abc", L"abc "));
  EXPECT_FALSE(SameTextIgnoreCase(L"abc", L""));
  EXPECT_FALSE(SameTextIgnoreCase(L"Оплата", L"Оплатa"));  // Latin "a" at the end
}

TEST(TextCompare, OwnFoldCoversTheCyrillicBlock) {
  EXPECT_EQ(FoldCaseLatinCyrillic(L'Ё'), L'ё');
  EXPECT_EQ(FoldCaseLatinCyrillic(L'Я'), L'я');
  EXPECT_EQ(FoldCaseLatinCyrillic(L'А'), L'а');
  EXPECT_EQ(FoldCaseLatinCyrillic(L'Z'), L'z');
  EXPECT_EQ(FoldCaseLatinCyrillic(L'ё'), L'ё');
  EXPECT_EQ(FoldCaseLatinCyrillic(L'1'), L'1');
}

TEST(ProcessService, ReportsTheModuleVersionAndHostName) {
  EXPECT_EQ(PlatformProcessService().ModuleFileVersion(), L"1.1.1.4");
  const std::wstring exe = PlatformProcessService().HostExecutableName();
  EXPECT_NE(exe.find(L"platform_tests"), std::wstring::npos) << WideToUtf8(exe);
  EXPECT_EQ(exe.find_first_of(L"/\\"), std::wstring::npos);
  EXPECT_FALSE(PlatformProcessService().ModuleFilePath().empty());
}

TEST(ProcessService, FileWithoutVersionInformationGivesZeros) {
  velko::testing::TempDataFolder folder("no_version");
  const std::filesystem::path path = folder.Root() / "no_version_resource.bin";
  { std::ofstream(path, std::ios::binary) << "not a program"; }
  EXPECT_EQ(ReadFileVersion(path.wstring()), L"0.0.0.0");
  EXPECT_EQ(ReadFileVersion((folder.Root() / "no such file").wstring()), L"0.0.0.0");
  EXPECT_EQ(FormatFileVersion(0x00010001, 0x00010004), L"1.1.1.4");
  EXPECT_EQ(FormatFileVersion(0xFFFF0002, 0x00030000), L"65535.2.3.0");
}

TEST(ProcessService, TickCounterAdvancesAcrossASleep) {
  ProcessService& process = PlatformProcessService();
  const uint64_t start = process.TickCount();
  process.Sleep(100);
  const uint64_t elapsed = process.TickCount() - start;
  // The Windows tick counter moves in steps of about 16 ms.
  EXPECT_GE(elapsed, 50u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(Services, OverrideIsScoped) {
  HostNameOverride host(L"1cv7.exe");
  {
    ScopedServiceOverride scope(nullptr, &host);
    EXPECT_EQ(Services().Process->HostExecutableName(), L"1cv7.exe");
    EXPECT_EQ(Services().Process->ModuleFileVersion(), L"1.1.1.4");
  }
  EXPECT_EQ(Services().Process, &PlatformProcessService());
}

}  // namespace
}  // namespace velko
