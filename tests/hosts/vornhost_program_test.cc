// The vornhost program: how it is started, what it prints, how it ends.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/hosts/run_program.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::ProgramResult;
using vorn_test::RunProgram;

std::string Host() { return vorn_test::BinDir() + "/vornhost"; }

class VornhostProgramTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = vorn_test::MakeTempDir("vornhost"); }
  void TearDown() override { vorn_test::RemoveTree(dir_); }

  std::string WriteScript(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  vorn_test::TempRoot root_;
  std::string dir_;
};

TEST_F(VornhostProgramTest, RunsAFileWithItsArguments) {
  const std::string script = WriteScript("args.js", "echo(host.arguments.join('|'));\n");
  ProgramResult r = RunProgram(Host(), {script, "a", "b c", "-e", "\xC3\xA9"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "a|b c|-e|\xC3\xA9\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(VornhostProgramTest, RunsCodeFromTheCommandLineAndFromStandardInput) {
  ProgramResult code = RunProgram(Host(), {"-e", "echo(6 * 7, host.arguments[0])", "x"});
  EXPECT_EQ(code.status, 0);
  EXPECT_EQ(code.out, "42 x\n");

  ProgramResult dash = RunProgram(Host(), {"-", "y"}, "echo('piped', host.arguments[0]);\n");
  EXPECT_EQ(dash.status, 0);
  EXPECT_EQ(dash.out, "piped y\n");

  // Not a terminal and no script: the script comes from standard input.
  ProgramResult plain = RunProgram(Host(), {}, "echo('from stdin');\nbad(;\n");
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.out, "");
  EXPECT_EQ(plain.err, "<stdin>:2: SyntaxError: empty expression not allowed (line 2)\n");
}

TEST_F(VornhostProgramTest, ScriptErrorsGiveFileLineAndExitStatusOne) {
  const std::string script = WriteScript("broken.js", "echo('first');\n\nundefined.x;\n");
  ProgramResult r = RunProgram(Host(), {script});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "first\n");
  EXPECT_EQ(r.err, script + ":3: TypeError: cannot read property 'x' of undefined\n");

  const std::string syntax = WriteScript("syntax.js", "var a = 1;\nvar b = ;\n");
  ProgramResult s = RunProgram(Host(), {syntax});
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.err, syntax + ":2: SyntaxError: empty expression not allowed (line 2)\n");
}

// Output is these programs' result: when it cannot be written (a full disk),
// they say so and fail instead of ending as if all were well.
TEST_F(VornhostProgramTest, EveryToolFailsWhenItsOutputCannotBeWritten) {
  const std::string bin = vorn_test::BinDir() + "/";
  const std::vector<std::string> commands[] = {{bin + "vornhost", "-e", "echo('lost')"},
                                               {bin + "vornhost", "-e", "echo(1); host.quit(0)"},
                                               {bin + "vornreg", "--help"},
                                               {bin + "vornimport", "--help"}};
  for (const std::vector<std::string>& command : commands) {
    std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" > /dev/full"};
    args.insert(args.end(), command.begin(), command.end());
    ProgramResult r = RunProgram("/bin/sh", args);
    EXPECT_EQ(r.status, 1) << command[1];
    EXPECT_THAT(r.err, testing::MatchesRegex("vorn[a-z]+: cannot write to [^\n]*\n"))
        << command[1];
  }
}

TEST_F(VornhostProgramTest, QuitEndsAtOnceWithItsCode) {
  ProgramResult r = RunProgram(
      Host(), {"-e",
               "echo('one');\n"
               "try { host.quit(7); } catch (e) { echo('caught'); }\n"
               "echo('two');\n"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "one\n");
  EXPECT_EQ(r.err, "");

  ProgramResult zero = RunProgram(Host(), {"-e", "host.quit(); echo('no')"});
  EXPECT_EQ(zero.status, 0);
  EXPECT_EQ(zero.out, "");
}

TEST_F(VornhostProgramTest, WrongUsageExplainsItself) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
    int status;
  } cases[] = {
      {{"--no-such-option"}, "unknown option \"--no-such-option\"", 2},
      {{"-e"}, "-e needs the code to run", 2},
      {{"/no/such/file.js"}, "cannot read /no/such/file.js", 1},
  };
  for (const Case& c : cases) {
    ProgramResult r = RunProgram(Host(), c.args);
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(VornhostProgramTest, HelpDocumentsEveryEntry) {
  ProgramResult r = RunProgram(Host(), {"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* part : {"FILE.js", "-e CODE", "ActiveXObject", "echo(", "host.arguments",
                           "host.quit", "host.connect", "interactive", "VORN_ROOT",
                           "Exit status"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part;
  }
}

// Started on a terminal without a script, the host prompts, evaluates each
// line (or a statement spread over several), and ends on host.quit.
TEST_F(VornhostProgramTest, PromptsOnATerminal) {
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(Host().c_str(), "vornhost", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Each line is typed once the prompt for it shows: keys typed earlier
  // would meet the terminal's own line editing.
  const std::string lines[] = {
      "6 *\r", "7\r", "var s = 'abc'\r",
      "s.lenXth\x1b[D\x1b[D\x1b[D\x1b[3~g\x1b[F\r",  // mended to "s.length"
      "host.quit(4)\r"};
  std::string screen;
  size_t prompts = 0;
  size_t typed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{terminal, POLLIN, 0};
    if (poll(&fd, 1, 200) <= 0) continue;
    char buffer[1024];
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // the host has ended
    screen.append(buffer, static_cast<size_t>(n));
    // A fresh prompt is drawn with an empty line and the cursor after it.
    size_t seen = 0;
    const std::string fresh = "> \x1b[0K\r\x1b[6C";
    for (size_t at = 0; (at = screen.find(fresh, at)) != std::string::npos; at += fresh.size()) {
      ++seen;
    }
    if (seen > prompts && typed < std::size(lines)) {
      prompts = seen;
      const std::string& keys = lines[typed++];
      ASSERT_EQ(write(terminal, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(terminal);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_NE(screen.find("vorn> "), std::string::npos) << screen;
  EXPECT_NE(screen.find("....> "), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r\n42\r\n"), std::string::npos) << screen;
  // "lenXth" mended to "length" by the editing keys.
  EXPECT_NE(screen.find("\r\n3\r\n"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("undefined"), std::string::npos) << screen;
}

}  // namespace
