// The web host's automation API: the objects pages create, calls and batches
// of calls on them in JSON, and the dialogs their members open.
//
// Everything here runs on the automation thread (see automation_thread.h);
// nothing is locked. A request is an operation name and a JSON body:
//
//   create   {"name": ProgID or "{CLSID}"}      -> {"object": N, "members": [...]}
//   members  {"object": N}                      -> {"members": [...]}
//   call     {"object": N, "member": "Name", "kind": "method"|"get"|"put",
//             "args": [...]}                    -> {"result": value}
//   batch    {"calls": [call, ...]}             -> {"results": [value, ...]}
//   release  {"object": N}                      -> {}
//   dialogs  {}                                 -> {"dialogs": [...]}
//   close    {"dialog": N, "result": button id} -> {}
//
// Values are JSON values: null, booleans, numbers (whole numbers that fit 32
// bits go as long, others as double), strings, and {"object": N} for an
// automation object; an object a member returns is entered into the table
// and comes back as {"object": N}. "kind" may be left out: the member is then
// the method, or else the property getter, of that name. A batch runs whole
// and in order; it stops at the first call that fails and answers with that
// call's error, its "index" and the results before it.
//
// Failures answer 4xx with {"error": text, "member": name, "code": "0x..."}
// (member and code when known): 400 for a malformed request or wrong
// arguments, 404 for an unknown object, member, class or dialog, 422 for a
// member that failed, 429 when the object table is full.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/dialog.h"
#include "runtime/automation_client.h"

namespace vornweb {

class AutomationThread;

struct ApiOptions {
  // An object that no request has named for this long is released.
  std::chrono::milliseconds idleLimit = std::chrono::minutes(10);
  // An open dialog is cancelled when no one has asked for the dialog list
  // for this long (the page that shows it has gone).
  std::chrono::milliseconds dialogTimeout = std::chrono::seconds(30);
  size_t maxObjects = 4096;
  size_t maxBatch = 20000;
};

struct ApiReply {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();
};

class Api {
 public:
  // `thread` is the thread the Api runs on; it must outlive the Api.
  Api(const ApiOptions& options, AutomationThread* thread);
  ~Api() = default;  // Shutdown must have run on the thread before
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // Runs one request. `operation` is one of the names above; an unknown one
  // answers 404.
  ApiReply Handle(const std::string& operation, const nlohmann::json& request);

  // Releases the objects whose time is up and cancels the dialogs whose page
  // has gone.
  void Tick();

  // Cancels every dialog and releases every object.
  void Shutdown();

  // The dialog runner: shows dialog `templateName` to the pages and waits,
  // serving the thread's queue, until a page closes it, its object is
  // released, its page goes away or the server stops (IDCANCEL then).
  INT_PTR RunDialog(HINSTANCE instance, LPCSTR templateName);

  size_t ObjectCount() const { return objects_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    ComPtr<IDispatch> dispatch;
    ComPtr<IUnknown> identity;
    std::vector<vorn_rt::AutomationMember> members;
    std::map<std::string, DISPID> ids;  // by lower-case name, as GetIDsOfNames gave them
    Clock::time_point lastUsed;
    int busy = 0;  // calls running on it
  };
  struct Dialog {
    int64_t owner;  // the object whose call opened it, 0 when none
    nlohmann::json description;
    Clock::time_point opened;
    bool closed = false;
    INT_PTR result = IDCANCEL;
  };

  ApiReply Create(const nlohmann::json& request);
  ApiReply Members(const nlohmann::json& request);
  ApiReply Release(const nlohmann::json& request);
  ApiReply Batch(const nlohmann::json& request);
  ApiReply Dialogs();
  ApiReply CloseDialog(const nlohmann::json& request);
  // One call; throws Failure.
  nlohmann::json Call(const nlohmann::json& call);

  int64_t Enter(IDispatch* dispatch);
  Entry& Find(const nlohmann::json& request, const char* key);
  void ToVariant(const nlohmann::json& value, VARIANT* out);
  nlohmann::json FromVariant(const VARIANT& value, int depth = 0);
  nlohmann::json MemberList(const Entry& entry) const;

  const ApiOptions options_;
  AutomationThread* const thread_;
  std::map<int64_t, Entry> objects_;
  std::map<IUnknown*, int64_t> byIdentity_;
  int64_t nextObject_ = 1;
  std::map<int64_t, Dialog> dialogs_;
  int64_t nextDialog_ = 1;
  Clock::time_point lastDialogPoll_;
  std::vector<int64_t> calling_;  // objects whose calls are running, innermost last
  bool shutDown_ = false;
};

}  // namespace vornweb
