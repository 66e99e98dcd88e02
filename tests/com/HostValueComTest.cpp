// VARIANT and SAFEARRAY as hosts build them, to host values and back, with
// the real OLE automation runtime.
#include <gtest/gtest.h>

#include "addin/com/HostValueCom.h"

namespace velko::com {
namespace {

unique_safearray Vector(VARTYPE type, LONG low, ULONG count) {
  SAFEARRAYBOUND bound{count, low};
  return unique_safearray(SafeArrayCreate(type, 1, &bound));
}

TEST(HostValueCom, ArraysOfEveryShapeTheHostBuilds) {
  // Typed elements with a lower bound of 1.
  unique_safearray ints = Vector(VT_I4, 1, 2);
  LONG i = 1, v = 7;
  SafeArrayPutElement(ints.get(), &i, &v);
  auto array = FromSafeArray(ints.get());
  ASSERT_EQ(array->LowBound(1), 1);
  EXPECT_EQ(array->Items()[0], HostValue::FromInt32(7));

  // Decimals arrive as the nearest double.
  unique_safearray decimals = Vector(VT_DECIMAL, 0, 1);
  DECIMAL d{};
  VarDecFromR8(2.5, &d);
  i = 0;
  SafeArrayPutElement(decimals.get(), &i, &d);
  EXPECT_EQ(FromSafeArray(decimals.get())->Items()[0], HostValue::FromDouble(2.5));

  // Two dimensions: the last position is the last item.
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  unique_safearray square(SafeArrayCreate(VT_VARIANT, 2, bounds));
  unique_variant item;
  item.get()->vt = VT_I4;
  item.get()->lVal = 42;
  LONG at[2] = {1, 1};
  SafeArrayPutElement(square.get(), at, item.get());
  array = FromSafeArray(square.get());
  ASSERT_EQ(array->Dims(), 2);
  EXPECT_EQ(array->Items()[3], HostValue::FromInt32(42));

  // A descriptor with only the VARIANT feature flag and no stored type.
  SAFEARRAY* raw = nullptr;
  ASSERT_EQ(SafeArrayAllocDescriptor(1, &raw), S_OK);
  unique_safearray bare(raw);
  bare.get()->fFeatures = FADF_VARIANT;
  bare.get()->cbElements = sizeof(VARIANT);
  bare.get()->rgsabound[0] = {2, 0};
  ASSERT_EQ(SafeArrayAllocData(bare.get()), S_OK);
  i = 0;
  SafeArrayPutElement(bare.get(), &i, item.get());
  const auto before = FromSafeArray(bare.get());
  EXPECT_EQ(before->Items()[0], HostValue::FromInt32(42));
  HostArray after = *before;
  after.Items()[1] = HostValue::FromString(L"out");
  WriteBackChanged(bare.get(), *before, after);
  unique_variant written;
  i = 1;
  ASSERT_EQ(SafeArrayGetElement(bare.get(), &i, written.get()), S_OK);
  EXPECT_EQ(FromVariant(*written.get()), HostValue::FromString(L"out"));
}

TEST(HostValueCom, ValuesByReferenceAndOfUnknownTypes) {
  LONG target = 5;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  const HostValue value = FromVariant(ref);
  EXPECT_TRUE(value.IsByRef());
  EXPECT_EQ(value.ToInt32(), 5);

  // An element no host value holds does not stop the call, and a method that
  // leaves it alone leaves it as the host passed it.
  unique_safearray params = Vector(VT_VARIANT, 0, 2);
  VARIANT odd;
  VariantInit(&odd);
  odd.vt = VT_BYREF | VT_RECORD;
  LONG i = 0;
  ASSERT_EQ(SafeArrayPutElement(params.get(), &i, &odd), S_OK);
  std::shared_ptr<HostArray> before;
  ASSERT_NO_THROW(before = FromSafeArray(params.get()));
  HostArray after = *before;
  after.Items()[1] = HostValue::FromBool(true);
  WriteBackChanged(params.get(), *before, after);
  unique_variant kept;
  ASSERT_EQ(SafeArrayGetElement(params.get(), &i, kept.get()), S_OK);
  EXPECT_EQ(kept.get()->vt, VT_BYREF | VT_RECORD);
}

// Counts its releases: the host's old value in the return slot is freed.
class CountedUnknown : public IUnknown {
 public:
  ULONG releases = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases); }
};

TEST(HostValueCom, TheHostsReturnValueIsFreedWhenReplaced) {
  CountedUnknown host_value;
  VARIANT slot;
  VariantInit(&slot);
  slot.vt = VT_UNKNOWN;
  slot.punkVal = &host_value;
  WriteBackChanged(&slot, HostValue(), HostValue::FromBool(true));
  EXPECT_EQ(host_value.releases, 1u);
  EXPECT_EQ(slot.vt, VT_BOOL);
  WriteBackChanged(&slot, HostValue(), HostValue());  // nothing written: the slot stays
  EXPECT_EQ(slot.vt, VT_BOOL);
}

}  // namespace
}  // namespace velko::com
