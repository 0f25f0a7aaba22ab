// The automation binding against TestThing, in process: creation, late-bound
// members, VARIANT conversion both ways, error messages, events, release.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "hosts/script/script_host.h"
#include "tests/hosts/capture.h"
#include "tests/hosts/test_thing.h"
#include "tests/support/temp_root.h"

namespace {

using vornhost::HostOptions;
using host_test::Capture;
using vornhost::ScriptHost;

class AutomationBindingTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registration_.ok());
    HostOptions options;
    options.out = out_.file();
    options.err = err_.file();
    host_ = std::make_unique<ScriptHost>(std::move(options));
    ASSERT_TRUE(host_->ok());
    ASSERT_EQ(Run("var t = new ActiveXObject('Vorn.TestThing');"), "");
  }
  void TearDown() override {
    host_.reset();
    EXPECT_EQ(vorn_test::LiveTestThings(), 0) << "an object outlived the host";
  }

  // Runs a script; returns what it echoed, or "error: " and its report.
  std::string Run(const std::string& source) {
    const int status = host_->RunScript(source, "test.js");
    const std::string out = out_.Take();
    const std::string err = err_.Take();
    if (status != 0) return "error: " + err;
    return out;
  }
  // Echoes the value of one expression.
  std::string Value(const std::string& expression) { return Run("echo(" + expression + ");"); }

  vorn_test::TempRoot root_;
  vorn_test::TestThingRegistration registration_;
  Capture out_;
  Capture err_;
  std::unique_ptr<ScriptHost> host_;
};

