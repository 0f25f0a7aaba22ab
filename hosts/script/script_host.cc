#include "hosts/script/script_host.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "hosts/script/engine.h"
#include "hosts/script/script_text.h"
#include "platform/failure_reason.h"
#include "platform/runtime.h"

namespace vornhost {
namespace {

// Hidden keys (the engine hides keys that start with byte 0xFF).
constexpr char kEngineKey[] = "\xFF" "engine";
constexpr char kQuitKey[] = "\xFF" "quit";

void FatalHandler(void* /*udata*/, const char* message) {
  std::fprintf(stderr, "vornhost: fatal engine error: %s\n", message ? message : "");
  std::fflush(stderr);
  std::abort();
}

// echo(...): the arguments as text, separated by spaces, then a newline.
duk_ret_t Echo(duk_context* ctx) {
  Engine* engine = EngineOf(ctx);
  if (engine->quitting) {
    PushQuitError(ctx);
    return duk_throw(ctx);
  }
  {
    const duk_idx_t count = duk_get_top(ctx);
    std::string line;
    for (duk_idx_t i = 0; i < count; ++i) {
      if (i > 0) line.push_back(' ');
      line += ValueText(ctx, i);
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), engine->options.out);
  }
  return 0;
}

// host.quit([code]): releases everything and ends the script.
duk_ret_t Quit(duk_context* ctx) {
  Engine* engine = EngineOf(ctx);
  int code = 0;
  if (!duk_is_undefined(ctx, 0)) {
    if (!duk_is_number(ctx, 0)) {
      PushScriptError(ctx, "host.quit: the exit code must be a number");
      return duk_throw(ctx);
    }
    const double value = duk_get_number(ctx, 0);
    code = value >= 0 && value <= 255 ? static_cast<int>(value) : 1;
  }
  engine->quitting = true;
  engine->quitCode = code;
  ReleaseAutomation(engine);
  std::fflush(engine->options.out);
  if (engine->options.onQuit) engine->options.onQuit(code);
  PushQuitError(ctx);
  return duk_throw(ctx);
}

// Shows, as one line on the error stream, why an operation that answered a
// plain false failed, when the components below gave a reason.
void ShowFailure(LPCSTR operation, LPCSTR reason, void* context) {
  if (!reason || !*reason) return;
  auto* engine = static_cast<Engine*>(context);
  std::fflush(engine->options.out);
  std::fprintf(engine->options.err, "vornhost: %s: %s\n", operation, reason);
  std::fflush(engine->options.err);
}

// Reports the error at the top of the stack as "file:line: message".
void Report(Engine* engine, const std::string& fallbackName) {
  duk_context* ctx = engine->ctx;
  std::string file = fallbackName;
  long line = 0;
  if (duk_is_error(ctx, -1)) {
    duk_get_prop_string(ctx, -1, "fileName");
    if (duk_is_string(ctx, -1)) file = ValueText(ctx, -1);
    duk_pop(ctx);
    duk_get_prop_string(ctx, -1, "lineNumber");
    if (duk_is_number(ctx, -1)) line = static_cast<long>(duk_get_number(ctx, -1));
    duk_pop(ctx);
  }
  const std::string message = ValueText(ctx, -1);
  std::fflush(engine->options.out);
  if (line > 0) {
    std::fprintf(engine->options.err, "%s:%ld: %s\n", file.c_str(), line, message.c_str());
  } else {
    std::fprintf(engine->options.err, "%s: %s\n", file.c_str(), message.c_str());
  }
  std::fflush(engine->options.err);
}

// A script's text with a leading "#!" line blanked, keeping line numbers.
std::string WithoutInterpreterLine(const std::string& source) {
  if (source.compare(0, 2, "#!") != 0) return source;
  const size_t end = source.find('\n');
  return end == std::string::npos ? std::string() : source.substr(end);
}

// Compiles the engine text at the top of the stack; a SyntaxError replaces it
// on failure. The file name goes below it.
int Compile(duk_context* ctx, const std::string& name, duk_uint_t flags) {
  PushText(ctx, name);
  return duk_pcompile(ctx, flags);
}

}  // namespace

// ---- Shared helpers -------------------------------------------------------------

Engine* EngineOf(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kEngineKey);
  auto* engine = static_cast<Engine*>(duk_get_pointer(ctx, -1));
  duk_pop_2(ctx);
  return engine;
}

std::string ValueText(duk_context* ctx, duk_idx_t index) {
  duk_dup(ctx, index);
  duk_size_t length = 0;
  const char* text = duk_safe_to_lstring(ctx, -1, &length);
  std::string result = text ? EngineToUtf8(text, length) : std::string();
  duk_pop(ctx);
  return result;
}

void PushText(duk_context* ctx, const std::string& text) {
  const std::string engineText = Utf8ToEngine(text.data(), text.size());
  duk_push_lstring(ctx, engineText.data(), engineText.size());
}

