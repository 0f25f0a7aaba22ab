// ScriptedStream: the fake IStream behind every stream the fakes hand out
// (a stored message's raw text, a new message being written, a body's data).
//
// Reads follow a script: each Read consumes the next ReadStep, which says how
// many bytes that read delivers and with which status; once the script is
// used up, reads deliver min(cb, bytes left) with S_OK, and 0 at the end.
// The bytes come from the stream's data in order, NUL bytes included.
//
// Logged as "Read" (args cb, and pcbRead null or set) and "Write" (cb, the
// bytes as text), both faultable; Seek, SetSize and Stat are logged only.
#pragma once

#include <string>
#include <vector>

#include "platform/unknown.h"
#include "tests/fakes/fake_env.h"

namespace vorn_fakes {

struct ReadStep {
  // Bytes this read delivers, cut to the caller's cb and to the bytes left.
  ULONG bytes = 0;
  // What this read returns. S_FALSE or a failure still delivers `bytes`
  // (script 0 bytes for a read that fails without data).
  HRESULT status = S_OK;
};

class ScriptedStream final : public IStream, public FakeObject {
 public:
  // `kind` names the object in the log ("RawStream", "DataStream", ...).
  ScriptedStream(FakeEnv& env, std::string_view kind, std::string data,
                 std::vector<ReadStep> script, bool writable);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  HRESULT SetSize(ULARGE_INTEGER newSize) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;

  // Everything the stream holds (for a write stream: what was written).
  const std::string& data() const { return data_; }
  size_t position() const { return position_; }
  // Reads made so far.
  int reads() const { return reads_; }

 private:
  std::string data_;
  std::vector<ReadStep> script_;
  size_t nextStep_ = 0;
  size_t position_ = 0;
  bool writable_;
  int reads_ = 0;
};

}  // namespace vorn_fakes