TEST_F(AutomationBindingTest, CreatesByProgIdOrClsid) {
  EXPECT_EQ(Value("new ActiveXObject('{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B01}').Add(2, 3)"), "5\n");
  EXPECT_EQ(Value("new ActiveXObject('{7d0b58e2-3c1a-4f0e-9b6d-2a5c8e1f4b01}').Add(2, 3)"), "5\n");
  EXPECT_EQ(Value("String(t)"), "[object ActiveXObject]\n");
  struct Case {
    const char* script;
    const char* report;
  } cases[] = {
      {"new ActiveXObject('No.Such.Thing')",
       "test.js:1: Error: ActiveXObject(\"No.Such.Thing\"): 0x800401F3 CO_E_CLASSSTRING: "
       "Invalid class string.\n"},
      {"new ActiveXObject('{00000000-1111-2222-3333-444444444444}')",
       "test.js:1: Error: ActiveXObject(\"{00000000-1111-2222-3333-444444444444}\"): 0x80040154 "
       "REGDB_E_CLASSNOTREG: Class not registered.\n"},
      {"new ActiveXObject(42)",
       "test.js:1: Error: ActiveXObject: give a ProgID or a \"{CLSID}\" string\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(c.script), std::string("error: ") + c.report);
}

TEST_F(AutomationBindingTest, EveryListedMemberIsAFunction) {
  EXPECT_EQ(Run("var names = ['Add', 'Concat', 'Describe', 'Make', 'Fail', 'Raise', 'Fire',\n"
                "             'Count', 'Optional'];\n"
                "names.forEach(function (n) { echo(n, typeof t[n]); });\n"
                "echo(Object.keys(t).join(','));\n"),
            "Add function\nConcat function\nDescribe function\nMake function\nFail function\n"
            "Raise function\nFire function\nCount function\nOptional function\n"
            "Add,Concat,Describe,Make,Fail,Raise,Fire,Value,Count,Optional\n");
}

TEST_F(AutomationBindingTest, NamesOutsideTheTypeInformationAreAskedOfTheObject) {
  EXPECT_EQ(Value("typeof t.Secret, t.Secret(), t.secret(), typeof t.Nope"),
            "function 7 7 undefined\n");
  EXPECT_EQ(Run("t.Nope();"),
            "error: test.js:1: TypeError: undefined not callable (property 'Nope' of "
            "[object Object])\n");
}

TEST_F(AutomationBindingTest, ScriptValuesBecomeVariants) {
  struct Case {
    const char* value;
    std::string variant;
  } cases[] = {
      {"42", "I4 42"},
      {"-2147483648", "I4 -2147483648"},
      {"2147483647", "I4 2147483647"},
      {"2147483648", "R8 2147483648"},
      {"-2147483649", "R8 -2147483649"},
      {"2.5", "R8 2.5"},
      {"-0", "I4 0"},
      {"1e300", "R8 1.0000000000000001e+300"},
      {"true", "BOOL -1"},
      {"false", "BOOL 0"},
      {"'abc'", "BSTR abc (3 units)"},
      {"''", "BSTR  (0 units)"},
      {"'\\u00e9'", "BSTR \xC3\xA9 (1 units)"},
      {"'\\uD83D\\uDE00'", "BSTR \xF0\x9F\x98\x80 (2 units)"},
      {"'\\uD83D'", "BSTR \xEF\xBF\xBD (1 units)"},
      {"'a\\u0000b'", std::string("BSTR a\0b (3 units)", 18)},
      {"'x'.repeat(300)", "BSTR " + std::string(300, 'x') + " (300 units)"},
      {"null", "NULL"},
      {"undefined", "EMPTY"},
      {"t", "DISPATCH TestThing"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Value(std::string("t.Describe(") + c.value + ")"), c.variant + "\n") << c.value;
  }
}

TEST_F(AutomationBindingTest, VariantsBecomeScriptValues) {
  struct Case {
    const char* kind;
    const char* shown;
  } cases[] = {
      {"i2", "number -5"},
      {"ui1", "number 200"},
      {"r4", "number 1.5"},
      {"true", "boolean true"},
      {"false", "boolean false"},
      {"text", "string a\xF0\x9F\x98\x80\xC3\xA9 4"},
      {"nulltext", "string  0"},
      {"null", "object null"},
      {"empty", "undefined undefined"},
      {"nothing", "object null"},
      {"error", "number -2147467259"},
      {"i8", "number 1099511627776"},
      {"byref", "number 77"},
      {"self", "object [object ActiveXObject] 3"},
  };
  for (const Case& c : cases) {
    const std::string script = std::string("var v = t.Make('") + c.kind +
                               "');\n"
                               "var extra = typeof v === 'string' ? ' ' + v.length :\n"
                               "    (v && typeof v === 'object') ? ' ' + v.Add(1, 2) : '';\n"
                               "echo(typeof v + ' ' + v + extra);\n";
    EXPECT_EQ(Run(script), std::string(c.shown) + "\n") << c.kind;
  }
}

TEST_F(AutomationBindingTest, FailedCallsNameMemberCodeAndMeaning) {
  struct Case {
    const char* script;
    const char* message;
  } cases[] = {
      {"t.Add(1)",
       "Add: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. Add takes 2 "
       "arguments, not 1."},
      {"t.Count(1)",
       "Count: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. Count takes 0 "
       "arguments, not 1."},
      {"t.Optional()",
       "Optional: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. Optional "
       "takes 1 to 2 arguments, not 0."},
      {"t.Add(1, 'two')", "Add: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. (argument 2)"},
      {"t.Add('one', 2)", "Add: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. (argument 1)"},
      {"t.Fail(-2147467259)", "Fail: 0x80004005 E_FAIL: Unspecified error."},
      {"t.Fail(-2147024809)", "Fail: 0x80070057 E_INVALIDARG: One or more arguments are invalid."},
      {"t.Fail(-2147483000)", "Fail: 0x80000288 Unknown result code."},
      {"t.Raise('the disk is on fire')", "Raise: 0x80040201 TestThing: the disk is on fire"},
      {"t.Add(function () {}, 1)", "Add: argument 1: cannot pass a function"},
      {"t.Add(1, {})", "Add: argument 2: cannot pass an object that is not an automation object"},
      {"t.Add([1], 2)", "Add: argument 1: cannot pass an array"},
      {"t.Optional(1, 2, 3, 4, 5, 6, 7, 8, 9)",
       "Optional: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. Optional "
       "takes 1 to 2 arguments, not 9."},
      {"t.Add.call({}, 1, 2)", "Add: not called on an automation object"},
      {"t.Make('record')",
       "Make: the result cannot be used: its value of type 36 has no script form"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(std::string("\n") + c.script + ";"),
              std::string("error: test.js:2: Error: ") + c.message + "\n")
        << c.script;
  }
  // The error is a JavaScript Error that a script can catch and read.
  EXPECT_EQ(Run("try { t.Add(); } catch (e) { echo(e instanceof Error, e.message); }"),
            "true Add: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. Add takes "
            "2 arguments, not 0.\n");
}

// The member functions of an interface are shared by all its objects; each
// call reaches the object it was made on, whatever strings it carries.
TEST_F(AutomationBindingTest, SharedMembersReachTheirOwnObject) {
  EXPECT_EQ(Run("var u = new ActiveXObject('Vorn.TestThing');\n"
                "t.Value = 1; u.Value = 2;\n"
                "echo(t.Value, u.Value, t.Add.call(u, 40, 2));\n"
                "var a = 'a'.repeat(200), b = 'b'.repeat(200);\n"
                "echo(u.Concat(a, b) === a + b, u.Concat('\\u00e9', 'x') === '\\u00e9x');\n"),
            "1 2 42\ntrue true\n");
}

TEST_F(AutomationBindingTest, PropertiesReadAndWrite) {
  EXPECT_EQ(Run("t.Value = 41; t.Value = t.Value + 1; echo(t.Value);"), "42\n");
  EXPECT_EQ(Run("t.Value = 'x';"),
            "error: test.js:1: Error: Value: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. "
            "(argument 1)\n");
}

TEST_F(AutomationBindingTest, EventsReachTheirHandlers) {
  EXPECT_EQ(Run("var seen = [];\n"
                "host.connect(t, {\n"
                "  Ping: function (n) { seen.push('ping ' + n + ' ' + (this === handlers)); },\n"
                "  Done: function () { seen.push('done'); }\n"
                "});\n"
                "var handlers = null;\n"
                "t.Fire(3);\n"
                "echo(seen.join(', '));\n"),
            "ping 3 false, done\n");
  // A second connection sees the events too; a missing handler is skipped.
  EXPECT_EQ(Run("var h = { Ping: function (n) { echo('second', n, this === h); } };\n"
                "host.connect(t, h);\n"
                "t.Fire(4);\n"),
            "second 4 true\n");
}

TEST_F(AutomationBindingTest, HandlerErrorsReachTheScript) {
  EXPECT_EQ(Run("host.connect(t, { Ping: function (n) { throw new Error('handler ' + n); } });\n"
                "try { t.Fire(5); } catch (e) { echo('caught', e.message); }\n"
                "t.Fire(6);\n"),
            "error: test.js:1: Error: handler 6\n");
}

TEST_F(AutomationBindingTest, ConnectRefusesWhatItCannotRoute) {
  struct Case {
    const char* script;
    const char* message;
  } cases[] = {
      {"host.connect(t, { Pong: function () {} })",
       "host.connect: the object has no event \"Pong\" (its events: Ping, Done)"},
      {"host.connect({}, {})", "host.connect: the first argument must be an automation object"},
      {"host.connect(t, 3)", "host.connect: the second argument must be an object of handlers"},
      {"host.connect(t, { get Ping() { throw new Error('getter'); } })",
       "host.connect: Error: getter"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.script), std::string("error: test.js:1: Error: ") + c.message + "\n")
        << c.script;
  }
}

// Without a collection: nothing keeps a dropped object alive, not even an
// event connection (whose handlers do not refer to the object).
TEST_F(AutomationBindingTest, DroppedObjectsAreReleasedAtOnce) {
  EXPECT_EQ(Run("for (var i = 0; i < 50; ++i) new ActiveXObject('Vorn.TestThing').Add(i, i);\n"
                "var handlers = { Ping: function () {} };\n"
                "(function () {\n"
                "  var x = new ActiveXObject('Vorn.TestThing');\n"
                "  host.connect(x, handlers);\n"
                "  x.Fire(1);\n"
                "})();\n"
                "echo(t.Count());\n"),
            "1\n");
}

TEST_F(AutomationBindingTest, ObjectsAreReleasedWhenCollectedAndAtTheEnd) {
  EXPECT_EQ(Run("for (var i = 0; i < 50; ++i) new ActiveXObject('Vorn.TestThing').Add(i, i);\n"
                "Duktape.gc();\n"
                "echo(t.Count());\n"),
            "1\n");
  EXPECT_EQ(
      Run("var kept = [t.Make('self'), t.Make('self'), new ActiveXObject('Vorn.TestThing')];"), "");
  EXPECT_EQ(vorn_test::LiveTestThings(), 2);
  host_->ReleaseObjects();
  EXPECT_EQ(vorn_test::LiveTestThings(), 0);
  EXPECT_EQ(Run("t.Add(1, 2);"), "error: test.js:1: Error: Add: the object has been released\n");
  EXPECT_EQ(Run("kept[2].Describe(1);"),
            "error: test.js:1: Error: Describe: the object has been released\n");
}

TEST_F(AutomationBindingTest, QuitReleasesEverythingAtOnce) {
  EXPECT_EQ(host_->RunScript("host.connect(t, { Ping: function () {} });\n"
                             "var more = new ActiveXObject('Vorn.TestThing');\n"
                             "host.quit(4);\n",
                             "quit.js"),
            4);
  EXPECT_EQ(vorn_test::LiveTestThings(), 0);
}

}  // namespace
