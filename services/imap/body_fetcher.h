// Fetches whole messages for a sync on a thread of its own, a few runs ahead
// of the caller: the server reads and sends the next run while the caller
// parses the last. While a fetcher lives, only it uses the client.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "services/imap/imap_client.h"

namespace vorn_imap {

class BodyFetcher {
 public:
  // Starts fetching `uids` (of the selected mailbox) in runs of `perRun`;
  // with no UIDs, the messages at sequence numbers 1 to `count`.
  BodyFetcher(ImapClient* client, std::vector<uint32_t> uids, size_t perRun, uint32_t count = 0);
  // Stops after the run under way and waits for it.
  ~BodyFetcher();
  BodyFetcher(const BodyFetcher&) = delete;
  BodyFetcher& operator=(const BodyFetcher&) = delete;

  // S_OK with the next run (any order of UIDs); S_FALSE when all came; the
  // client's failure otherwise, with its reason set on the calling thread.
  HRESULT Next(std::vector<FetchedMessage>* run);

 private:
  void Run();

  ImapClient* const client_;
  const std::vector<uint32_t> uids_;
  const size_t perRun_;
  const uint32_t count_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<FetchedMessage>> ready_;
  HRESULT failure_ = S_OK;
  std::string reason_;
  bool finished_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vorn_imap
