// The platform services in use, reachable from every layer of the core.
//
// By default they are the platform's own implementations. A test or the velko
// command replaces one for a scope with ScopedServiceOverride; the override is
// process-wide (the driver has no other way to reach its platform) and must be
// installed and removed on one thread while no driver call is running.
#pragma once

#include "platform/ProcessService.h"
#include "platform/ReceiptPrompt.h"
#include "platform/WindowService.h"

namespace velko {

struct PlatformServices {
  WindowService* Windows;
  ProcessService* Process;
  ReceiptPrompt* Prompt;
};

PlatformServices& Services();

// Installs replacements (nullptr keeps the current one) and restores the
// previous services when destroyed.
class ScopedServiceOverride {
 public:
  explicit ScopedServiceOverride(WindowService* windows, ProcessService* process = nullptr,
                                 ReceiptPrompt* prompt = nullptr);
  ~ScopedServiceOverride();
  ScopedServiceOverride(const ScopedServiceOverride&) = delete;
  ScopedServiceOverride& operator=(const ScopedServiceOverride&) = delete;

 private:
  PlatformServices saved_;
};

// A process service that answers like the platform's but for the host
// executable's name: for tests and for `velko --host-exe`.
class HostNameOverride : public ProcessService {
 public:
  explicit HostNameOverride(std::wstring name) : name_(std::move(name)) {}
  std::wstring HostExecutableName() override { return name_; }
  std::wstring ModuleFilePath() override { return PlatformProcessService().ModuleFilePath(); }
  std::wstring ModuleFileVersion() override { return PlatformProcessService().ModuleFileVersion(); }
  uint64_t TickCount() override { return PlatformProcessService().TickCount(); }
  void Sleep(uint32_t ms) override { PlatformProcessService().Sleep(ms); }

 private:
  std::wstring name_;
};

}  // namespace velko
