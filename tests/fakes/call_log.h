// CallLog: what the fakes were called with, and the reference count of every
// object they handed out.
//
// Calls: every method of every fake appends one Call before it does anything
// else, with its arguments exactly as passed (identifiers, cbSize members as
// found, flag words, names, buffer sizes, interface identifiers), and records
// its result when it returns. AddRef and Release appear in the same sequence
// (method "AddRef"/"Release", argument "refs" = the count after the call), so
// a test can check the order of releases against other calls.
//
// Objects: each fake object is registered under a name "<Kind>#<serial>"
// (for example "StoreFolder#3"). The log follows its count; an object whose
// count drops to 0 is "released" and listed in ReleaseOrder(). Misuse the
// fakes cannot refuse through a status (a Release past 0, a call on an object
// already released, a double free) is recorded in Errors(); a test ends with
// EXPECT_THAT(log.Errors(), IsEmpty()).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace vorn_fakes {

struct CallArg {
  enum class Kind { kNumber, kString, kNull, kText };
  std::string name;
  Kind kind = Kind::kNumber;
  uint64_t number = 0;  // kNumber
  std::string text;     // kString: the string passed; kText: a description

  // An integer argument (identifiers, sizes, flags), kept as passed.
  static CallArg Num(std::string name, uint64_t value);
  // A string argument; a null pointer is recorded as kNull.
  static CallArg Str(std::string name, const char* value);
  // A pointer argument recorded as "null" or as `description`.
  static CallArg Ptr(std::string name, const void* value, std::string description = "set");
  // A GUID (null pointer recorded as kNull), as "{XXXXXXXX-...}".
  static CallArg Guid(std::string name, const GUID* value);
  // Free text (for example the name of the fake object passed).
  static CallArg Text(std::string name, std::string value);
};

std::string GuidText(const GUID& guid);

struct Call {
  size_t seq = 0;      // position in the log
  std::string object;  // "<Kind>#<serial>", or "" for a free function (WABOpen)
  std::string method;
  std::vector<CallArg> args;
  bool returned = false;
  HRESULT result = S_OK;

  bool Has(std::string_view name) const;
  // The argument's value; throw std::out_of_range when the call has no such
  // argument or it is of another kind.
  uint64_t Num(std::string_view name) const;
  // The string (kString or kText); throws for a null one.
  const std::string& Str(std::string_view name) const;
  bool IsNull(std::string_view name) const;
  // "StoreFolder#2.GetMessageProps(messageId=5, flags=1, cbSize=68) -> 0x0"
  std::string ToString() const;
};

class CallLog {
 public:
  CallLog() = default;
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;

  // --- for fakes -----------------------------------------------------------
  // Appends a call and returns its index for SetResult.
  size_t Record(std::string object, std::string method, std::vector<CallArg> args);
  void SetResult(size_t index, HRESULT result);
  // Registers a new object of `kind` and returns its name.
  std::string RegisterObject(std::string_view kind);
  void NoteAddRef(const std::string& object, ULONG refs);
  void NoteRelease(const std::string& object, ULONG refs);
  void NoteError(std::string text);

  // --- for tests -----------------------------------------------------------
  const std::vector<Call>& Calls() const { return calls_; }
  // Calls of `method` in order (AddRef and Release included when asked).
  std::vector<Call> Calls(std::string_view method) const;
  int Count(std::string_view method) const;
  // The last call of `method`; throws std::out_of_range when there is none.
  const Call& Last(std::string_view method) const;
  // "Object.Method" for every call in order; AddRef/Release only when asked.
  std::vector<std::string> Sequence(bool withRefCounting = false) const;
  // Methods only, in order, without AddRef/Release.
  std::vector<std::string> Methods() const;
  // Forgets the calls (objects, counts and errors stay).
  void ClearCalls() { calls_.clear(); }
  // With recording off, calls are no longer kept (reference counts, release
  // order and errors still are), for benchmarks that make millions of calls.
  void SetRecording(bool on) { recording_ = on; }

  // Objects whose count is above 0, in registration order, optionally only
  // those of one kind.
  std::vector<std::string> LiveObjects(std::string_view kind = {}) const;
  // Objects whose count dropped to 0, in the order it happened.
  const std::vector<std::string>& ReleaseOrder() const { return released_; }
  // Objects registered so far, optionally only those of one kind.
  std::vector<std::string> Objects(std::string_view kind = {}) const;
  // The current count of `object`; -1 for an unknown name.
  long RefCount(std::string_view object) const;

  const std::vector<std::string>& Errors() const { return errors_; }
  void ClearErrors() { errors_.clear(); }

 private:
  struct ObjectEntry {
    std::string name;
    std::string kind;
    ULONG refs = 0;
  };
  ObjectEntry* FindObject(std::string_view name);
  const ObjectEntry* FindObject(std::string_view name) const;

  std::vector<Call> calls_;
  size_t nextSeq_ = 0;
  bool recording_ = true;
  std::vector<ObjectEntry> objects_;
  std::vector<std::string> released_;
  std::vector<std::string> errors_;
};

}  // namespace vorn_fakes
