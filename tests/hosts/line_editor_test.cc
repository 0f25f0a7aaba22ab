// The line editor on a pseudo-terminal, and on plain input.

#include "hosts/script/line_editor.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vornhost::LineEditor;

class Terminal {
 public:
  // The terminal starts without line discipline, so that keys typed before
  // the editor switches it to raw mode reach the editor unchanged.
  Terminal() {
    termios raw;
    cfmakeraw(&raw);
    EXPECT_EQ(openpty(&master_, &slave_, nullptr, &raw, nullptr), 0);
  }
  ~Terminal() {
    close(master_);
    close(slave_);
  }
  // What the user types; the editor reads it from the other side.
  void Type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  int slave() const { return slave_; }

 private:
  int master_ = -1;
  int slave_ = -1;
};

TEST(LineEditorTest, EditingKeys) {
  const std::string left = "\x1b[D", right = "\x1b[C", home = "\x1b[H", end = "\x1b[F";
  struct Case {
    const char* what;
    std::string keys;
    std::string line;
  } cases[] = {
      {"plain text", "abc\r", "abc"},
      {"insert after moving left", "abd" + left + "c\r", "abcd"},
      {"backspace", "abx\x7f" "c\r", "abc"},
      {"home and end", "bc" + home + "a" + end + "d\r", "abcd"},
      {"ctrl-a and ctrl-e", "b\x01" "a\x05" "c\r", "abc"},
      {"delete key", "xabc" + home + "\x1b[3~\r", "abc"},
      {"ctrl-u cuts to the start", "junk" "\x15" "ok\r", "ok"},
      {"ctrl-k cuts to the end", "okjunk" + left + left + left + left + "\x0b\r", "ok"},
      {"ctrl-w removes a word", "one two\x17three\r", "one three"},
      {"multi-byte characters move as one", "\xC3\xA9\xE2\x82\xAC" + left + "x\r",
       "\xC3\xA9x\xE2\x82\xAC"},
      {"backspace removes a whole character", "a\xF0\x9F\x98\x80\x7f\r", "a"},
      {"right past the end stays", "ab" + right + right + "c\r", "abc"},
      {"ctrl-c drops the line", "nope\x03yes\r", "yes"},
  };
  for (const Case& c : cases) {
    Terminal terminal;
    LineEditor editor(terminal.slave(), terminal.slave());
    terminal.Type(c.keys);
    std::string line;
    ASSERT_TRUE(editor.ReadLine("> ", &line)) << c.what;
    EXPECT_EQ(line, c.line) << c.what;
  }
}

TEST(LineEditorTest, HistoryWalksBackAndForth) {
  Terminal terminal;
  LineEditor editor(terminal.slave(), terminal.slave());
  editor.AddHistory("first");
  editor.AddHistory("second");
  editor.AddHistory("second");  // a repeat is kept once
  editor.AddHistory("");
  const std::string up = "\x1b[A", down = "\x1b[B";
  std::string line;
  terminal.Type(up + "\r");
  ASSERT_TRUE(editor.ReadLine("> ", &line));
  EXPECT_EQ(line, "second");
  terminal.Type(up + up + up + "!\r");
  ASSERT_TRUE(editor.ReadLine("> ", &line));
  EXPECT_EQ(line, "first!");
  // Down past the newest entry returns to what was being typed.
  terminal.Type("draft" + up + down + "\r");
  ASSERT_TRUE(editor.ReadLine("> ", &line));
  EXPECT_EQ(line, "draft");
}

TEST(LineEditorTest, CtrlDOnAnEmptyLineEndsTheInput) {
  Terminal terminal;
  LineEditor editor(terminal.slave(), terminal.slave());
  terminal.Type("ab\x02\x04\r\x04");
  std::string line;
  ASSERT_TRUE(editor.ReadLine("> ", &line));
  EXPECT_EQ(line, "a");  // Ctrl-D inside a line deletes the character
  EXPECT_FALSE(editor.ReadLine("> ", &line));
}

TEST(LineEditorTest, PlainInputIsReadLineByLine) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string text = "one\ntwo\r\n\nlast";
  ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  LineEditor editor(fds[0], fds[0]);
  std::vector<std::string> lines;
  std::string line;
  while (editor.ReadLine("> ", &line)) lines.push_back(line);
  close(fds[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "last"}));
}

}  // namespace
