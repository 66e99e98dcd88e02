// Owners of the Windows handles the platform code, the tools and the tests
// hold (see platform/UniqueResource.h). Two kinds of kernel handle, as the
// calls that make them differ: unique_handle for those that give nullptr on
// failure (processes, threads, tokens, events), unique_hfile for CreateFileW
// and the others that give INVALID_HANDLE_VALUE. unique_hwnd destroys a
// window, which must happen on the thread that created it.
#pragma once

#include <windows.h>

#include "platform/UniqueResource.h"

namespace velko {

struct handle_traits {
  using type = HANDLE;
  static type invalid() noexcept { return nullptr; }
  static void close(type value) noexcept { ::CloseHandle(value); }
};
using unique_handle = unique_resource<handle_traits>;

struct hfile_traits {
  using type = HANDLE;
  static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(type value) noexcept { ::CloseHandle(value); }
};
using unique_hfile = unique_resource<hfile_traits>;

struct hwnd_traits {
  using type = HWND;
  static type invalid() noexcept { return nullptr; }
  static void close(type value) noexcept { ::DestroyWindow(value); }
};
using unique_hwnd = unique_resource<hwnd_traits>;

}  // namespace velko
