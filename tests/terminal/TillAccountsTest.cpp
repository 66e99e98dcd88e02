// The till's files under two accounts on one machine: the till's (uid 2001)
// and another (uid 2002), both in the group 3000, with a private /var/lib
// (a mount namespace and a tmpfs). Every case runs in a child of its own.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "common/Common.Log.h"
#include "common/TextUtf.h"
#include "driver/uDriverSettings.h"
#include "emulator/PrivateFile.h"
#include "platform/FolderTrust.h"
#include "support/ScriptedExchange.h"
#include "terminal/uReceiptEnum.h"
#include "terminal/uVelkoDriver.h"
#endif

namespace velko {
namespace {

#ifdef _WIN32
TEST(TillAccounts, PlantedFilesAreNotTheTills) {
  GTEST_SKIP() << "the two-account cases need POSIX accounts, mount namespaces and setuid; the Windows folder "
                  "rules are the decision table of FolderTrustTest";
}
#else

namespace fs = std::filesystem;
using testing::ScriptedExchange;

constexpr uid_t kTill = 2001, kOther = 2002;
constexpr gid_t kGroup = 3000;

// Runs `prepare` and then `body` in a forked child whose standard output is
// read back into `report`. The child's exit status: what `prepare` exits
// with when it cannot set the child up, else 0 when `body` returned true, 1
// otherwise. Answers that status (-1 when the child did not exit).
int InChild(const std::function<void()>& prepare, const std::function<bool()>& body, std::string& report) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    dup2(out[1], 1);
    prepare();
    bool ok = false;
    try {
      ok = body();
    } catch (const std::exception& e) {
      std::printf("exception: %s\n", e.what());
    }
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
  }
  close(out[1]);
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` as `uid` (group kGroup) in a child; true when it returned true.
// `report` gets what it wrote to its standard output.
bool AsAccount(uid_t uid, const std::function<bool()>& body, std::string* report = nullptr) {
  std::string text;
  const int status = InChild(
      [uid] {
        const gid_t groups[] = {kGroup};
        if (setgroups(1, groups) != 0 || setresgid(kGroup, kGroup, kGroup) != 0 || setresuid(uid, uid, uid) != 0)
          _exit(3);
        const std::string home = "/var/lib/home" + std::to_string(uid);
        setenv("HOME", home.c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        umask(022);
      },
      body, text);
  if (report) *report = text;
  return status == 0;
}

// Runs `body` (as root) in a child with a private, empty /var/lib (mode 0755)
// and the two accounts' homes in it. Gives the child's report, or nullopt
// with `why` when no such child can be made here.
std::optional<std::string> InPrivateVarLib(const std::function<bool()>& body, std::string& why) {
  std::string text;
  const int status = InChild(
      [] {
        if (unshare(CLONE_NEWNS) != 0) {
          std::printf("SKIP no mount namespace (unshare -m): %s", std::strerror(errno));
          std::fflush(stdout);
          _exit(4);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755") != 0) {
          std::printf("SKIP no private tmpfs over /var/lib: %s", std::strerror(errno));
          std::fflush(stdout);
          _exit(4);
        }
        unsetenv("VELKO_COMMON_APPDATA");
        for (uid_t uid : {kTill, kOther}) {
          const std::string home = "/var/lib/home" + std::to_string(uid);
          mkdir(home.c_str(), 0700);
          if (chown(home.c_str(), uid, kGroup) != 0) _exit(5);
        }
      },
      body, text);
  if (status == 4) {
    why = text;
    return std::nullopt;
  }
  if (status != 0) return "FAILED " + text;
  return text;
}

bool CanRunHere(std::string& why) {
  if (geteuid() != 0) {
    why = "the two accounts are made with setuid, which needs root";
    return false;
  }
  return InPrivateVarLib([] { return true; }, why).has_value();
}

// A till's folder as an administrator gives it: root, the group, 3770.
void GroupFolder(const std::string& path) {
  mkdir(path.c_str(), 0700);
  if (chown(path.c_str(), 0, kGroup) != 0 || chmod(path.c_str(), 03770) != 0) throw std::runtime_error("setup");
}

void WriteFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  fchmod(fd, mode);
  close(fd);
}

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Record(uint32_t next, uint32_t unfinished) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 4; ++i) {
    bytes[static_cast<size_t>(i)] = static_cast<char>(next >> (8 * i));
    bytes[static_cast<size_t>(4 + i)] = static_cast<char>(unfinished >> (8 * i));
  }
  return bytes;
}

std::string TodaysLog() {
  const std::time_t now = std::time(nullptr);
  char date[16];
  std::strftime(date, sizeof date, "%Y.%m.%d", std::localtime(&now));
  return std::string("/var/lib/a_velko1c83/till_") + date + ".log";
}

// One thing planted by the other account, what the till does, and what it
// must say. Each row's `plant` runs as root (making the folders) and plants
// as uid 2002; `till` runs as uid 2001 and prints its answer.
struct PlantCase {
  const char* name;
  std::function<void()> folders;           // as root: the machine-wide tree
  std::function<void()> plant;             // as the other account
  std::string planted;                     // the planted file, checked untouched afterwards
  std::function<bool()> till;              // as the till's account: true when its answer is sound
};

TEST(TillAccounts, PlantedFilesAreNotTheTills) {
  std::string why;
  if (!CanRunHere(why)) GTEST_SKIP() << why;
  const PlantCase cases[] = {
      {"a settings file in the shared settings folder",
       [] { GroupFolder("/var/lib/a_velko1c83"); GroupFolder("/var/lib/velko32"); },
       [] { WriteFile("/var/lib/a_velko1c83/default.sts", "[SETTINGS]\r\nServerAddress=10.66.66.66\r\n", 0644); },
       "/var/lib/a_velko1c83/default.sts",
       [] {
         TSettingList settings;
         settings.Add(L"ServerAddress", std::nullopt, TDataType::dtString, HostValue::FromString(L"127.0.0.1"), false, L"", L"");
         try {
           ReadSettingsFile(settings, L"default");
           std::printf("read: %s\n", WideToUtf8(settings.Value(L"ServerAddress", false).ToText()).c_str());
           return false;
         } catch (const std::exception& e) {
           std::printf("%s\n", e.what());
           return std::string(e.what()).find("uid 2002") != std::string::npos &&
                  settings.Value(L"ServerAddress", false).ToText() == L"127.0.0.1";
         }
       }},
      {"a numerator file, writable by all",
       [] { GroupFolder("/var/lib/velko32"); },
       [] { WriteFile("/var/lib/velko32/ECR1", Record(1, 0), 0666); },
       "/var/lib/velko32/ECR1",
       [] {
         TReceiptEnum numerator;
         const int locked = numerator.Lock();
         std::printf("%d %s\n", locked, WideToUtf8(numerator.LockError()).c_str());
         return locked == TReceiptEnum::kCannotRead &&
                WideToUtf8(numerator.LockError()).find("/var/lib/velko32/ECR1") != std::string::npos &&
                WideToUtf8(numerator.LockError()).find("uid 2002") != std::string::npos;
       }},
      {"today's debug log",
       [] { GroupFolder("/var/lib/a_velko1c83"); },
       [] { WriteFile(TodaysLog(), "planted\n", 0666); },
       TodaysLog(),
       [] {
         TLog::SetLogLevel(3);
         const uint64_t before = TLog::DroppedLines();
         TLog::SetLogFileName(L"till", L"a_velko1c83");
         TLog::Append(L"Call", L"a line", TMsgType::mtInfo);
         const bool dropped = TLog::DroppedLines() > before;
         std::printf("%s: dropped %d\n", WideToUtf8(TLog::LogFileName()).c_str(), dropped);
         return dropped && WideToUtf8(TLog::LogFileName()) == TodaysLog();
       }},
      {"the numerator folder itself",
       [] { chmod("/var/lib", 01777); },
       [] { mkdir("/var/lib/velko32", 0777); chmod("/var/lib/velko32", 0777); },
       "/var/lib/velko32",
       [] {
         TReceiptEnum numerator;
         const int locked = numerator.Lock();
         std::printf("%d %s\n", locked, WideToUtf8(numerator.LockError()).c_str());
         // Refused, naming the owner, and no fresh numerator elsewhere.
         return locked == TReceiptEnum::kCannotRead &&
                WideToUtf8(numerator.LockError()).find("uid 2002") != std::string::npos &&
                !fs::exists("/var/lib/home2001/.local/share/velko32/ECR1") && fs::is_empty("/var/lib/velko32");
       }},
      {"the emulator's journal, made first by the other account",
       [] { mkdir("/var/lib/trial", 01777); chmod("/var/lib/trial", 01777); },
       [] { WriteFile("/var/lib/trial/journal.jsonl", "", 0666); },
       "/var/lib/trial/journal.jsonl",
       [] {
         try {
           emulator::MakePrivateFile("/var/lib/trial/journal.jsonl");
           return false;
         } catch (const std::runtime_error& e) {
           std::printf("%s\n", e.what());
           return std::string(e.what()).find("uid 2002") != std::string::npos;
         }
       }},
      {"a half-made tree: only the log and settings folder",
       [] { GroupFolder("/var/lib/a_velko1c83"); },
       [] {},
       "",
       [] {
         TReceiptEnum numerator;  // the driver loads
         const TReceiptEnum::TFolderChoice choice = TReceiptEnum::ChooseDefaultFolder(false);
         std::printf("%s | %s\n", WideToUtf8(choice.Note).c_str(), WideToUtf8(choice.Fix).c_str());
         const int locked = numerator.Lock();
         numerator.Unlock(true);
         return locked == TReceiptEnum::kLocked && !choice.MachineWide &&
                WideToUtf8(choice.Note).find("/var/lib/velko32 does not exist") != std::string::npos &&
                WideToUtf8(choice.Fix).find("install -d -o root -g velko -m 3770 /var/lib/velko32") !=
                    std::string::npos &&
                fs::exists("/var/lib/home2001/.local/share/velko32/ECR1");
       }},
  };
  for (const PlantCase& row : cases) {
    std::string failure;
    const std::optional<std::string> report = InPrivateVarLib(
        [&] {
          row.folders();
          if (!AsAccount(kOther, [&] { row.plant(); return true; })) return false;
          std::string before;
          if (!row.planted.empty() && fs::is_regular_file(row.planted)) before = Content(row.planted);
          std::string answer;
          const bool sound = AsAccount(kTill, row.till, &answer);
          std::printf("%s", answer.c_str());
          if (!row.planted.empty() && fs::is_regular_file(row.planted) && Content(row.planted) != before) {
            std::printf("the planted file was changed\n");
            return false;
          }
          return sound;
        },
        why);
    ASSERT_TRUE(report) << why;
    EXPECT_EQ(report->rfind("FAILED", 0), std::string::npos) << row.name << ": " << *report;
  }
}

// An older machine-wide folder (1777, files 0666), where tills of both
// accounts already number: the till keeps that numerator.
TEST(TillAccounts, AnOlderEveryAccountFolderKeepsItsNumerator) {
  std::string why;
  if (!CanRunHere(why)) GTEST_SKIP() << why;
  const std::optional<std::string> report = InPrivateVarLib(
      [] {
        mkdir("/var/lib/velko32", 01777);
        chmod("/var/lib/velko32", 01777);
        if (!AsAccount(kOther, [] { WriteFile("/var/lib/velko32/ECR1", Record(5, 4), 0666); return true; }))
          return false;
        std::string answer;
        const bool ok = AsAccount(kTill, [] {
          TReceiptEnum numerator;
          const int locked = numerator.Lock();
          const TReceiptEnum::TFolderChoice choice = TReceiptEnum::ChooseDefaultFolder(false);
          std::printf("%d %u %u %s\n", locked, numerator.ReceiptNum(), numerator.VoidReceiptNum(),
                      WideToUtf8(choice.Note).c_str());
          return locked == TReceiptEnum::kLocked && numerator.ReceiptNum() == 5 && numerator.VoidReceiptNum() == 4 &&
                 WideToUtf8(choice.Fix).find("chmod 3770 /var/lib/velko32") != std::string::npos;
        }, &answer);
        std::printf("%s", answer.c_str());
        return ok;
      },
      why);
  ASSERT_TRUE(report) << why;
  EXPECT_EQ(report->rfind("FAILED", 0), std::string::npos) << *report;
}

// A till numbers in its own folder (the machine-wide one cannot be made by
// it); the third sale stays unanswered. Then an administrator makes the
// machine-wide folder, and the next day runs there: no receipt number comes
// twice, and the unfinished sale is voided once.
TEST(TillAccounts, TheNumeratorMovesWhenTheMachineWideFolderAppears) {
  std::string why;
  if (!CanRunHere(why)) GTEST_SKIP() << why;
  const std::optional<std::string> report = InPrivateVarLib(
      [] {
        std::string day1, day2;
        auto day = [](std::vector<std::pair<std::wstring, std::wstring>> script, int unanswered) {
          return [script, unanswered] {
            auto exchange = std::make_unique<ScriptedExchange>();
            ScriptedExchange* server = exchange.get();
            TVelkoDriver engine(std::move(exchange));
            server->replies.push_back(ScriptedExchange::Approved());
            if (engine.Enable() != 0) return false;
            for (size_t i = 0; i < script.size(); ++i) {
              server->replies.push_back(static_cast<int>(i) == unanswered ? ScriptedExchange::Failure(74)
                                                                          : ScriptedExchange::Approved());
              (void)engine.Sale(10000, L"");
            }
            for (const auto& request : server->requests) {
              std::wstring op, number;
              for (const auto& [tag, value] : request) {
                if (tag == &TagOperationType) op = value;
                if (tag == &TagReceiptNumber) number = value;
              }
              std::printf("%s %s|", WideToUtf8(op).c_str(), WideToUtf8(number).c_str());
            }
            return true;
          };
        };
        if (!AsAccount(kTill, day({{L"PUR", L""}, {L"PUR", L""}, {L"PUR", L""}}, 2), &day1)) return false;
        GroupFolder("/var/lib/velko32");
        if (!AsAccount(kTill, day({{L"PUR", L""}, {L"PUR", L""}}, -1), &day2)) return false;
        std::printf("day1 %s\nday2 %s\n", day1.c_str(), day2.c_str());
        // Every number of both days once, but the void that names the unfinished sale.
        std::multiset<std::string> numbers;
        int voids = 0;
        std::string unfinished;
        std::istringstream all(day1 + day2);
        for (std::string item; std::getline(all, item, '|');) {
          if (item.rfind("VOI ", 0) == 0) {
            ++voids;
            unfinished = item.substr(4);
            continue;
          }
          numbers.insert(item.substr(4));
        }
        for (const std::string& n : numbers)
          if (numbers.count(n) > 1) return false;
        return voids == 1 && numbers.count(unfinished) == 1 && fs::exists("/var/lib/velko32/ECR1") &&
               fs::exists("/var/lib/home2001/.local/share/velko32/ECR1.moved") &&
               day1.find("VOI ") == std::string::npos && day2.find("VOI " + unfinished) != std::string::npos;
      },
      why);
  ASSERT_TRUE(report) << why;
  EXPECT_EQ(report->rfind("FAILED", 0), std::string::npos) << *report;
}

#endif

}  // namespace
}  // namespace velko
