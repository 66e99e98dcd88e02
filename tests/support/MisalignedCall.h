// Calls a function as a 32-bit host built with MSVC may: that compiler keeps
// the stack only 4-byte aligned at a call, while 32-bit gcc code assumes 16
// bytes on entry unless it was built to assume less. The call here enters the
// callee with the stack 4 bytes off the 16-byte rule, so the module's entry
// points are tried on the stack the host really gives them.
//
// 32-bit x86 only (every argument and the result one 32-bit word, the callee
// reading its arguments from the stack: __stdcall or __cdecl). Elsewhere there
// is nothing to call, and a test says why it does not run.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace velko::testing {

#if defined(__i386__)
// Copies `count` words from `args` below a stack pointer that is 4 modulo 16
// and calls `function`; the stack is restored whether or not the callee pops.
extern "C" uint32_t VelkoCallMisaligned(const void* function, const uint32_t* args, uint32_t count);
// How far the stack is off the 16-byte rule at this function's entry (0 when
// called as gcc calls, 4 through VelkoCallMisaligned): proof that the test's
// calls really are misaligned.
extern "C" uint32_t VelkoEntryStackOffset();

template <class T>
uint32_t Word(T value) {
  static_assert(sizeof(T) <= sizeof(uint32_t) && std::is_trivially_copyable_v<T>, "one 32-bit word per argument");
  if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    return static_cast<uint32_t>(value);
  } else {
    uint32_t word = 0;
    std::memcpy(&word, &value, sizeof value);
    return word;
  }
}

// CallMisaligned<R>(f, a, b, ...) is f(a, b, ...) entered on a misaligned stack.
template <class R, class F, class... A>
R CallMisaligned(F function, A... args) {
  const uint32_t words[] = {Word(args)..., 0};
  const uint32_t result =
      VelkoCallMisaligned(reinterpret_cast<const void*>(function), words, static_cast<uint32_t>(sizeof...(A)));
  if constexpr (std::is_same_v<R, void>) {
    return;
  } else if constexpr (std::is_same_v<R, bool>) {
    return (result & 0xFF) != 0;  // a bool comes back in the low byte alone
  } else {
    R value;
    static_assert(sizeof(R) <= sizeof(uint32_t));
    std::memcpy(&value, &result, sizeof value);
    return value;
  }
}
#endif

inline constexpr const char* kNoMisalignedCalls =
    "only a 32-bit x86 build is entered on a 4-byte aligned stack by its host";

}  // namespace velko::testing
