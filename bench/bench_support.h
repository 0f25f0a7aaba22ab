// Helpers the benchmark programs share: clocks, a hash of what a program
// read, figures of this process's memory, a temporary root, the folder of
// the built programs, registering a module, writing files, and a read-only
// stream over bytes the caller keeps.
#pragma once

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/loader.h"
#include "platform/runtime.h"
#include "platform/unknown.h"
#include "runtime/unknown_impl.h"

namespace vorn_bench {

inline double ClockSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Processor time of the whole process: other work on a shared machine does
// not count.
inline double ProcessCpuSeconds() { return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

// Processor time of the calling thread.
inline double ThreadCpuSeconds() { return ClockSeconds(CLOCK_THREAD_CPUTIME_ID); }

// A monotonic wall clock.
inline double WallSeconds() { return ClockSeconds(CLOCK_MONOTONIC); }

// FNV-1a over `text`, continuing from `h`, with a separator after it, so
// that two programs can check they extracted the same texts in the same
// order. Start from kHashStart.
constexpr uint64_t kHashStart = 1469598103934665603ULL;
inline uint64_t Hash(uint64_t h, std::string_view text) {
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
  return (h ^ 0xFF) * 1099511628211ULL;
}

// A figure of /proc/self/status in kB ("VmRSS", "VmHWM"); 0 when unknown.
inline long StatusKb(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long kb = 0;
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      kb = std::atol(line + length + 1);
      break;
    }
  }
  std::fclose(status);
  return kb;
}

// Makes a new empty folder under $TMPDIR (or /tmp) named from `prefix` and
// points VORN_ROOT at it. Returns the folder, or an empty path after
// reporting the failure; the caller removes it.
inline std::filesystem::path MakeRoot(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return {};
  }
  setenv("VORN_ROOT", pattern.c_str(), 1);
  return pattern;
}

// The folder of the running program, where the modules are built.
inline std::filesystem::path ProgramDir() {
  char self[4096];
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  return std::filesystem::path(std::string(self, length)).parent_path();
}

// Loads the module at `path` and runs its DllRegisterServer. Returns the
// loaded module (the caller frees it with FreeLibrary), or null when it
// could not be loaded or registered.
inline HMODULE LoadAndRegister(const std::filesystem::path& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return nullptr;
  auto registerServer =
      reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
  if (!registerServer || registerServer() != S_OK) {
    FreeLibrary(module);
    return nullptr;
  }
  return module;
}

// Writes `bytes` to a new file at `path`; false when it could not.
inline bool WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// A read-only stream over borrowed bytes, so that a message is held once by
// the caller and once by the library that reads it. Lives on the stack: the
// reference count is not kept, and the bytes must outlive the stream.
class BorrowedStream final : public IStream {
 public:
  explicit BorrowedStream(std::string_view bytes) : bytes_(bytes) {}
  BorrowedStream(const BorrowedStream&) = delete;
  BorrowedStream& operator=(const BorrowedStream&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_ISequentialStream, this}, {IID_IStream, this}}, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const size_t n = std::min<size_t>(cb, bytes_.size() - position_);
    std::memcpy(pv, bytes_.data() + position_, n);
    position_ += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return S_OK;
  }
  HRESULT Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    const int64_t base = origin == STREAM_SEEK_SET   ? 0
                         : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position_)
                                                     : static_cast<int64_t>(bytes_.size());
    const int64_t target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    position_ = std::min(static_cast<size_t>(target), bytes_.size());
    if (newPosition) newPosition->QuadPart = position_;
    return S_OK;
  }
  HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    stat->cbSize.QuadPart = bytes_.size();
    return S_OK;
  }

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

}  // namespace vorn_bench
