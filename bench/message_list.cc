// Lists a folder of N messages in the fake store with CMailStore::SetFolder,
// then reads every subject by index, for N = 10,000 and 100,000, and prints
// messages per second for each. Lookups by index take constant time, so the
// rate stays about the same as N grows tenfold.
//
// The fake store finds each message by a linear search, so its own share of
// SetFolder grows with the square of N. A wrapper around the folder times the
// calls into the fake, and the rate is given both for the whole and for the
// mail store's own work (the whole less the time spent inside the fake).
//
//   bench_message_list [N ...]

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "store/mailstore.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_mime.h"
#include "tests/fakes/fake_store.h"
#include "tests/fakes/forwarding.h"
#include "tests/support/temp_root.h"

namespace {

// Processor time of this thread, so that other work on a shared machine does
// not count.
struct Clock {
  using time_point = double;
  static time_point now() { return vorn_bench::ThreadCpuSeconds(); }
};

double Seconds(Clock::time_point from, Clock::time_point to) { return to - from; }

// Adds the time spent in the enumeration calls of the folder it wraps to
// *inStore.
class TimedFolder : public vorn_fakes::ForwardingStoreFolder {
 public:
  TimedFolder(ComPtr<IStoreFolder> inner, double* inStore)
      : ForwardingStoreFolder(std::move(inner)), inStore_(inStore) {}

  HRESULT GetFirstMessage(DWORD flags, DWORD msgFlags, MESSAGEID firstId, LPMESSAGEPROPS props,
                          LPHENUMSTORE enumeration) override {
    const Clock::time_point start = Clock::now();
    const HRESULT hr = inner()->GetFirstMessage(flags, msgFlags, firstId, props, enumeration);
    *inStore_ += Seconds(start, Clock::now());
    return hr;
  }
  HRESULT GetNextMessage(HENUMSTORE enumeration, DWORD flags, LPMESSAGEPROPS props) override {
    const Clock::time_point start = Clock::now();
    const HRESULT hr = inner()->GetNextMessage(enumeration, flags, props);
    *inStore_ += Seconds(start, Clock::now());
    return hr;
  }
  HRESULT FreeMessageProps(LPMESSAGEPROPS props) override {
    const Clock::time_point start = Clock::now();
    const HRESULT hr = inner()->FreeMessageProps(props);
    *inStore_ += Seconds(start, Clock::now());
    return hr;
  }
  HRESULT GetMessageClose(HENUMSTORE enumeration) override {
    const Clock::time_point start = Clock::now();
    const HRESULT hr = inner()->GetMessageClose(enumeration);
    *inStore_ += Seconds(start, Clock::now());
    return hr;
  }

 private:
  double* inStore_;
};

// Returns false when the run did not list every message.
bool Run(int count) {
  vorn_fakes::FakeEnv env;
  vorn_fakes::FakeMimeModel mime(env);
  vorn_fakes::FakeStore store(env, &mime);
  const STOREFOLDERID inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
  for (int i = 0; i < count; ++i) {
    vorn_fakes::FakeMessage& message = store.AddMessage(inbox);
    message.subject = "Subject of message " + std::to_string(i);
    message.displayFrom = "Sender " + std::to_string(i % 97);
    message.displayTo = "Recipient";
    message.normalSubject = message.subject;
  }
  double inStore = 0;
  store.wrapFolder = [&inStore](ComPtr<IStoreFolder> inner) {
    return vorn_fakes::MakeForwarding<TimedFolder>(std::move(inner), &inStore);
  };
  vorn_fakes::ClassRegistration storeClass = store.Register();
  vorn_fakes::ClassRegistration allocatorClass = mime.RegisterAllocator();
  CMailStore mail;
  if (!mail.OpenSession()) {
    std::fprintf(stderr, "the session did not open\n");
    return false;
  }

  const Clock::time_point start = Clock::now();
  const int32_t listed = mail.SetFolder(static_cast<int32_t>(inbox));
  const Clock::time_point loaded = Clock::now();
  size_t bytes = 0;
  const int32_t n = mail.GetMessageCount();
  for (int32_t i = 0; i < n; ++i) bytes += mail.GetMessageSubject(i).size();
  const Clock::time_point read = Clock::now();

  if (listed != 1 || n != count || bytes == 0) {
    std::fprintf(stderr, "listed %d of %d messages\n", n, count);
    return false;
  }
  const double total = Seconds(start, read);
  const double own = total - inStore;
  std::printf(
      "%7d messages: SetFolder %.3f s (%.3f s inside the fake store), subjects by index "
      "%.4f s (processor time); %.0f messages/s overall, %.0f messages/s for the mail "
      "store's own work\n",
      count, Seconds(start, loaded), inStore, Seconds(loaded, read), count / total,
      own > 0 ? count / own : 0.0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The store's registration and the runtime work inside a root of their own.
  vorn_test::TempRoot root;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {10000, 100000};
  for (int count : counts) {
    if (count <= 0 || !Run(count)) return 1;
  }
  return 0;
}
