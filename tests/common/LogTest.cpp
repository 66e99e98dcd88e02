#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "platform/UniqueResource.h"
#include "support/ChildProcess.h"
#include "support/TempDataFolder.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/UniqueHandle_win32.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace velko {
namespace {

using velko::testing::ReadWholeFile;
using velko::testing::TempDataFolder;

constexpr LocalDateTime kJan31{2024, 1, 31, 9, 5, 7, 45};
constexpr LocalDateTime kFeb1{2024, 2, 1, 0, 0, 1, 0};

// Every test starts from a freshly loaded module with its own data folder.
class LogTest : public ::testing::Test {
 protected:
  LogTest() : data_("log") {
    TLog::ResetForTesting();
    TLog::SetClock([] { return kJan31; });
  }
  ~LogTest() override { TLog::ResetForTesting(); }

  // The folder is named after the module: the DLL's a_velko1c83, here the test program.
  std::filesystem::path LogFolder() const { return data_.Root() / "log_tests"; }
  std::filesystem::path LogFile() const { return LogFolder() / "a_velko1c83_2024.01.31.log"; }

  // The file's lines, each of which must end in CR LF.
  std::vector<std::string> Lines(const std::filesystem::path& file) const {
    const std::string text = ReadWholeFile(file);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find("\r\n", start);
      if (end == std::string::npos) {
        ADD_FAILURE() << "a line without CR LF: " << text.substr(start);
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }

  TempDataFolder data_;
};

TEST_F(LogTest, LevelZeroWritesNothingButTheFolderExists) {
  TLog::Start();
  TLog::SetLogFileName(L"a_velko1c83", L"");
  EXPECT_TRUE(std::filesystem::is_directory(LogFolder()));
  EXPECT_EQ(std::filesystem::path(TLog::LogFileName()), LogFile());
  TLog::Append(L"> Method", L"Params: [()]", TMsgType::mtInfo);
  TLog::Start();
  TLog::Stop();
  EXPECT_TRUE(std::filesystem::is_empty(LogFolder()));
}

TEST_F(LogTest, BannerComesOnceBeforeTheFirstLine) {
  TLog::SetLogFileName(L"a_velko1c83", L"");
  TLog::SetLogLevel(3);
  TLog::Append(L"first", L"", TMsgType::mtInfo);
  TLog::Start();  // a second add-in object: no second banner
  TLog::Append(L"second", L"", TMsgType::mtInfo);
  TLog::Stop();

  const std::vector<std::string> lines = Lines(LogFile());
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], std::string(40, ' '));
  EXPECT_EQ(lines[1], "============Start log=============");
  EXPECT_EQ(lines[2], "OS version:\t" + WideToUtf8(TLog::GetOSVersionText()));
  EXPECT_EQ(lines[3].rfind("Application:\tlog_tests", 0), 0u) << lines[3];
  EXPECT_EQ(lines[4], "App. version:\t1.1.1.4");
  EXPECT_EQ(lines[5], std::string(40, ' '));
  EXPECT_EQ(lines[6], "2024.01.31 09:05:07.045\tfirst");
  EXPECT_EQ(lines[7], "2024.01.31 09:05:07.045\tsecond");
  EXPECT_EQ(lines[8], "============Stop log===============");
  EXPECT_EQ(lines[9], "");

  // Once closed, nothing more is closed; a later line opens with a new banner.
  TLog::Stop();
  TLog::Append(L"later", L"", TMsgType::mtInfo);
  const std::vector<std::string> again = Lines(LogFile());
  ASSERT_EQ(again.size(), 17u);
  EXPECT_EQ(again[11], "============Start log=============");
  EXPECT_EQ(again[16], "2024.01.31 09:05:07.045\tlater");
}

