#include "tests/fakes/fault_injector.h"

#include <algorithm>
#include <stdexcept>

namespace vorn_fakes {

const std::vector<std::string_view>& FaultInjector::KnownMethods() {
  static const std::vector<std::string_view> methods = {
      // Class factories (CoCreateInstance of a registered fake).
      "CreateInstance",
      // IStoreNamespace.
      "Initialize", "OpenFolder", "CreateFolder", "RenameFolder", "DeleteFolder",
      "CopyMoveMessages", "GetFirstSubFolder", "GetNextSubFolder",
      // IStoreFolder.
      "GetMessageProps", "DeleteMessages", "MarkMessagesAsRead", "OpenMessage", "GetFirstMessage",
      "GetNextMessage", "CreateStream", "CommitStream",
      // IStream (raw text, new message, body data).
      "Read", "Write",
      // IMimeMessage, IMimeBody, IMimePropertySet, IMimeAllocator.
      "GetBody", "BindToObject", "GetBodyProp", "GetAttachments", "IsBodyType", "GetDisplayName",
      "GetData", "GetProp", "Alloc",
      // Address book.
      "WABOpen", "GetPAB", "OpenEntry", "GetContentsTable", "GetRowCount", "QueryRows",
      "AllocateBuffer", "AllocateMore"};
  return methods;
}

bool FaultInjector::IsKnownMethod(std::string_view method) {
  const auto& known = KnownMethods();
  return std::find(known.begin(), known.end(), method) != known.end();
}

void FaultInjector::FailCall(std::string_view method, int n, HRESULT status, FaultMode mode) {
  if (method != kAnyMethod && !IsKnownMethod(method)) {
    throw std::invalid_argument("no fake can fail method '" + std::string(method) + "'");
  }
  if (n < 1) throw std::invalid_argument("fault call numbers start at 1");
  rules_.push_back(Rule{std::string(method), n, status, mode});
}

void FaultInjector::Disarm() { rules_.clear(); }

void FaultInjector::Reset() {
  rules_.clear();
  listener_ = nullptr;
  calls_.clear();
  totalCalls_ = 0;
  fired_.clear();
}

std::optional<HRESULT> FaultInjector::OnCall(std::string_view method) {
  ++totalCalls_;
  auto it = std::find_if(calls_.begin(), calls_.end(),
                         [&](const auto& entry) { return entry.first == method; });
  if (it == calls_.end()) {
    calls_.emplace_back(std::string(method), 1);
  } else {
    ++it->second;
  }

  std::optional<HRESULT> result;
  for (Rule& rule : rules_) {
    if (rule.method != kAnyMethod && rule.method != method) continue;
    ++rule.seen;
    if (result || rule.spent) continue;
    bool fires = rule.mode == FaultMode::kOnce ? rule.seen == rule.n : rule.seen >= rule.n;
    if (!fires) continue;
    if (rule.mode == FaultMode::kOnce) rule.spent = true;
    fired_.push_back(FiredFault{std::string(method), rule.seen, rule.status});
    if (listener_) listener_(fired_.back());
    result = rule.status;
  }
  return result;
}

int FaultInjector::Calls(std::string_view method) const {
  if (method == kAnyMethod) return totalCalls_;
  for (const auto& [name, count] : calls_) {
    if (name == method) return count;
  }
  return 0;
}

bool FaultInjector::Armed() const {
  return std::any_of(rules_.begin(), rules_.end(), [](const Rule& r) { return !r.spent; });
}

}  // namespace vorn_fakes
