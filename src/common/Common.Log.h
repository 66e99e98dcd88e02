// TLog: the driver's debug log, one UTF-8 text file per process and load date.
//
// All state is process-wide (there are no instances): the level (0 writes
// nothing, 3 writes every kind of line), whether the banner has been written,
// the file name fixed at load, and the lock that serialises appends. Lines go
// to <common data folder>/<folder>/<name>_yyyy.mm.dd.log, end in CR LF, and
// have card numbers masked in any form (CardMask.h). Another process
// appending at the same moment is kept out by the file's share mode; an append
// that finds the file held is retried for up to about 200 ms, and a line that
// still cannot be written is dropped and counted (the next written line says
// how many), so logging never fails the host's call. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/SystemInfo.h"

namespace velko {

enum class TMsgType : uint8_t { mtInfo = 0, mtDebug = 1, mtError = 2 };

class TLog {
 public:
  TLog() = delete;

  static uint8_t LogLevel();
  static void SetLogLevel(uint8_t level);

  // Writes one line when the level lets it through, after the banner if this
  // is the process's first line. Never throws.
  static void Append(const std::wstring& ACaption, const std::wstring& AMessage,
                     TMsgType AMsgType) noexcept;
  // Writes the banner once per process when the level is not 0. Never throws.
  static void Start() noexcept;
  // Writes the closing line when the level is not 0 and the banner was written.
  // Called when the last add-in object is gone (never under the loader lock);
  // a line written after it starts with a new banner. Never throws.
  static void Stop() noexcept;

  // Fixes the file name (with today's date) and creates the log folder, open to
  // every user, when it is missing. Raises PlatformError when the folder's
  // access list cannot be extended.
  static void SetLogFileName(const std::wstring& AOnlyName, const std::wstring& AOnlyDir);
  static std::wstring LogFileName();

  static std::wstring FormatLogString(const std::wstring& ACaption, const std::wstring& AMessage,
                                      TMsgType AMsgType);
  // Empty names stand for the module's file name without its extension.
  static std::wstring BuildLogFileName(const std::wstring& AOnlyName, const std::wstring& AOnlyDir);
  // Creates the folder with its parents and the grant to every user when it is
  // missing. Empty when the machine has no application-data folder at all.
  static std::wstring GetLogFolder(const std::wstring& AOnlyDir);
  static std::wstring GetOSVersionText();

  // Lines dropped since load (or the last reset) because the file stayed held.
  static uint64_t DroppedLines();

  // For tests: a clock in place of the local time (empty restores it), and a
  // reset of the process-wide state to that of a fresh load.
  static void SetClock(std::function<LocalDateTime()> clock);
  static void ResetForTesting();
};

// The name of a Windows version by its major and minor numbers.
std::wstring WindowsVersionName(uint32_t major, uint32_t minor, bool nt_platform);
// The operating-system text of a version as the banner shows it.
std::wstring OsVersionText(const std::optional<OsVersion>& version);

}  // namespace velko
