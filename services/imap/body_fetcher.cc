#include "services/imap/body_fetcher.h"

#include <algorithm>

#include "platform/failure_reason.h"

namespace vorn_imap {
namespace {

// Runs fetched and not yet taken, at the most.
constexpr size_t kRunsAhead = 8;

}  // namespace

BodyFetcher::BodyFetcher(ImapClient* client, std::vector<uint32_t> uids, size_t perRun,
                         uint32_t count)
    : client_(client),
      uids_(std::move(uids)),
      perRun_(std::max<size_t>(perRun, 1)),
      count_(uids_.empty() ? count : 0) {
  thread_ = std::thread([this] { Run(); });
}

BodyFetcher::~BodyFetcher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BodyFetcher::Run() {
  const size_t total = count_ ? count_ : uids_.size();
  for (size_t at = 0; at < total; at += perRun_) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || ready_.size() < kRunsAhead; });
      if (stopping_) break;
    }
    const size_t end = std::min(total, at + perRun_);
    std::vector<FetchedMessage> bodies;
    HRESULT hr;
    if (count_) {
      hr = client_->FetchSequence(static_cast<uint32_t>(at + 1), static_cast<uint32_t>(end),
                                  &bodies);
    } else {
      hr = client_->Fetch(std::vector<uint32_t>(uids_.begin() + at, uids_.begin() + end), true, 0,
                          &bodies);
    }
    std::lock_guard lock(mutex_);
    if (FAILED(hr)) {
      // The reason belongs to this thread: it goes to the caller's.
      char text[VORN_MAX_FAILURE_REASON] = {};
      VornGetFailureReason(text, sizeof text);
      failure_ = hr;
      reason_ = text;
      break;
    }
    ready_.push_back(std::move(bodies));
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

HRESULT BodyFetcher::Next(std::vector<FetchedMessage>* run) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || finished_; });
  if (!ready_.empty()) {
    *run = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
    return S_OK;
  }
  if (FAILED(failure_)) {
    if (!reason_.empty()) VornSetFailureReason(reason_.c_str());
    return failure_;
  }
  return S_FALSE;
}

}  // namespace vorn_imap
