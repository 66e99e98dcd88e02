// Status codes of the host's add-in interfaces, usable without COM headers.
#pragma once

#include <cstdint>

namespace velko {

using HResult = int32_t;
constexpr HResult kS_OK = 0;
constexpr HResult kS_FALSE = 1;
constexpr HResult kE_NOTIMPL = static_cast<HResult>(0x80004001u);
constexpr HResult kE_NOINTERFACE = static_cast<HResult>(0x80004002u);
constexpr HResult kE_POINTER = static_cast<HResult>(0x80004003u);
constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
constexpr HResult kE_INVALIDARG = static_cast<HResult>(0x80070057u);

}  // namespace velko
