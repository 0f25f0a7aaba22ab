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
// and for a control shown on the page:
//
//   draw     {"object": N, "width": W, "height": H, "format": "png"|"rgba"}
//            -> the control drawn (IViewObject::Draw) into W x H pixels, as
//               image/png or as W*H*4 bytes of RGBA rows, top row first
//               (application/octet-stream); the control's extent becomes
//               W x H pixels first. W and H are 1 to kMaxDrawSide.
//   mouse    {"object": N, "action": "down"|"up"|"dblclick"|"move",
//             "button": 1|2|4, "buttons": mask, "shift": mask, "x": X, "y": Y}
//            -> {"handled": bool}: one mouse message to the control's window
//               entry (IVornControlWindow). Button and mask bits are the stock
//               events' (left 1, right 2, middle 4; shift 1, ctrl 2, alt 4);
//               "buttons" are those held, "button" the one that changed
//               (not for "move"). X and Y are pixels from the control's
//               top-left corner, -32768 to 32767.
//   verb     {"object": N, "verb": V}           -> {} once the verb is done
//               (IOleObject::DoVerb; Properties shows the property page as a
//               dialog of the list below and returns when it is closed)
//   listen   {"object": N}                      -> {"events": [{"name", "dispid",
//               "params": [names]}], "after": S}: from now on the object's
//               events are kept, numbered from S + 1 on, for "events"
//   events   {"object": N, "after": S, "wait": ms}
//            -> {"events": [{"seq", "name", "args": [...]}], "after": S2,
//                "lost": n}: the events numbered above S, waiting up to
//               `wait` ms (at most kMaxEventWait) for the first; S2 is the
//               number to ask after next time; "lost" counts those that were
//               dropped because the log was full (the oldest go first).
//               Kept until the object is released.
//
// Values are JSON values: null, booleans, numbers (whole numbers that fit 32
// bits go as long, others as double), strings, and {"object": N} for an
// automation object; an object a member returns is entered into the table
// and comes back as {"object": N}. "kind" may be left out: the member is then
// the method, or else the property getter, of that name. A batch runs whole
// and in order; it stops at the first call that fails and answers with that
// call's error, its "index" and the results before it.
//
// A dialog in the list is {"dialog", "object", "caption", "captionHeight",
// "child", "width", "height", "face", "font": {"face", "size"}, "items":
// [...], "text"}, sizes in pixels, the caption bar included. An item is
// {"kind": "text"|"button"|"icon", "id", "x", "y", "width", "height",
// "text"} with "align" for a text, "default" for a button and for an icon
// "image": {"width", "height", "rgba": base64 of its RGBA pixels on the
// dialog's face colour "face"}. A "child" dialog (a property page) has no
// caption and no buttons of its own: the page frames it.
//
// Failures answer 4xx with {"error": text, "member": name, "code": "0x..."}
// (member and code when known): 400 for a malformed request or wrong
// arguments, 404 for an unknown object, member, class or dialog, 422 for a
// member that failed, 429 when the object table is full.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
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
  ApiReply() = default;
  ApiReply(int status, nlohmann::json body) : status(status), body(std::move(body)) {}

  int status = 200;
  nlohmann::json body = nlohmann::json::object();
  // When not empty, the reply is `data` as it is, of this type, not `body`.
  std::string contentType;
  std::string data;
};

constexpr int kMaxDrawSide = 4096;
constexpr int kMaxEventWait = 30000;  // ms

// The events of the objects a page listens to. Events come in on the
// automation thread; pages wait for them on threads of their own, so the
// log is locked.
class EventLog {
 public:
  using Clock = std::chrono::steady_clock;
  EventLog() = default;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Starts keeping the events of `object` (nothing when it already is) and
  // returns the number its next event will carry.
  uint64_t Open(int64_t object);
  // Keeps one event; nothing for an object that is not open.
  void Add(int64_t object, const std::string& name, nlohmann::json args);
  // Forgets the object's events and wakes its waiters.
  void Close(int64_t object);
  // Closes every object and refuses from now on to wait.
  void Stop();
  // The later of `since` and the last time someone asked for the object's
  // events (`since` for an object that is not open).
  Clock::time_point LastAsked(int64_t object, Clock::time_point since);
  // The "events" operation, on any thread.
  ApiReply Wait(const nlohmann::json& request);

 private:
  struct Event {
    uint64_t seq;
    std::string name;
    nlohmann::json args;
  };
  struct Log {
    std::deque<Event> events;
    uint64_t next = 1;
    uint64_t lost = 0;  // dropped from the front so far
    Clock::time_point asked{};
  };
  static constexpr size_t kMaxKept = 1024;
  static constexpr int kMaxWaiters = 4;  // each holds a server thread

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int64_t, Log> logs_;
  int waiters_ = 0;
  bool stopped_ = false;
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

  // The "events" operation, which waits: called on a server thread, never
  // on the automation thread.
  ApiReply WaitForEvents(const nlohmann::json& request) { return events_.Wait(request); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    ComPtr<IDispatch> dispatch;
    ComPtr<IUnknown> identity;
    std::vector<vorn_rt::AutomationMember> members;
    std::map<std::string, DISPID> ids;  // by lower-case name, as GetIDsOfNames gave them
    Clock::time_point lastUsed;
    int busy = 0;  // calls running on it
    // Its events, once a page listens; disconnected before the object goes.
    std::unique_ptr<vorn_rt::EventConnection> events;
    nlohmann::json eventList;
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
  ApiReply Draw(const nlohmann::json& request);
  ApiReply Mouse(const nlohmann::json& request);
  ApiReply Verb(const nlohmann::json& request);
  ApiReply Listen(const nlohmann::json& request);
  // Takes the object out of the table; the caller drops the entry after.
  Entry Remove(std::map<int64_t, Entry>::iterator found);
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
  EventLog events_;
  bool shutDown_ = false;
};

}  // namespace vornweb
