#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>

#include "platform/Folders.h"
#include "platform/Services.h"
#include "support/FailingFiles.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "terminal/uReceiptEnum.h"

namespace velko {
namespace {

using testing::ReadBytes;
using testing::TempDataFolder;
using testing::WriteBytes;
using Bytes = std::vector<unsigned char>;

// Counts the sleeps between lock attempts instead of waiting them out.
class CountingSleeps : public HostNameOverride {
 public:
  CountingSleeps() : HostNameOverride(PlatformProcessService().HostExecutableName()) {}
  void Sleep(uint32_t ms) override { sleeps.push_back(ms); }
  std::vector<uint32_t> sleeps;
};

class ReceiptEnumTest : public ::testing::Test {
 protected:
  TempDataFolder data_{"engine"};
  std::filesystem::path Folder() const { return data_.Root() / "velko32"; }
  std::filesystem::path Ecr(int n) const { return Folder() / ("ECR" + std::to_string(n)); }
};

TEST_F(ReceiptEnumTest, FirstLockCreatesTheFileAndTheNumbersStartAtOne) {
  TReceiptEnum numerator;
  EXPECT_TRUE(std::filesystem::is_directory(Folder())) << "the constructor makes the folder";
  EXPECT_EQ(numerator.FileDir().back(), PathDelimiter());
  ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
  EXPECT_TRUE(std::filesystem::exists(Ecr(1)));
  EXPECT_EQ(numerator.ReceiptNum(), 1u);
  EXPECT_EQ(numerator.VoidReceiptNum(), 0u);
  numerator.IncReceiptNumber();
  numerator.Unlock(true);
  EXPECT_EQ(ReadBytes(Ecr(1)), (Bytes{2, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ReceiptEnumTest, ReadsTheRecordAndKeepsWhatFollowsIt) {
  TReceiptEnum numerator;
  const std::pair<Bytes, std::pair<uint32_t, uint32_t>> files[] = {
      {{0x0F, 0, 0, 0, 0x0E, 0, 0, 0}, {15, 14}},
      {{1, 2, 3, 4, 5}, {1, 0}},  // short: a fresh start
      {{0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD}, {0xFFFFFFFFu, 7}},
  };
  for (const auto& [content, numbers] : files) {
    WriteBytes(Ecr(1), content);
    ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
    EXPECT_EQ(numerator.ReceiptNum(), numbers.first);
    EXPECT_EQ(numerator.VoidReceiptNum(), numbers.second);
    numerator.IncReceiptNumber();
    numerator.Unlock(true);
    Bytes after = ReadBytes(Ecr(1));
    ASSERT_EQ(after.size(), std::max<size_t>(content.size(), 8));
    // 0 means "no record": 4294967295 is followed by 1.
    const uint32_t next = numbers.first == 0xFFFFFFFFu ? 1 : numbers.first + 1;
    EXPECT_EQ(after[0] | after[1] << 8 | after[2] << 16 | static_cast<uint32_t>(after[3]) << 24, next);
    for (size_t i = 8; i < content.size(); ++i) EXPECT_EQ(after[i], content[i]) << i;
  }
}

TEST_F(ReceiptEnumTest, SecondInstanceIsRefusedWhileTheFirstHoldsTheFile) {
  CountingSleeps process;
  ScopedServiceOverride scope(nullptr, &process);
  TReceiptEnum first, second, other_register;
  other_register.SetECRNumber(2);
  ASSERT_EQ(first.Lock(), TReceiptEnum::kLocked);
  EXPECT_EQ(second.Lock(), TReceiptEnum::kCannotOpen);
  EXPECT_EQ(process.sleeps, std::vector<uint32_t>(6, 200u));
  EXPECT_FALSE(second.Locked());
  EXPECT_EQ(other_register.Lock(), TReceiptEnum::kLocked) << "another register, another file";
  first.IncReceiptNumber();
  first.Unlock(true);
  ASSERT_EQ(second.Lock(), TReceiptEnum::kLocked);
  EXPECT_EQ(second.ReceiptNum(), 2u) << "the file is the truth between operations";
}

TEST_F(ReceiptEnumTest, SettersFollowTheLockState) {
  TReceiptEnum numerator;
  numerator.SetVoidReceiptNum(9);
  numerator.IncReceiptNumber();
  EXPECT_EQ(numerator.VoidReceiptNum(), 0u);
  EXPECT_EQ(numerator.ReceiptNum(), 1u);
  EXPECT_FALSE(numerator.SaveData());

  numerator.SetECRNumber(3);
  ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
  numerator.SetECRNumber(4);
  EXPECT_EQ(numerator.ECRNumber(), 3) << "ignored while locked";
  numerator.SetVoidReceiptNum(9);
  EXPECT_TRUE(numerator.SaveData());
  numerator.IncReceiptNumber();
  numerator.Unlock(false);  // the saved record stands, the increment is dropped
  EXPECT_FALSE(numerator.Locked());
  EXPECT_EQ(ReadBytes(Ecr(3)), (Bytes{1, 0, 0, 0, 9, 0, 0, 0}));
}

TEST_F(ReceiptEnumTest, DestroyingALockedNumeratorSavesAndReleases) {
  {
    TReceiptEnum numerator;
    ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
    numerator.SetVoidReceiptNum(1);
    numerator.IncReceiptNumber();
  }
  EXPECT_EQ(ReadBytes(Ecr(1)), (Bytes{2, 0, 0, 0, 1, 0, 0, 0}));
  TReceiptEnum again;
  EXPECT_EQ(again.Lock(), TReceiptEnum::kLocked);
}

TEST_F(ReceiptEnumTest, FileDirRules) {
  TReceiptEnum numerator;
  const std::wstring default_dir = numerator.FileDir();
  const std::wstring other = data_.Wide() + L"/other";
  numerator.SetFileDir(other);
  EXPECT_EQ(numerator.FileDir().substr(0, other.size()), other);
  EXPECT_EQ(numerator.FileDir().size(), other.size() + 1) << "a delimiter is added";
  EXPECT_EQ(numerator.Lock(), TReceiptEnum::kCannotOpen) << "a given folder is never created";
  numerator.SetFileDir(L"   ");
  EXPECT_EQ(numerator.FileDir(), default_dir);
  numerator.SetFileDir(L" x ");
  EXPECT_EQ(numerator.FileDir().substr(0, 3), L" x ") << "blanks are kept";
}

TEST_F(ReceiptEnumTest, AFailedWriteIsReportedAndTheFileKeepsItsContent) {
  testing::FailingWrites files;
  TReceiptEnum numerator(files);
  WriteBytes(Ecr(1), {5, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
  numerator.SetVoidReceiptNum(5);
  EXPECT_FALSE(numerator.SaveData());
  numerator.Unlock(true);
  EXPECT_EQ(ReadBytes(Ecr(1)), (Bytes{5, 0, 0, 0, 0, 0, 0, 0}));
}

// The folder is open to every user: whatever another user plants in the
// file's place (symbolic links to a file or to nothing, a second name of a
// file, a folder) is refused at once, named, and nothing is written through it.
// (Windows lets only a privileged account make a symbolic link; where this
// one may not, those two plants are left out.)
TEST_F(ReceiptEnumTest, APlantedFileIsRefusedAndNamed) {
  TReceiptEnum numerator;
  const std::filesystem::path victim = data_.Root() / "victim";
  const std::filesystem::path missing = data_.Root() / "missing";
  const std::vector<std::function<void()>> plants = {
      [&] { std::filesystem::create_symlink(victim, Ecr(1)); },
      [&] { std::filesystem::create_symlink(missing, Ecr(1)); },
      [&] { std::filesystem::create_hard_link(victim, Ecr(1)); },
      [&] { std::filesystem::create_directory(Ecr(1)); },
  };
  for (size_t i = 0; i < plants.size(); ++i) {
    WriteBytes(victim, {7, 0, 0, 0, 0, 0, 0, 0});
    std::filesystem::remove(Ecr(1));
    try {
      plants[i]();
    } catch (const std::filesystem::filesystem_error& e) {
      if (i >= 2) throw;
      continue;  // a symbolic link this account may not make
    }
    CountingSleeps sleeps;
    ScopedServiceOverride no_waiting(nullptr, &sleeps);
    EXPECT_EQ(numerator.Lock(), TReceiptEnum::kCannotRead) << "plant " << i;
    EXPECT_TRUE(sleeps.sleeps.empty()) << "plant " << i << ": no retry";
    EXPECT_NE(numerator.LockError().find(Ecr(1).wstring()), std::wstring::npos) << "plant " << i;
    numerator.Unlock(true);
    EXPECT_EQ(ReadBytes(victim), (Bytes{7, 0, 0, 0, 0, 0, 0, 0})) << "plant " << i;
    EXPECT_FALSE(std::filesystem::exists(missing)) << "plant " << i;
  }
  std::filesystem::remove(Ecr(1));
  EXPECT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
  EXPECT_TRUE(numerator.LockError().empty());
}

}  // namespace
}  // namespace velko

namespace velko {
namespace {

// The numerator excludes another process as well: the child holds ECR1 until
// the parent has seen its own Lock refused.
constexpr char kHolderVariable[] = "VELKO_NUMERATOR_TEST_FOLDER";

TEST(NumeratorHolder, HoldsTheFileUntilReleased) {
  const char* folder = std::getenv(kHolderVariable);
  if (!folder || !*folder) GTEST_SKIP() << "runs only as the child process of NumeratorProcesses";
  TReceiptEnum numerator;
  ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
  numerator.IncReceiptNumber();
  const std::filesystem::path root(folder);
  { std::ofstream(root / "locked") << "1"; }
  ASSERT_TRUE(testing::WaitForFile(root / "release", std::chrono::seconds(60)));
  numerator.Unlock(true);
}

TEST(NumeratorProcesses, AnotherProcessIsRefusedUntilTheHolderUnlocks) {
  TempDataFolder data("numerator2");
  testing::SetEnvVar(kHolderVariable, data.Root().string());
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start("NumeratorHolder.HoldsTheFileUntilReleased"));
  testing::SetEnvVar(kHolderVariable, "");
  ASSERT_TRUE(testing::WaitForFile(data.Root() / "locked", std::chrono::seconds(60)));

  TReceiptEnum numerator;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(numerator.Lock(), TReceiptEnum::kCannotOpen);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1000)) << "six attempts, 200 ms apart";
  EXPECT_LT(waited, std::chrono::seconds(10));

  { std::ofstream(data.Root() / "release") << "1"; }
  EXPECT_EQ(child.Wait(), 0);
  ASSERT_EQ(numerator.Lock(), TReceiptEnum::kLocked);
  EXPECT_EQ(numerator.ReceiptNum(), 2u) << "the child's increment was saved";
}

}  // namespace
}  // namespace velko
