// The Native value conversion alone: dates both ways, texts beyond the basic
// plane, the host's 8-bit texts, what has no host value, and the block an
// output held going back to the host's memory manager.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "addin/native/NativeValue.h"

namespace velko::native {
namespace {

class CountingMemory final : public NativeMemoryManager {
 public:
#ifdef _WIN32
  void VELKO_NATIVE_CALL DestructorSlot() override {}
#endif
  bool VELKO_NATIVE_CALL AllocMemory(void** block, unsigned long bytes) override {
    live.insert(*block = std::malloc(bytes));
    ++allocated;
    return true;
  }
  void VELKO_NATIVE_CALL FreeMemory(void** block) override {
    EXPECT_EQ(live.erase(*block), 1u);
    freed.push_back(*block);
    std::free(*block);
    *block = nullptr;
  }
  std::set<void*> live;
  std::vector<void*> freed;
  int allocated = 0;
};

TEST(NativeValue, DatesBothWays) {
  struct Case {
    double days;
    int year, mon, mday, hour, wday, yday;
  };
  for (const Case& c : {Case{45000.5, 123, 2, 15, 12, 3, 73}, Case{2.0, 0, 0, 1, 0, 1, 0},
                        Case{36526.25, 100, 0, 1, 6, 6, 0}}) {
    const NativeTm tm = DateToTm(c.days);
    EXPECT_EQ(tm.tm_year, c.year) << c.days;
    EXPECT_EQ(tm.tm_mon, c.mon) << c.days;
    EXPECT_EQ(tm.tm_mday, c.mday) << c.days;
    EXPECT_EQ(tm.tm_hour, c.hour) << c.days;
    EXPECT_EQ(tm.tm_wday, c.wday) << c.days;
    EXPECT_EQ(tm.tm_yday, c.yday) << c.days;
    EXPECT_DOUBLE_EQ(TmToDate(tm), c.days);
    NativeVariant v{};
    v.vt = nvt::kTm;
    v.tm = tm;
    EXPECT_DOUBLE_EQ(FromNative(v).ToDate(), c.days);
  }
  NativeTm bad{};
  bad.tm_mon = 13;
  EXPECT_THROW(TmToDate(bad), HostValueError);
}

TEST(NativeValue, TextsAndUnsupportedTypes) {
  CountingMemory memory;
  const HostMemory blocks(&memory);
  NativeVariant v{};
  ToNative(HostValue::FromString(L"a\U0001F600я"), v, blocks);
  ASSERT_EQ(v.vt, nvt::kPwstr);
  EXPECT_EQ(v.wstr.length, 4u);  // the emoji takes two code units
  EXPECT_EQ(FromNative(v).ToText(), L"a\U0001F600я");

  // An output replaced: the old block goes back, the new one is the host's.
  ReplaceNative(HostValue::FromBool(true), v, blocks);
  EXPECT_TRUE(memory.live.empty());
  EXPECT_TRUE(v.vt == nvt::kBool && v.boolean);

  char bytes[] = "Привет";
  v = NativeVariant{};
  v.vt = nvt::kPstr;
  v.str = {bytes, static_cast<uint32_t>(sizeof bytes - 1)};
  EXPECT_EQ(FromNative(v).ToText(), L"Привет");

  v.vt = nvt::kInterface;
  EXPECT_THROW(FromNative(v), HostValueError);
  v.vt = nvt::kVariant;
  v.variant = nullptr;
  EXPECT_THROW(FromNative(v), HostValueError);
  EXPECT_THROW(ToNative(HostValue::FromArray(HostArray::Vector({})), v, blocks), HostValueError);
}

// Only what the method changed goes back to the host: an output it left alone
// keeps the host's own block, neither freed nor copied.
TEST(NativeValue, WriteBackReplacesOnlyWhatChanged) {
  CountingMemory memory;
  const HostMemory blocks(&memory);
  NativeVariant params[3]{};
  ToNative(HostValue::FromString(L"kept"), params[0], blocks);
  ToNative(HostValue::FromString(L"old"), params[1], blocks);
  params[2].vt = nvt::kI4;
  params[2].i4 = 5;
  NativeChar* const kept = params[0].wstr.pointer;
  NativeChar* const replaced = params[1].wstr.pointer;
  const std::shared_ptr<HostArray> before = ParamsFromNative(params, 3);
  HostArray after = *before;
  after.Items()[1] = HostValue::FromString(L"new");
  memory.allocated = 0;

  WriteBackChanged(params, *before, after, blocks);
  EXPECT_EQ(params[0].wstr.pointer, kept);
  EXPECT_EQ(FromNative(params[0]).ToText(), L"kept");
  EXPECT_EQ(FromNative(params[1]).ToText(), L"new");
  EXPECT_TRUE(params[2].vt == nvt::kI4 && params[2].i4 == 5);
  EXPECT_EQ(memory.freed, std::vector<void*>{replaced});
  EXPECT_EQ(memory.allocated, 1);
  for (NativeVariant& v : params) ReplaceNative(HostValue(), v, blocks);
  EXPECT_TRUE(memory.live.empty());
}

}  // namespace
}  // namespace velko::native
