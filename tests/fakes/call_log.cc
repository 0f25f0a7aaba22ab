#include "tests/fakes/call_log.h"

#include <cstdio>
#include <stdexcept>

namespace vorn_fakes {

CallArg CallArg::Num(std::string name, uint64_t value) {
  CallArg arg;
  arg.name = std::move(name);
  arg.kind = Kind::kNumber;
  arg.number = value;
  return arg;
}

CallArg CallArg::Str(std::string name, const char* value) {
  CallArg arg;
  arg.name = std::move(name);
  if (value) {
    arg.kind = Kind::kString;
    arg.text = value;
  } else {
    arg.kind = Kind::kNull;
  }
  return arg;
}

CallArg CallArg::Ptr(std::string name, const void* value, std::string description) {
  CallArg arg;
  arg.name = std::move(name);
  if (value) {
    arg.kind = Kind::kText;
    arg.text = std::move(description);
  } else {
    arg.kind = Kind::kNull;
  }
  return arg;
}

CallArg CallArg::Guid(std::string name, const GUID* value) {
  CallArg arg;
  arg.name = std::move(name);
  if (value) {
    arg.kind = Kind::kText;
    arg.text = GuidText(*value);
  } else {
    arg.kind = Kind::kNull;
  }
  return arg;
}

CallArg CallArg::Text(std::string name, std::string value) {
  CallArg arg;
  arg.name = std::move(name);
  arg.kind = Kind::kText;
  arg.text = std::move(value);
  return arg;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

namespace {

const CallArg& FindArg(const Call& call, std::string_view name) {
  for (const CallArg& arg : call.args) {
    if (arg.name == name) return arg;
  }
  throw std::out_of_range(call.method + " has no argument '" + std::string(name) + "'");
}

}  // namespace

bool Call::Has(std::string_view name) const {
  for (const CallArg& arg : args) {
    if (arg.name == name) return true;
  }
  return false;
}

uint64_t Call::Num(std::string_view name) const {
  const CallArg& arg = FindArg(*this, name);
  if (arg.kind != CallArg::Kind::kNumber) {
    throw std::out_of_range(method + " argument '" + std::string(name) + "' is not a number");
  }
  return arg.number;
}

const std::string& Call::Str(std::string_view name) const {
  const CallArg& arg = FindArg(*this, name);
  if (arg.kind != CallArg::Kind::kString && arg.kind != CallArg::Kind::kText) {
    throw std::out_of_range(method + " argument '" + std::string(name) + "' is not a string");
  }
  return arg.text;
}

bool Call::IsNull(std::string_view name) const {
  return FindArg(*this, name).kind == CallArg::Kind::kNull;
}

std::string Call::ToString() const {
  std::string text = object.empty() ? method : object + "." + method;
  text += "(";
  for (size_t i = 0; i < args.size(); ++i) {
    const CallArg& arg = args[i];
    if (i) text += ", ";
    text += arg.name + "=";
    switch (arg.kind) {
      case CallArg::Kind::kNumber:
        text += std::to_string(arg.number);
        break;
      case CallArg::Kind::kString:
        text += "\"" + arg.text + "\"";
        break;
      case CallArg::Kind::kNull:
        text += "null";
        break;
      case CallArg::Kind::kText:
        text += arg.text;
        break;
    }
  }
  text += ")";
  if (returned) {
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(result));
    text += std::string(" -> ") + status;
  }
  return text;
}

size_t CallLog::Record(std::string object, std::string method, std::vector<CallArg> args) {
  if (!recording_) return static_cast<size_t>(-1);
  Call call;
  call.seq = nextSeq_++;
  call.object = std::move(object);
  call.method = std::move(method);
  call.args = std::move(args);
  calls_.push_back(std::move(call));
  return calls_.size() - 1;
}

void CallLog::SetResult(size_t index, HRESULT result) {
  if (index < calls_.size()) {
    calls_[index].returned = true;
    calls_[index].result = result;
  }
}

std::string CallLog::RegisterObject(std::string_view kind) {
  std::string name = std::string(kind) + "#" + std::to_string(objects_.size() + 1);
  objects_.push_back(ObjectEntry{name, std::string(kind), 0});
  return name;
}

CallLog::ObjectEntry* CallLog::FindObject(std::string_view name) {
  for (ObjectEntry& entry : objects_) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

const CallLog::ObjectEntry* CallLog::FindObject(std::string_view name) const {
  for (const ObjectEntry& entry : objects_) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

void CallLog::NoteAddRef(const std::string& object, ULONG refs) {
  Record(object, "AddRef", {CallArg::Num("refs", refs)});
  if (ObjectEntry* entry = FindObject(object)) entry->refs = refs;
}

void CallLog::NoteRelease(const std::string& object, ULONG refs) {
  Record(object, "Release", {CallArg::Num("refs", refs)});
  if (ObjectEntry* entry = FindObject(object)) {
    entry->refs = refs;
    if (refs == 0) released_.push_back(object);
  }
}

void CallLog::NoteError(std::string text) { errors_.push_back(std::move(text)); }

std::vector<Call> CallLog::Calls(std::string_view method) const {
  std::vector<Call> result;
  for (const Call& call : calls_) {
    if (call.method == method) result.push_back(call);
  }
  return result;
}

int CallLog::Count(std::string_view method) const {
  int count = 0;
  for (const Call& call : calls_) {
    if (call.method == method) ++count;
  }
  return count;
}

const Call& CallLog::Last(std::string_view method) const {
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    if (it->method == method) return *it;
  }
  throw std::out_of_range("no call of " + std::string(method) + " was logged");
}

std::vector<std::string> CallLog::Sequence(bool withRefCounting) const {
  std::vector<std::string> result;
  for (const Call& call : calls_) {
    if (!withRefCounting && (call.method == "AddRef" || call.method == "Release")) continue;
    result.push_back(call.object.empty() ? call.method : call.object + "." + call.method);
  }
  return result;
}

std::vector<std::string> CallLog::Methods() const {
  std::vector<std::string> result;
  for (const Call& call : calls_) {
    if (call.method == "AddRef" || call.method == "Release") continue;
    result.push_back(call.method);
  }
  return result;
}

std::vector<std::string> CallLog::LiveObjects(std::string_view kind) const {
  std::vector<std::string> result;
  for (const ObjectEntry& entry : objects_) {
    if (entry.refs > 0 && (kind.empty() || entry.kind == kind)) result.push_back(entry.name);
  }
  return result;
}

std::vector<std::string> CallLog::Objects(std::string_view kind) const {
  std::vector<std::string> result;
  for (const ObjectEntry& entry : objects_) {
    if (kind.empty() || entry.kind == kind) result.push_back(entry.name);
  }
  return result;
}

long CallLog::RefCount(std::string_view object) const {
  const ObjectEntry* entry = FindObject(object);
  return entry ? static_cast<long>(entry->refs) : -1;
}

}  // namespace vorn_fakes
