// LineEditor: reads lines from a terminal with editing and history.
//
// Keys: Left/Right (Ctrl-B/Ctrl-F) move by character, Home/End (Ctrl-A/
// Ctrl-E) to the ends, Backspace and Delete remove a character, Ctrl-U and
// Ctrl-K cut to the start or the end, Ctrl-W removes the word before the
// cursor, Up/Down (Ctrl-P/Ctrl-N) walk the history, Ctrl-L redraws, Ctrl-C
// drops the line, Ctrl-D on an empty line ends the input. Characters are
// UTF-8; each is taken to fill one column.
//
// When the input is not a terminal, lines are read as they are, without
// echo or editing.
#pragma once

#include <string>
#include <vector>

namespace vornhost {

class LineEditor {
 public:
  // Reads from descriptor `in` and draws on descriptor `out`.
  LineEditor(int in, int out);
  ~LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Shows `prompt` and reads one line into *line, without its newline.
  // False at the end of the input (or Ctrl-D on an empty line).
  bool ReadLine(const std::string& prompt, std::string* line);

  // Adds a line to the history (empty lines and repeats of the last one are
  // not kept).
  void AddHistory(const std::string& line);

 private:
  bool ReadPlain(std::string* line);
  bool ReadEdited(const std::string& prompt, std::string* line);
  bool EnterRawMode();
  void LeaveRawMode();
  void Refresh(const std::string& prompt, const std::string& text, size_t cursor);
  int ReadByte();

  int in_;
  int out_;
  bool terminal_;
  bool raw_ = false;
  struct Saved;
  Saved* saved_ = nullptr;
  std::vector<std::string> history_;
  std::string pending_;  // bytes read past the end of a plain line
};

}  // namespace vornhost
