#include "platform/Services.h"

#include <cstdio>

namespace velko {

PlatformServices& Services() {
  static PlatformServices services{&PlatformWindowService(), &PlatformProcessService(),
                                   &PlatformReceiptPrompt()};
  return services;
}

ScopedServiceOverride::ScopedServiceOverride(WindowService* windows, ProcessService* process,
                                             ReceiptPrompt* prompt)
    : saved_(Services()) {
  if (windows) Services().Windows = windows;
  if (process) Services().Process = process;
  if (prompt) Services().Prompt = prompt;
}

ScopedServiceOverride::~ScopedServiceOverride() { Services() = saved_; }

std::wstring FormatFileVersion(uint32_t ms, uint32_t ls) {
  wchar_t buf[64];
  std::swprintf(buf, 64, L"%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
  return buf;
}

}  // namespace velko
