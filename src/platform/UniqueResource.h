// The owner of one handle-like resource: a file descriptor, a socket, a
// Windows handle, a BSTR. It frees the resource exactly once (when the owner
// goes, is reset or is assigned another owner's resource), moves but never
// copies, and hands the resource over with release(). The traits say what
// the resource is:
//
//   struct Traits {
//     using type = ...;                        // a small value: int, HANDLE, SOCKET
//     static type invalid() noexcept;          // the value that owns nothing
//     static void close(type value) noexcept;  // frees a value other than invalid()
//   };
//
// The shape is that of wil's unique_any. Thread rules: none of its own; like
// the value it holds, one owner uses it at a time.
//
// unique_fd (POSIX file descriptors) is here; the socket owner is in
// platform/UniqueSocket.h, the Windows handle owners in
// platform/win32/UniqueHandle_win32.h.
#pragma once

#include <utility>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace velko {

template <class Traits>
class unique_resource {
 public:
  using type = typename Traits::type;

  unique_resource() noexcept = default;
  explicit unique_resource(type value) noexcept : value_(value) {}
  unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
  unique_resource& operator=(unique_resource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_resource(const unique_resource&) = delete;
  unique_resource& operator=(const unique_resource&) = delete;
  ~unique_resource() { reset(); }

  type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the resource to the caller, who frees it from now on.
  [[nodiscard]] type release() noexcept { return std::exchange(value_, Traits::invalid()); }
  // Frees the resource held (if any) and takes `value`.
  void reset(type value = Traits::invalid()) noexcept {
    const type old = std::exchange(value_, value);
    if (old != Traits::invalid()) Traits::close(old);
  }
  // For a call that writes a new resource through a pointer: what was held
  // is freed first.
  type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  type value_ = Traits::invalid();
};

#ifndef _WIN32
struct fd_traits {
  using type = int;
  static constexpr int invalid() noexcept { return -1; }
  static void close(int fd) noexcept { ::close(fd); }
};
// A POSIX file descriptor (an open's -1 is "nothing").
using unique_fd = unique_resource<fd_traits>;
#endif

}  // namespace velko
