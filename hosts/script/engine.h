// What the parts of the script host share about the engine. Internal to
// hosts/script: Duktape types never leave this folder.
#pragma once

#include <duktape.h>

#include <string>

#include "hosts/script/script_host.h"

namespace vornhost {

struct Automation;

struct ScriptHost::Engine {
  HostOptions options;
  duk_context* ctx = nullptr;
  bool comInitialized = false;
  // Set by host.quit; every later call into the host unwinds again.
  bool quitting = false;
  int quitCode = 0;
  Automation* automation = nullptr;
};
using Engine = ScriptHost::Engine;

// The engine a context belongs to.
Engine* EngineOf(duk_context* ctx);

// The value at `index` as standard UTF-8 (ToString semantics, never throws:
// a value whose conversion fails gives the text of that failure).
std::string ValueText(duk_context* ctx, duk_idx_t index);

// Pushes UTF-8 text as an engine string.
void PushText(duk_context* ctx, const std::string& text);

// Pushes an Error with `message` whose fileName and lineNumber are those of
// the script code that called the running native function, so that an error
// raised by the host reports the script's line. The caller throws it with
// duk_throw once no C++ object with a destructor is alive in its frame.
void PushScriptError(duk_context* ctx, const std::string& message);

// Pushes what a native function throws after host.quit: the script unwinds.
void PushQuitError(duk_context* ctx);

// Installs ActiveXObject and host.connect on the global object and
// `hostObject` (at `hostIndex`); releases what they hold.
void InstallAutomation(Engine* engine, duk_idx_t hostIndex);
void ReleaseAutomation(Engine* engine);
void DestroyAutomation(Engine* engine);

}  // namespace vornhost
