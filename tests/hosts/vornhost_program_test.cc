// The vornhost program: how it is started, what it prints, how it ends.

#include <gtest/gtest.h>

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

}  // namespace
