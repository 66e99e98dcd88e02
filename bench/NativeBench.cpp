// BM_NativeFrontEnd: the Native front end's own cost. The same host call,
// "ПолучитьОписание" (seven outputs: texts, a number, Booleans), made on the
// portable add-in object and through the Native API module loaded with
// dlopen, the host's values prepared beforehand; the two alternate, 2000
// calls each, medians. What the module hands over is freed outside the timing.
#include <dlfcn.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostHarness.h"
#include "addin/native/NativeAbi.h"
#include "addin/native/NativeValue.h"
#include "support/TempDataFolder.h"

namespace {

using namespace velko;
using namespace velko::native;
using Clock = std::chrono::steady_clock;

class Heap final : public NativeMemoryManager {
 public:
  bool AllocMemory(void** block, unsigned long bytes) override { return (*block = std::malloc(bytes)) != nullptr; }
  void FreeMemory(void** block) override {
    std::free(*block);
    *block = nullptr;
  }
};

class Silent final : public NativeHostConnection {
 public:
  bool AddError(unsigned short, const NativeChar*, const NativeChar*, long) override { return true; }
  bool Read(NativeChar*, NativeVariant*, long*, NativeChar**) override { return false; }
  bool Write(NativeChar*, NativeVariant*) override { return false; }
  bool RegisterProfileAs(NativeChar*) override { return false; }
  bool SetEventBufferDepth(long) override { return true; }
  long GetEventBufferDepth() override { return 0; }
  bool ExternalEvent(NativeChar*, NativeChar*, NativeChar*) override { return true; }
  void CleanEventBuffer() override {}
  bool SetStatusLine(NativeChar*) override { return true; }
  void ResetStatusLine() override {}
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void BM_NativeFrontEnd(benchmark::State& state) {
  testing::TempDataFolder folder("bench_native");
  tool::HostHarness portable;
  int32_t method = -1;
  portable.Object().FindMethod(L"ПолучитьОписание", method);

  void* library = dlopen(VELKO_NATIVE_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!library) throw std::runtime_error("cannot load " VELKO_NATIVE_MODULE);
  auto create = reinterpret_cast<long (*)(const NativeChar*, NativeComponentBase**)>(dlsym(library, "GetClassObject"));
  auto destroy = reinterpret_cast<long (*)(NativeComponentBase**)>(dlsym(library, "DestroyObject"));
  Heap heap;
  Silent connection;
  NativeComponentBase* object = nullptr;
  create(u"VelkoAcquiring", &object);
  object->setMemManager(&heap);
  object->Init(&connection);
  const long native_method = object->FindMethod(u"ПолучитьОписание");
  const HostMemory memory(&heap);

  std::vector<double> on_portable, on_native;
  for (auto _ : state) {
    for (int i = 0; i < 2000; ++i) {
      auto params = HostArray::Vector(std::vector<HostValue>(7));
      HostValue ret;
      auto t0 = Clock::now();
      portable.Object().CallAsFunc(method, ret, *params);
      on_portable.push_back(std::chrono::duration<double>(Clock::now() - t0).count());

      std::vector<NativeVariant> values(7);
      NativeVariant answer{};
      t0 = Clock::now();
      object->CallAsFunc(native_method, &answer, values.data(), 7);
      on_native.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
      for (NativeVariant& v : values)
        if (v.vt == nvt::kPwstr) memory.Free(v.wstr.pointer);
    }
  }
  object->Done();
  destroy(&object);
  dlclose(library);
  const double p = Median(on_portable), n = Median(on_native);
  state.counters["portable_us"] = p * 1e6;
  state.counters["native_us"] = n * 1e6;
  state.counters["native_over_portable"] = n / p;
}
BENCHMARK(BM_NativeFrontEnd)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