void PushScriptError(duk_context* ctx, const std::string& message) {
  const std::string engineText = Utf8ToEngine(message.data(), message.size());
  duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", engineText.c_str());
  // Level -1 is the native function itself; look for the nearest caller
  // that is script code.
  for (duk_int_t level = -2;; --level) {
    duk_inspect_callstack_entry(ctx, level);
    if (duk_is_undefined(ctx, -1)) {
      duk_pop(ctx);
      break;
    }
    duk_get_prop_string(ctx, -1, "lineNumber");
    const duk_int_t line = duk_get_int_default(ctx, -1, 0);
    duk_pop(ctx);
    duk_get_prop_string(ctx, -1, "function");
    duk_get_prop_string(ctx, -1, "fileName");
    if (line > 0 && duk_is_string(ctx, -1)) {
      duk_put_prop_string(ctx, -4, "fileName");
      duk_push_int(ctx, line);
      duk_put_prop_string(ctx, -4, "lineNumber");
      duk_pop_2(ctx);
      break;
    }
    duk_pop_3(ctx);
  }
}

void PushQuitError(duk_context* ctx) {
  duk_push_error_object(ctx, DUK_ERR_ERROR, "host.quit");
  duk_push_true(ctx);
  duk_put_prop_string(ctx, -2, kQuitKey);
}

// ---- ScriptHost -------------------------------------------------------------------

ScriptHost::ScriptHost(HostOptions options) : engine_(std::make_unique<Engine>()) {
  Engine* engine = engine_.get();
  engine->options = std::move(options);
  if (FAILED(CoInitialize(nullptr))) return;
  engine->comInitialized = true;
  duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, FatalHandler);
  if (!ctx) return;
  engine->ctx = ctx;

  duk_push_global_stash(ctx);
  duk_push_pointer(ctx, engine);
  duk_put_prop_string(ctx, -2, kEngineKey);
  duk_pop(ctx);

  duk_push_global_object(ctx);
  duk_push_c_function(ctx, Echo, DUK_VARARGS);
  duk_put_prop_string(ctx, -2, "echo");

  duk_push_object(ctx);  // host
  const duk_idx_t host = duk_get_top_index(ctx);
  duk_push_array(ctx);
  for (size_t i = 0; i < engine->options.arguments.size(); ++i) {
    PushText(ctx, engine->options.arguments[i]);
    duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(i));
  }
  duk_put_prop_string(ctx, host, "arguments");
  duk_push_c_function(ctx, Quit, 1);
  duk_put_prop_string(ctx, host, "quit");
  InstallAutomation(engine, host);
  duk_put_prop_string(ctx, -2, "host");
  duk_pop(ctx);  // global
  VornSetFailureHandler(ShowFailure, engine);
}

ScriptHost::~ScriptHost() {
  Engine* engine = engine_.get();
  if (engine->ctx) VornSetFailureHandler(nullptr, nullptr);
  if (engine->ctx) {
    ReleaseAutomation(engine);
    duk_destroy_heap(engine->ctx);
    engine->ctx = nullptr;
  }
  DestroyAutomation(engine);
  if (engine->comInitialized) CoUninitialize();
}

bool ScriptHost::ok() const { return engine_->ctx != nullptr; }

int ScriptHost::quitCode() const { return engine_->quitCode; }

void ScriptHost::ReleaseObjects() { ReleaseAutomation(engine_.get()); }

int ScriptHost::RunScript(const std::string& source, const std::string& name) {
  Engine* engine = engine_.get();
  duk_context* ctx = engine->ctx;
  PushText(ctx, WithoutInterpreterLine(source));
  int status = Compile(ctx, name, 0);
  if (status == DUK_EXEC_SUCCESS) status = duk_pcall(ctx, 0);
  int exitCode = 0;
  if (engine->quitting) {
    exitCode = engine->quitCode;
  } else if (status != DUK_EXEC_SUCCESS) {
    Report(engine, name);
    exitCode = 1;
  }
  duk_pop(ctx);
  std::fflush(engine->options.out);
  return exitCode;
}

ScriptHost::Eval ScriptHost::Evaluate(const std::string& input) {
  Engine* engine = engine_.get();
  duk_context* ctx = engine->ctx;
  PushText(ctx, input);
  int status = Compile(ctx, "<input>", DUK_COMPILE_EVAL);
  if (status != DUK_EXEC_SUCCESS) {
    // A statement cut off at the end of the input may go on in the next line.
    const std::string message = ValueText(ctx, -1);
    if (message.find("end of input") != std::string::npos) {
      duk_pop(ctx);
      return Eval::kIncomplete;
    }
  } else {
    status = duk_pcall(ctx, 0);
  }
  Eval result = Eval::kDone;
  if (engine->quitting) {
    result = Eval::kQuit;
  } else if (status != DUK_EXEC_SUCCESS) {
    Report(engine, "<input>");
    result = Eval::kError;
  } else if (!duk_is_undefined(ctx, -1)) {
    const std::string text = ValueText(ctx, -1) + "\n";
    std::fwrite(text.data(), 1, text.size(), engine->options.out);
  }
  duk_pop(ctx);
  std::fflush(engine->options.out);
  return result;
}

}  // namespace vornhost