TEST_F(LogTest, LineFormats) {
  struct Case {
    const wchar_t* caption;
    const wchar_t* message;
    TMsgType type;
    const wchar_t* line;
  };
  const Case cases[] = {
      {L"> Pay", L"Params: [(1)]", TMsgType::mtInfo, L"2024.01.31 09:05:07.045\t> Pay: \tParams: [(1)]"},
      {L"> Pay", L"Params: [(1)]", TMsgType::mtDebug, L"2024.01.31 09:05:07.045\t> Pay: \tParams: [(1)]"},
      {L"EXCEPTION", L"boom", TMsgType::mtError, L"2024.01.31 09:05:07.045\tERROR!\tEXCEPTION: \tboom"},
      {L"Caption", L"", TMsgType::mtInfo, L"2024.01.31 09:05:07.045\tCaption"},
      {L"  Caption \t", L"\r\n msg \r\n", TMsgType::mtInfo, L"2024.01.31 09:05:07.045\tCaption: \tmsg"},
      {L"Caption", L"   ", TMsgType::mtInfo, L"2024.01.31 09:05:07.045\tCaption: \t"},
      {L"Caption", L"two\r\nlines", TMsgType::mtInfo, L"2024.01.31 09:05:07.045\tCaption: \ttwo\r\nlines"},
  };
  for (const Case& c : cases) EXPECT_EQ(TLog::FormatLogString(c.caption, c.message, c.type), c.line);
}

TEST_F(LogTest, FileNameCarriesTheLoadDate) {
  TLog::SetLogFileName(L"a_velko1c83", L"");
  TLog::SetLogLevel(3);
  TLog::SetClock([] { return kFeb1; });  // the process runs past midnight
  TLog::Append(L"after midnight", L"", TMsgType::mtInfo);
  EXPECT_TRUE(std::filesystem::exists(LogFile()));
  EXPECT_FALSE(std::filesystem::exists(LogFolder() / "a_velko1c83_2024.02.01.log"));
  EXPECT_EQ(Lines(LogFile()).back(), "2024.02.01 00:00:01.000\tafter midnight");

  // Without a name fixed at load, the module's name and today's date are used.
  TLog::SetClock([] { return kJan31; });
  EXPECT_EQ(std::filesystem::path(TLog::BuildLogFileName(L"x", L"sub")), data_.Root() / "sub" / "x_2024.01.31.log");
  EXPECT_TRUE(std::filesystem::is_directory(data_.Root() / "sub"));
  const std::filesystem::path by_module(TLog::BuildLogFileName(L"", L""));
  EXPECT_EQ(by_module.filename().string().rfind("log_tests_2024.01.31.log", 0), 0u) << by_module;
  EXPECT_EQ(by_module.parent_path(), data_.Root() / "log_tests");
}

TEST_F(LogTest, CardNumbersAreMaskedInEveryLine) {
  TLog::SetLogFileName(L"a_velko1c83", L"");
  TLog::SetLogLevel(3);
  TLog::Append(L"> Pay 4111111111111111", L"Params: [('4111 1111 1111 1111'; 10000; '123456789012')]",
               TMsgType::mtInfo);
  const std::string text = ReadWholeFile(LogFile());
  EXPECT_EQ(text.find("4111111111111111"), std::string::npos) << text;
  EXPECT_NE(text.find("> Pay 411111******1111: \tParams: [('4111 11** **** 1111'; 10000; '123456789012')]"),
            std::string::npos)
      << text;
}

TEST_F(LogTest, FolderRemovedAfterLoadComesBack) {
  TLog::SetLogFileName(L"a_velko1c83", L"");
  TLog::SetLogLevel(3);
  std::filesystem::remove_all(LogFolder());
  TLog::Append(L"line", L"", TMsgType::mtInfo);
  EXPECT_EQ(Lines(LogFile()).back(), "2024.01.31 09:05:07.045\tline");
  EXPECT_EQ(TLog::DroppedLines(), 0u);
}

