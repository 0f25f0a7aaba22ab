// ControlModule: the module object of a control library. A library derives
// its own, declares one static instance, and one ControlModuleStartup after
// its class factories: the library's start-up (InitInstance) then runs when
// it is loaded, once every static object exists, and its shut-down
// (ExitInstance) when it is unloaded, before they go.
#pragma once

#include "platform/types.h"

class ControlModule {
 public:
  // `appName` may be null: the module then has no application name.
  explicit ControlModule(LPCSTR appName = nullptr) : appName_(appName) {}
  virtual ~ControlModule() = default;
  ControlModule(const ControlModule&) = delete;
  ControlModule& operator=(const ControlModule&) = delete;

  // Start-up; FALSE when the module cannot serve.
  virtual BOOL InitInstance() { return TRUE; }
  // Shut-down; the result is the module's exit code.
  virtual int ExitInstance() { return 0; }

  LPCSTR appName() const { return appName_; }
  bool started() const { return started_; }

 private:
  friend class ControlModuleStartup;
  LPCSTR appName_;
  bool started_ = false;
};

class ControlModuleStartup {
 public:
  explicit ControlModuleStartup(ControlModule& module) : module_(module) {
    module_.started_ = module_.InitInstance() != FALSE;
  }
  ~ControlModuleStartup() {
    if (module_.started_) module_.ExitInstance();
    module_.started_ = false;
  }
  ControlModuleStartup(const ControlModuleStartup&) = delete;
  ControlModuleStartup& operator=(const ControlModuleStartup&) = delete;

 private:
  ControlModule& module_;
};
