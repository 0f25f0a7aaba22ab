#include "hosts/script/line_editor.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace vornhost {
namespace {

constexpr size_t kHistoryLimit = 500;

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Cursor steps move over whole UTF-8 characters.
size_t PreviousChar(const std::string& text, size_t pos) {
  if (pos == 0) return 0;
  --pos;
  while (pos > 0 && IsContinuation(text[pos])) --pos;
  return pos;
}

size_t NextChar(const std::string& text, size_t pos) {
  if (pos >= text.size()) return text.size();
  ++pos;
  while (pos < text.size() && IsContinuation(text[pos])) ++pos;
  return pos;
}

size_t Columns(const std::string& text, size_t end) {
  size_t columns = 0;
  for (size_t i = 0; i < end && i < text.size(); ++i) {
    if (!IsContinuation(text[i])) ++columns;
  }
  return columns;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

struct LineEditor::Saved {
  termios mode;
};

LineEditor::LineEditor(int in, int out)
    : in_(in), out_(out), terminal_(isatty(in) == 1 && isatty(out) == 1) {}

LineEditor::~LineEditor() {
  LeaveRawMode();
  delete saved_;
}

void LineEditor::AddHistory(const std::string& line) {
  if (line.empty() || (!history_.empty() && history_.back() == line)) return;
  history_.push_back(line);
  if (history_.size() > kHistoryLimit) history_.erase(history_.begin());
}

bool LineEditor::ReadLine(const std::string& prompt, std::string* line) {
  line->clear();
  if (!terminal_) return ReadPlain(line);
  if (!EnterRawMode()) {
    WriteAll(out_, prompt);
    return ReadPlain(line);
  }
  const bool got = ReadEdited(prompt, line);
  LeaveRawMode();
  WriteAll(out_, "\r\n");
  return got;
}

int LineEditor::ReadByte() {
  unsigned char c;
  for (;;) {
    const ssize_t n = read(in_, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

bool LineEditor::ReadPlain(std::string* line) {
  for (;;) {
    const size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      line->assign(pending_, 0, newline);
      pending_.erase(0, newline + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    char buffer[4096];
    const ssize_t n = read(in_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (pending_.empty()) return false;
      line->swap(pending_);
      pending_.clear();
      return true;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool LineEditor::EnterRawMode() {
  if (raw_) return true;
  if (!saved_) saved_ = new Saved();
  if (tcgetattr(in_, &saved_->mode) != 0) return false;
  termios raw = saved_->mode;
  raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  raw.c_cflag |= CS8;
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(in_, TCSADRAIN, &raw) != 0) return false;
  raw_ = true;
  return true;
}

void LineEditor::LeaveRawMode() {
  if (!raw_) return;
  tcsetattr(in_, TCSADRAIN, &saved_->mode);
  raw_ = false;
}

void LineEditor::Refresh(const std::string& prompt, const std::string& text, size_t cursor) {
  std::string screen = "\r" + prompt + text + "\x1b[0K\r";
  const size_t column = Columns(prompt, prompt.size()) + Columns(text, cursor);
  if (column > 0) screen += "\x1b[" + std::to_string(column) + "C";
  WriteAll(out_, screen);
}

bool LineEditor::ReadEdited(const std::string& prompt, std::string* line) {
  std::string text;
  size_t cursor = 0;
  size_t historyPos = history_.size();  // history_.size(): the line being typed
  std::string typed;
  Refresh(prompt, text, cursor);

  auto showHistory = [&](size_t pos) {
    if (historyPos == history_.size()) typed = text;
    historyPos = pos;
    text = pos == history_.size() ? typed : history_[pos];
    cursor = text.size();
  };

  for (;;) {
    const int c = ReadByte();
    if (c < 0) {
      if (text.empty()) return false;
      break;
    }
    if (c == '\r' || c == '\n') break;
    switch (c) {
      case 1:  // Ctrl-A
        cursor = 0;
        break;
      case 2:  // Ctrl-B
        cursor = PreviousChar(text, cursor);
        break;
      case 3:  // Ctrl-C
        text.clear();
        cursor = 0;
        WriteAll(out_, "^C\r\n");
        break;
      case 4:  // Ctrl-D
        if (text.empty()) return false;
        if (cursor < text.size()) text.erase(cursor, NextChar(text, cursor) - cursor);
        break;
      case 5:  // Ctrl-E
        cursor = text.size();
        break;
      case 6:  // Ctrl-F
        cursor = NextChar(text, cursor);
        break;
      case 8:    // Ctrl-H
      case 127:  // Backspace
        if (cursor > 0) {
          const size_t start = PreviousChar(text, cursor);
          text.erase(start, cursor - start);
          cursor = start;
        }
        break;
      case 11:  // Ctrl-K
        text.erase(cursor);
        break;
      case 12:  // Ctrl-L
        WriteAll(out_, "\x1b[H\x1b[2J");
        break;
      case 14:  // Ctrl-N
        if (historyPos < history_.size()) showHistory(historyPos + 1);
        break;
      case 16:  // Ctrl-P
        if (historyPos > 0) showHistory(historyPos - 1);
        break;
      case 21:  // Ctrl-U
        text.erase(0, cursor);
        cursor = 0;
        break;
      case 23: {  // Ctrl-W
        size_t start = cursor;
        while (start > 0 && text[start - 1] == ' ') --start;
        while (start > 0 && text[start - 1] != ' ') --start;
        text.erase(start, cursor - start);
        cursor = start;
        break;
      }
      case 27: {  // escape sequences
        const int a = ReadByte();
        if (a != '[' && a != 'O') break;
        int b = ReadByte();
        std::string parameter;
        while (b >= '0' && b <= '9') {
          parameter.push_back(static_cast<char>(b));
          b = ReadByte();
        }
        if (b == 'A') {
          if (historyPos > 0) showHistory(historyPos - 1);
        } else if (b == 'B') {
          if (historyPos < history_.size()) showHistory(historyPos + 1);
        } else if (b == 'C') {
          cursor = NextChar(text, cursor);
        } else if (b == 'D') {
          cursor = PreviousChar(text, cursor);
        } else if (b == 'H' || (b == '~' && (parameter == "1" || parameter == "7"))) {
          cursor = 0;
        } else if (b == 'F' || (b == '~' && (parameter == "4" || parameter == "8"))) {
          cursor = text.size();
        } else if (b == '~' && parameter == "3") {
          if (cursor < text.size()) text.erase(cursor, NextChar(text, cursor) - cursor);
        }
        break;
      }
      default:
        if (c >= 32 || c == '\t') {
          text.insert(cursor, 1, static_cast<char>(c));
          ++cursor;
        }
        break;
    }
    Refresh(prompt, text, cursor);
  }
  Refresh(prompt, text, text.size());
  *line = text;
  return true;
}

}  // namespace vornhost
