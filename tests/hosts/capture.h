// A FILE* whose text the test reads back: what a script host wrote to its
// output or error stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace host_test {

class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    std::free(data_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  FILE* file() const { return file_; }
  // Everything written so far.
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }
  // What was written since the last Take.
  std::string Take() {
    std::fflush(file_);
    std::string text(data_ + taken_, size_ - taken_);
    taken_ = size_;
    return text;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t taken_ = 0;
  FILE* file_;
};

}  // namespace host_test