// The log folder is open to every user: a link planted in the log file's
// place is never followed, the line is dropped and counted instead. (A
// symbolic link only where this account may make one: not every Windows
// account may.)
TEST_F(LogTest, APlantedLinkIsNotWrittenThrough) {
  TLog::SetLogFileName(L"a_velko1c83", L"");
  TLog::SetLogLevel(3);
  TLog::Append(L"banner first", L"", TMsgType::mtInfo);
  const std::filesystem::path victim = data_.Root() / "victim";
  std::ofstream(victim) << "untouched";
  uint64_t planted = 0;
  for (const bool symbolic : {true, false}) {
    std::filesystem::remove(LogFile());
    std::error_code refused;
    if (symbolic)
      std::filesystem::create_symlink(victim, LogFile(), refused);
    else
      std::filesystem::create_hard_link(victim, LogFile());
    if (refused) continue;
    ++planted;
    TLog::Append(L"line", L"", TMsgType::mtInfo);
  }
  EXPECT_EQ(ReadWholeFile(victim), "untouched");
  EXPECT_EQ(TLog::DroppedLines(), planted);
}

// Keeps other writers out of a file, as another process holding it would.
class FileHolder {
 public:
  explicit FileHolder(const std::filesystem::path& path) {
#ifdef _WIN32
    file_.reset(CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    EXPECT_TRUE(file_);
#else
    file_.reset(open(path.string().c_str(), O_WRONLY | O_CREAT, 0666));
    EXPECT_TRUE(file_);
    EXPECT_EQ(flock(file_.get(), LOCK_EX), 0);
#endif
  }

 private:
#ifdef _WIN32
  unique_hfile file_;
#else
  unique_fd file_;
#endif
};

TEST_F(LogTest, HeldFileDropsTheLineAndTheNextLineCountsIt) {
  TLog::SetLogFileName(L"a_velko1c83", L"");
  TLog::SetLogLevel(3);
  TLog::Append(L"before", L"", TMsgType::mtInfo);
  {
    FileHolder holder(LogFile());
    TLog::Append(L"lost", L"", TMsgType::mtInfo);  // must neither throw nor block for long
    TLog::Append(L"lost too", L"", TMsgType::mtError);
  }
  EXPECT_EQ(TLog::DroppedLines(), 2u);
  TLog::Append(L"after", L"", TMsgType::mtInfo);
  const std::vector<std::string> lines = Lines(LogFile());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[6], "2024.01.31 09:05:07.045\tbefore");
  EXPECT_EQ(lines[7],
            "2024.01.31 09:05:07.045\tERROR!\tLOG: \t2 line(s) before this one could not be written: "
            "the log file was held or could not be opened");
  EXPECT_EQ(lines[8], "2024.01.31 09:05:07.045\tafter");
  TLog::Append(L"again", L"", TMsgType::mtInfo);
  EXPECT_EQ(Lines(LogFile()).size(), 10u) << "the count is reported once";
}

TEST(LogOsText, NamesTheVersion) {
  const auto windows = [](uint32_t major, uint32_t minor, uint32_t build, bool nt, const wchar_t* sp) {
    OsVersion v;
    v.Windows = true;
    v.Major = major;
    v.Minor = minor;
    v.Build = build;
    v.NTPlatform = nt;
    v.ServicePack = sp;
    return std::optional<OsVersion>(v);
  };
  EXPECT_EQ(OsVersionText(std::nullopt), L"Unknown ");
  EXPECT_EQ(OsVersionText(windows(10, 0, 19045, true, L"")), L"Windows 10 (10.0.19045)");
  EXPECT_EQ(OsVersionText(windows(5, 1, 2600, true, L"Service Pack 3")), L"Windows XP Service Pack 3 (5.1.2600)");
  EXPECT_EQ(OsVersionText(windows(4, 0, 950, false, L"")), L"Windows 95 (4.0.950)");
  EXPECT_EQ(OsVersionText(windows(6, 4, 1, true, L"")), L"Unknown (6.4.1)");
  const std::pair<std::pair<uint32_t, uint32_t>, const wchar_t*> names[] = {
      {{3, 51}, L"Windows NT 3"}, {{4, 10}, L"Windows 98"},   {{4, 90}, L"Windows ME"},
      {{5, 0}, L"Windows 2000"},  {{5, 2}, L"Windows 2003"},  {{6, 0}, L"Windows Vista"},
      {{6, 1}, L"Windows 7"},     {{6, 2}, L"Windows 8.0"},   {{6, 3}, L"Windows 8.1"},
      {{10, 1}, L"Unknown"},      {{11, 0}, L"Unknown"},      {{4, 1}, L"Unknown"},
  };
  for (const auto& [version, name] : names) EXPECT_EQ(WindowsVersionName(version.first, version.second, true), name);
  EXPECT_EQ(WindowsVersionName(4, 0, true), L"Windows NT 4");

  OsVersion posix;
  posix.SystemName = L"Linux";
  posix.Release = L"6.1.0-18-amd64";
  EXPECT_EQ(OsVersionText(posix), L"Linux 6.1.0-18-amd64");
#ifdef _WIN32
  EXPECT_EQ(TLog::GetOSVersionText().rfind(L"Windows ", 0), 0u);
#else
  EXPECT_EQ(TLog::GetOSVersionText().rfind(L"Linux ", 0), 0u);
#endif
}

