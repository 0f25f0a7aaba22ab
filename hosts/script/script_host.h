// ScriptHost: a JavaScript engine with the host's globals, which runs whole
// scripts and evaluates interactive input.
//
// Globals a script sees:
//   echo(...)                 prints its arguments, separated by spaces, and a
//                             newline on the host's output stream
//   host.arguments            the script's arguments, an array of strings
//   host.quit([code])         ends the script with exit status `code` (0)
//   host.connect(obj, sink)   routes the events of automation object `obj` to
//                             the methods of `sink` named after them
//   new ActiveXObject(name)   creates an automation object by ProgID or by
//                             "{CLSID}" and binds its members late
//
// When an object reports a failure on the host's thread (a control's
// InitControl that answers false, see platform/failure_reason.h), the host
// writes the reason the components below gave, if any, as one line
// "vornhost: InitControl: <reason>" on the error stream; the script sees the
// result unchanged. One host per thread.
//
// The host initialises the component runtime when it is made and releases
// every object the script still holds, then uninitialises it, when it is
// destroyed. Not thread-safe: one host, one thread.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vornhost {

struct HostOptions {
  // Where echo writes. The program passes stdout, the stream that automation
  // objects write their own raw output to, so that the two stay in order.
  FILE* out = stdout;
  // Where errors are reported.
  FILE* err = stderr;
  // host.arguments.
  std::vector<std::string> arguments;
  // Called by host.quit(code) once every object the script held has been
  // released and `out` flushed. The program ends the process here, so that
  // nothing of the script runs after quit. When unset, quit unwinds the
  // script instead and the run returns the code.
  std::function<void(int)> onQuit;
};

class ScriptHost {
 public:
  explicit ScriptHost(HostOptions options);
  ~ScriptHost();
  ScriptHost(const ScriptHost&) = delete;
  ScriptHost& operator=(const ScriptHost&) = delete;

  // False when the engine or the component runtime could not be started;
  // nothing else may be called then.
  bool ok() const;

  // Runs a whole script; `name` is the file name errors report. A leading
  // "#!" line is ignored. Returns the exit status: 0 when the script ran to
  // its end, the code passed to host.quit, or 1 after an error, which is
  // reported on the error stream as "name:line: message".
  int RunScript(const std::string& source, const std::string& name);

  enum class Eval { kDone, kError, kIncomplete, kQuit };
  // Evaluates one piece of interactive input. The value, unless undefined,
  // is printed on the output stream; an error is reported and leaves the
  // engine usable. kIncomplete (nothing run) when the input ends inside a
  // statement, so that the caller can read more; kQuit after host.quit.
  Eval Evaluate(const std::string& input);

  // The code host.quit was called with.
  int quitCode() const;

  // Disconnects every event sink and releases every object scripts hold;
  // their script objects stay, and calls on them fail from then on.
  void ReleaseObjects();

  struct Engine;

 private:
  std::unique_ptr<Engine> engine_;
};

}  // namespace vornhost
