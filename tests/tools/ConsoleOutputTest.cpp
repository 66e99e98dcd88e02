// velko's output on Windows: what is a console, and what a console shows of
// the UTF-8 texts velko writes.
#include <gtest/gtest.h>

#include <windows.h>

#include <ostream>
#include <string>

#include "ConsoleOutput.h"

namespace velko::tool {
namespace {

TEST(ConsoleOutput, PipesFilesAndNoHandleAreNotConsoles) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  EXPECT_FALSE(IsConsole(write_end));
  CloseHandle(read_end);
  CloseHandle(write_end);

  wchar_t folder[MAX_PATH] = {}, name[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  ASSERT_NE(GetTempFileNameW(folder, L"vco", 0, name), 0u);
  HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(IsConsole(file));
  CloseHandle(file);

  EXPECT_FALSE(IsConsole(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(IsConsole(nullptr));
}

TEST(ConsoleOutput, AConsoleShowsTheRussianTextWhateverItsCodePage) {
  auto open_console = [] {
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  };
  HANDLE console = open_console();
  if (console == INVALID_HANDLE_VALUE && AllocConsole()) console = open_console();
  if (console == INVALID_HANDLE_VALUE) GTEST_SKIP() << "this process can get no console here";
  EXPECT_TRUE(IsConsole(console));
  // A code page in which the UTF-8 bytes would show as other letters.
  SetConsoleOutputCP(866);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info));
  const COORD at{0, info.dwCursorPosition.Y};
  ASSERT_TRUE(SetConsoleCursorPosition(console, at));
  {
    ConsoleBuffer buffer(console);
    std::ostream out(&buffer);
    const std::string text = "Номер квитанции: 0000000003";
    out.write(text.data(), 3);  // the second letter split between two writes
    out.write(text.data() + 3, static_cast<std::streamsize>(text.size() - 3));
    out.flush();
  }
  wchar_t shown[64] = {};
  DWORD count = 0;
  ASSERT_TRUE(ReadConsoleOutputCharacterW(console, shown, 27, at, &count));
  EXPECT_EQ(std::wstring(shown, count), L"Номер квитанции: 0000000003");
  CloseHandle(console);
}

}  // namespace
}  // namespace velko::tool