// Two processes append to one log at once: every line arrives whole. Each
// writes at a brisk but real pace (a host call is far slower than a line);
// two loops that do nothing but append would keep the file held nearly all
// the time, which is no situation the retries are meant for.
constexpr int kLinesPerProcess = 600;
constexpr char kChildVariable[] = "VELKO_LOG_TEST_CHILD";

void AppendTaggedLines(const wchar_t* tag) {
  const std::wstring padding(120, L'x');
  for (int i = 0; i < kLinesPerProcess; ++i) {
    TLog::Append(tag, std::to_wstring(i) + L" " + padding, TMsgType::mtInfo);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void PrepareSharedLog() {
  TLog::ResetForTesting();
  TLog::SetClock([] { return kJan31; });
  TLog::SetLogFileName(L"shared", L"a_velko1c83");
  TLog::SetLogLevel(3);
}

TEST(LogChild, AppendLines) {
  const char* ready = std::getenv(kChildVariable);
  if (!ready || !*ready) GTEST_SKIP() << "runs only as the child process of LogProcesses.AppendAtOnce";
  PrepareSharedLog();
  { std::ofstream(ready) << "ready"; }
  AppendTaggedLines(L"child");
  EXPECT_EQ(TLog::DroppedLines(), 0u);
  TLog::ResetForTesting();
}

TEST(LogProcesses, AppendAtOnceWithoutLossOrInterleaving) {
  TempDataFolder data("log2");
  const std::filesystem::path ready = data.Root() / "child.ready";
  velko::testing::SetEnvVar(kChildVariable, ready.string());

  velko::testing::ChildProcess child;
  const bool spawned = child.Start("LogChild.AppendLines");
  velko::testing::SetEnvVar(kChildVariable, "");
  ASSERT_TRUE(spawned);

  // Start writing when the child does (a slow start under wine would
  // otherwise leave nothing to overlap); give up waiting after 60 s.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(ready) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PrepareSharedLog();
  AppendTaggedLines(L"parent");
  EXPECT_EQ(TLog::DroppedLines(), 0u);

  EXPECT_EQ(child.Wait(), 0);
  TLog::ResetForTesting();

  const std::string text = ReadWholeFile(data.Root() / "a_velko1c83" / "shared_2024.01.31.log");
  const std::string padding(120, 'x');
  int next[2] = {0, 0};
  int banners = 0, switches = 0, last = -1;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    if (line.rfind("2024.01.31 09:05:07.045\t", 0) != 0) {
      banners += line == "============Start log=============";
      continue;
    }
    const std::string rest = line.substr(24);
    const int who = rest.rfind("parent: \t", 0) == 0 ? 0 : rest.rfind("child: \t", 0) == 0 ? 1 : -1;
    ASSERT_GE(who, 0) << line;
    // Each process's lines arrive whole and in its own order.
    const std::string expected = std::to_string(next[who]++) + " " + padding;
    ASSERT_EQ(rest.substr(rest.find('\t') + 1), expected) << line;
    switches += last >= 0 && last != who;
    last = who;
  }
  EXPECT_EQ(next[0], kLinesPerProcess);
  EXPECT_EQ(next[1], kLinesPerProcess);
  EXPECT_EQ(banners, 2) << "one banner per process";
  RecordProperty("switches", switches);
}

}  // namespace
}  // namespace velko
