#include "tests/fakes/scripted_stream.h"

#include <algorithm>
#include <cstring>

namespace vorn_fakes {

ScriptedStream::ScriptedStream(FakeEnv& env, std::string_view kind, std::string data,
                               std::vector<ReadStep> script, bool writable)
    : FakeObject(env, kind),
      data_(std::move(data)),
      script_(std::move(script)),
      writable_(writable) {}

HRESULT ScriptedStream::QueryInterface(REFIID riid, void** ppv) {
  return QueryFor(static_cast<IStream*>(this), {IID_ISequentialStream, IID_IStream}, riid, ppv);
}

HRESULT ScriptedStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  CallScope call = Begin("Read", {CallArg::Num("cb", cb), CallArg::Ptr("pcbRead", pcbRead)});
  if (pcbRead) *pcbRead = 0;
  if (call.dead) return Done(call, E_UNEXPECTED);
  if (call.fault) return Done(call, *call.fault);
  if (!pv && cb > 0) return Done(call, STG_E_INVALIDPOINTER);
  ++reads_;

  size_t left = position_ < data_.size() ? data_.size() - position_ : 0;
  size_t count = std::min<size_t>(cb, left);
  HRESULT status = S_OK;
  if (nextStep_ < script_.size()) {
    const ReadStep& step = script_[nextStep_++];
    count = std::min<size_t>(count, step.bytes);
    status = step.status;
  }
  if (count > 0) std::memcpy(pv, data_.data() + position_, count);
  position_ += count;
  if (pcbRead) *pcbRead = static_cast<ULONG>(count);
  return Done(call, status);
}

HRESULT ScriptedStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  std::string bytes = pv ? std::string(static_cast<const char*>(pv), cb) : std::string();
  CallScope call = Begin("Write", {CallArg::Num("cb", cb), CallArg::Text("bytes", bytes),
                                   CallArg::Ptr("pcbWritten", pcbWritten)});
  if (pcbWritten) *pcbWritten = 0;
  if (call.dead) return Done(call, E_UNEXPECTED);
  if (call.fault) return Done(call, *call.fault);
  if (!writable_) return Done(call, STG_E_ACCESSDENIED);
  if (!pv && cb > 0) return Done(call, STG_E_INVALIDPOINTER);
  if (position_ > data_.size()) data_.resize(position_, '\0');
  data_.replace(position_, std::min<size_t>(cb, data_.size() - position_), bytes);
  position_ += cb;
  if (pcbWritten) *pcbWritten = cb;
  return Done(call, S_OK);
}

HRESULT ScriptedStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  CallScope call = Begin(
      "Seek",
      {CallArg::Num("move", static_cast<uint64_t>(move.QuadPart)), CallArg::Num("origin", origin)},
      false);
  if (call.dead) return Done(call, E_UNEXPECTED);
  LONGLONG base = 0;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<LONGLONG>(position_);
      break;
    case STREAM_SEEK_END:
      base = static_cast<LONGLONG>(data_.size());
      break;
    default:
      return Done(call, STG_E_INVALIDFUNCTION);
  }
  LONGLONG target = base + move.QuadPart;
  if (target < 0) return Done(call, STG_E_INVALIDFUNCTION);
  position_ = static_cast<size_t>(target);
  if (newPosition) newPosition->QuadPart = position_;
  return Done(call, S_OK);
}

HRESULT ScriptedStream::SetSize(ULARGE_INTEGER newSize) {
  CallScope call = Begin("SetSize", {CallArg::Num("size", newSize.QuadPart)}, false);
  if (call.dead) return Done(call, E_UNEXPECTED);
  if (!writable_) return Done(call, STG_E_ACCESSDENIED);
  if (newSize.QuadPart > (1u << 30)) return Done(call, STG_E_MEDIUMFULL);
  data_.resize(static_cast<size_t>(newSize.QuadPart), '\0');
  return Done(call, S_OK);
}

HRESULT ScriptedStream::Stat(STATSTG* stat, DWORD flags) {
  CallScope call = Begin("Stat", {CallArg::Num("flags", flags)}, false);
  if (call.dead) return Done(call, E_UNEXPECTED);
  if (!stat) return Done(call, STG_E_INVALIDPOINTER);
  stat->cbSize.QuadPart = data_.size();
  return Done(call, S_OK);
}

}  // namespace vorn_fakes
