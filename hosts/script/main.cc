// vornhost: runs JavaScript that drives automation objects.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "hosts/script/line_editor.h"
#include "hosts/script/script_host.h"
#include "hosts/script/snapshot.h"
#include "platform/runtime.h"
#include "runtime/output_check.h"

namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "  vornhost FILE.js [ARGS...]     run a script\n"
    "  vornhost -e CODE [ARGS...]     run CODE\n"
    "  vornhost - [ARGS...]           run the script read from standard input\n"
    "  vornhost                       interactive prompt on a terminal (otherwise\n"
    "                                 the script is read from standard input)\n"
    "  vornhost --snapshot FILE.png [--size WxH] [--object PROGID]\n"
    "                                 draw a control into a PNG picture\n"
    "  vornhost --help                show this text\n";

constexpr char kHelp[] =
    "\n"
    "Scripts see these globals:\n"
    "  new ActiveXObject(name)   create an automation object by ProgID or by\n"
    "                            \"{CLSID}\" text. Its methods are the members its\n"
    "                            type information lists; numbers, strings, booleans,\n"
    "                            null and other automation objects pass both ways.\n"
    "                            A failed call throws an Error naming the member,\n"
    "                            the result code in hex and its meaning.\n"
    "  echo(...)                 print the arguments separated by spaces and a newline\n"
    "                            on standard output (the stream objects print to)\n"
    "  host.arguments            the ARGS after the script, an array of strings\n"
    "  host.quit([code])         end at once with exit status code (default 0)\n"
    "  host.connect(obj, sink)   call sink.EventName(args...) whenever obj fires\n"
    "                            the event EventName\n"
    "\n"
    "The interactive prompt edits lines (arrows, Home/End, Ctrl-A/E/K/U/W), keeps a\n"
    "history (Up/Down), prints the value of each input and leaves on Ctrl-D or\n"
    "host.quit().\n"
    "\n"
    "--snapshot creates the control (PROGID, by default\n"
    "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1), draws it into a WxH picture\n"
    "(default: the control's own size) and writes it as PNG.\n"
    "\n"
    "Objects are found through the registry of the platform root: $VORN_ROOT, or\n"
    "${XDG_DATA_HOME:-$HOME/.local/share}/vorn when it is not set.\n"
    "\n"
    "When an object's InitControl answers false, the reason its components gave\n"
    "is shown on standard error as one line \"vornhost: InitControl: reason\".\n"
    "\n"
    "Exit status: 0 when the script ran to its end, the code given to host.quit,\n"
    "1 after a script error (reported on standard error as FILE:LINE: message) or\n"
    "when standard output cannot be written, 2 for wrong usage.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vornhost: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// Ends the process from host.quit: by then the host has released every
// object and flushed its output.
void QuitProcess(int code) {
  if (!vorn_rt::FinishOutput(stdout, "vornhost", "standard output", stderr) && code == 0) code = 1;
  std::fflush(stderr);
  CoUninitialize();
  std::exit(code);
}

bool ReadAll(std::istream& in, std::string* text) {
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return !in.bad();
}

int RunInteractive(vornhost::ScriptHost& host) {
  vornhost::LineEditor editor(STDIN_FILENO, STDOUT_FILENO);
  std::printf("vornhost: JavaScript with automation objects. Ctrl-D leaves.\n");
  std::fflush(stdout);
  std::string input;
  std::string line;
  while (editor.ReadLine(input.empty() ? "vorn> " : "....> ", &line)) {
    input += line;
    input.push_back('\n');
    const vornhost::ScriptHost::Eval result = host.Evaluate(input);
    if (result == vornhost::ScriptHost::Eval::kIncomplete) continue;
    input.pop_back();
    editor.AddHistory(input);
    input.clear();
    if (result == vornhost::ScriptHost::Eval::kQuit) return host.quitCode();
  }
  return 0;
}

int RunSnapshot(const std::vector<std::string>& args) {
  std::string file;
  std::string progId;
  int width = 0;
  int height = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--snapshot" || arg == "--size" || arg == "--object") {
      if (i + 1 >= args.size()) return UsageError(arg + " needs a value");
      const std::string& value = args[++i];
      if (arg == "--snapshot") {
        file = value;
      } else if (arg == "--object") {
        progId = value;
      } else {
        char x = 0;
        char extra = 0;
        if (std::sscanf(value.c_str(), "%d%c%d%c", &width, &x, &height, &extra) != 3 ||
            (x != 'x' && x != 'X') || width < 1 || height < 1 || width > 16384 ||
            height > 16384) {
          return UsageError("--size takes WIDTHxHEIGHT, each 1 to 16384, not \"" + value + "\"");
        }
      }
    } else {
      return UsageError("unexpected argument \"" + arg + "\" with --snapshot");
    }
  }
  if (file.empty()) return UsageError("--snapshot needs a file name");
  std::string error;
  if (!vornhost::Snapshot(file, progId, width, height, &error)) {
    std::fprintf(stderr, "vornhost: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("vornhost: a JavaScript host for automation objects.\n\n%s%s", kUsage, kHelp);
    return 0;
  }
  if (!args.empty() && args[0] == "--snapshot") return RunSnapshot(args);

  std::string source;
  std::string name;
  size_t first = 0;  // the first script argument
  bool interactive = false;
  if (args.empty()) {
    if (isatty(STDIN_FILENO)) {
      interactive = true;
    } else {
      name = "<stdin>";
    }
  } else if (args[0] == "-e") {
    if (args.size() < 2) return UsageError("-e needs the code to run");
    source = args[1];
    name = "<code>";
    first = 2;
  } else if (args[0] == "-") {
    name = "<stdin>";
    first = 1;
  } else if (args[0].size() > 1 && args[0][0] == '-') {
    return UsageError("unknown option \"" + args[0] + "\"");
  } else {
    name = args[0];
    first = 1;
    std::ifstream file(name, std::ios::binary);
    if (!file || !ReadAll(file, &source)) {
      std::fprintf(stderr, "vornhost: cannot read %s: %s\n", name.c_str(), std::strerror(errno));
      return 1;
    }
  }
  if (name == "<stdin>" && !ReadAll(std::cin, &source)) {
    std::fprintf(stderr, "vornhost: cannot read standard input\n");
    return 1;
  }

  vornhost::HostOptions options;
  options.arguments.assign(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
  options.onQuit = QuitProcess;
  vornhost::ScriptHost host(std::move(options));
  if (!host.ok()) {
    std::fprintf(stderr, "vornhost: the script engine or the component runtime did not start\n");
    return 1;
  }
  if (interactive) return RunInteractive(host);
  return host.RunScript(source, name);
}

}  // namespace

int main(int argc, char** argv) {
  int status = Run(std::vector<std::string>(argv + 1, argv + argc));
  // What a script printed is its result: output that did not arrive fails.
  if (!vorn_rt::FinishOutput(stdout, "vornhost", "standard output", stderr) && status == 0) {
    status = 1;
  }
  return status;
}
