// The engine side of the host, in process: echo, host.arguments, host.quit,
// error reports and interactive evaluation.

#include "hosts/script/script_host.h"
#include "tests/hosts/capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using host_test::Capture;
using vornhost::HostOptions;
using vornhost::ScriptHost;

class ScriptHostTest : public testing::Test {
 protected:
  std::unique_ptr<ScriptHost> MakeHost(std::vector<std::string> arguments = {}) {
    HostOptions options;
    options.out = out_.file();
    options.err = err_.file();
    options.arguments = std::move(arguments);
    auto host = std::make_unique<ScriptHost>(std::move(options));
    EXPECT_TRUE(host->ok());
    return host;
  }
  Capture out_;
  Capture err_;
};

TEST_F(ScriptHostTest, EchoJoinsItsArgumentsWithSpaces) {
  auto host = MakeHost();
  EXPECT_EQ(host->RunScript(
                "echo('a', 1, 2.5, true, null, undefined, [1, 2], {});\n"
                "echo();\n"
                "echo('\\uD83D\\uDE00', '\\u00e9', 'x\\u0000y');\n"
                "echo({ toString: function () { throw new Error('no text'); } });\n",
                "echo.js"),
            0);
  EXPECT_EQ(out_.text(),
            "a 1 2.5 true null undefined 1,2 [object Object]\n"
            "\n"
            "\xF0\x9F\x98\x80 \xC3\xA9 " + std::string("x\0y", 3) + "\n"
            "Error: no text\n");
  EXPECT_EQ(err_.text(), "");
}

TEST_F(ScriptHostTest, ArgumentsArriveAsStrings) {
  auto host = MakeHost({"one", "", "\xF0\x9F\x98\x80"});
  EXPECT_EQ(host->RunScript("var a = host.arguments;\n"
                            "echo(a.length, typeof a[0], a[0], '[' + a[1] + ']', a[2].length);\n",
                            "args.js"),
            0);
  EXPECT_EQ(out_.text(), "3 string one [] 2\n");
}

TEST_F(ScriptHostTest, ErrorsReportTheScriptFileAndLine) {
  struct Case {
    const char* what;
    const char* source;
    const char* report;
  } cases[] = {
      {"thrown error", "echo(1);\n\nthrow new Error('stop here');\n",
       "case.js:3: Error: stop here\n"},
      {"error in a called function", "function f() {\n  return g();\n}\nf();\n",
       "case.js:2: ReferenceError: identifier 'g' undefined\n"},
      {"syntax error", "var x = 1;\nvar y = (;\n",
       "case.js:2: SyntaxError: empty expression not allowed (line 2)\n"},
      {"thrown non-error value", "throw 'plain';\n", "case.js: plain\n"},
      {"bad argument to a host function", "\n\nhost.quit('soon');\n",
       "case.js:3: Error: host.quit: the exit code must be a number\n"},
      {"host error raised through a callback", "[1].forEach(function () {\n  host.quit({});\n});\n",
       "case.js:2: Error: host.quit: the exit code must be a number\n"},
  };
  for (const Case& c : cases) {
    Capture err;
    HostOptions options;
    options.out = out_.file();
    options.err = err.file();
    ScriptHost host(std::move(options));
    EXPECT_EQ(host.RunScript(c.source, "case.js"), 1) << c.what;
    EXPECT_EQ(err.text(), c.report) << c.what;
  }
}

TEST_F(ScriptHostTest, InterpreterLineIsSkippedAndLinesStillCount) {
  auto host = MakeHost();
  EXPECT_EQ(host->RunScript("#!/usr/bin/env vornhost\necho('ran');\nnope();\n", "x.js"), 1);
  EXPECT_EQ(out_.text(), "ran\n");
  EXPECT_EQ(err_.text(), "x.js:3: ReferenceError: identifier 'nope' undefined\n");
}

TEST_F(ScriptHostTest, QuitWithoutHandlerUnwindsEvenThroughCatch) {
  auto host = MakeHost();
  EXPECT_EQ(host->RunScript("echo('before');\n"
                            "try { host.quit(5); } catch (e) { echo('caught'); }\n"
                            "echo('after');\n",
                            "quit.js"),
            5);
  // A catch block may run, but the next call into the host unwinds again.
  EXPECT_EQ(out_.text(), "before\n");
  EXPECT_EQ(err_.text(), "");
  EXPECT_EQ(host->quitCode(), 5);
}

TEST_F(ScriptHostTest, QuitCodes) {
  struct Case {
    const char* call;
    int code;
  } cases[] = {{"host.quit()", 0}, {"host.quit(0)", 0}, {"host.quit(3)", 3},
               {"host.quit(255)", 255}, {"host.quit(256)", 1}, {"host.quit(-1)", 1}};
  for (const Case& c : cases) {
    auto host = MakeHost();
    EXPECT_EQ(host->RunScript(c.call, "q.js"), c.code) << c.call;
  }
}

TEST_F(ScriptHostTest, QuitHandlerSeesTheCodeAfterOutputIsFlushed) {
  HostOptions options;
  options.out = out_.file();
  options.err = err_.file();
  int seen = -1;
  std::string outputAtQuit;
  options.onQuit = [&](int code) {
    seen = code;
    outputAtQuit = out_.text();
  };
  ScriptHost host(std::move(options));
  EXPECT_EQ(host.RunScript("echo('bye'); host.quit(9);", "q.js"), 9);
  EXPECT_EQ(seen, 9);
  EXPECT_EQ(outputAtQuit, "bye\n");
}

TEST_F(ScriptHostTest, EvaluatePrintsValuesAndSurvivesErrors) {
  auto host = MakeHost();
  EXPECT_EQ(host->Evaluate("var n = 40"), ScriptHost::Eval::kDone);
  EXPECT_EQ(host->Evaluate("n + 2"), ScriptHost::Eval::kDone);
  EXPECT_EQ(host->Evaluate("'text'"), ScriptHost::Eval::kDone);
  EXPECT_EQ(host->Evaluate("missing()"), ScriptHost::Eval::kError);
  EXPECT_EQ(host->Evaluate("n"), ScriptHost::Eval::kDone);
  EXPECT_EQ(out_.text(), "42\ntext\n40\n");
  EXPECT_EQ(err_.text(), "<input>:1: ReferenceError: identifier 'missing' undefined\n");
}

TEST_F(ScriptHostTest, EvaluateAsksForMoreWhenTheInputIsCutOff) {
  auto host = MakeHost();
  EXPECT_EQ(host->Evaluate("function f(a) {\n"), ScriptHost::Eval::kIncomplete);
  EXPECT_EQ(host->Evaluate("function f(a) {\n  return a * 2;\n"), ScriptHost::Eval::kIncomplete);
  EXPECT_EQ(host->Evaluate("function f(a) {\n  return a * 2;\n}\n"), ScriptHost::Eval::kDone);
  EXPECT_EQ(host->Evaluate("f(21)"), ScriptHost::Eval::kDone);
  // A real mistake is reported, not waited on.
  EXPECT_EQ(host->Evaluate("var = 1"), ScriptHost::Eval::kError);
  EXPECT_EQ(host->Evaluate("host.quit(2)"), ScriptHost::Eval::kQuit);
  EXPECT_EQ(host->quitCode(), 2);
  EXPECT_EQ(out_.text(), "42\n");
}

}  // namespace
