// A guard between libetpan and the connection's transport: it watches the
// server's bytes as they arrive, before libetpan parses them (and allocates
// for them), and cuts the stream when the server
//   - announces a literal larger than the limit (a message too large for the
//     store, or a hostile length such as {5000000000}),
//   - sends a line longer than the limit outside literals,
//   - sends more than the limit in answer to one command,
//   - or keeps silent longer than the account's time limit (the transport
//     itself stops waiting; the guard names the cause).
// A cut stream fails every later read; libetpan reports a stream error, and
// the guard's problem() says why in words for the failure reason.
#pragma once

#include <cstdint>
#include <string>

typedef struct _mailstream mailstream;

namespace vorn_imap {

struct StreamLimits {
  uint64_t maxLiteral = 0;   // bytes one literal may hold
  uint64_t maxLine = 0;      // bytes of one line outside literals
  uint64_t maxAnswer = 0;    // bytes read between two writes
  unsigned timeoutSeconds = 30;
};

class StreamGuard {
 public:
  // Puts a guard between `stream` and its transport, and sets the
  // transport's wait to limits.timeoutSeconds. The stream owns the guard:
  // the pointer returned is valid until the stream is freed. `server` names
  // the peer in problem(). Null when out of memory (the stream is unchanged).
  static StreamGuard* Install(mailstream* stream, const StreamLimits& limits,
                              const std::string& server);

  // Why the guard cut the stream, or "" while it has not.
  const std::string& problem() const { return problem_; }
  // True once the transport reported the connection closed or broken.
  bool peer_closed() const { return peerClosed_; }
  // True when the problem is the server's silence.
  bool timed_out() const { return timedOut_; }
  // True when the transport reports the peer gone, or has bytes waiting
  // while no command is outstanding (a BYE, or anything else unasked for).
  bool PeerClosedOrSpoke() const;

  StreamGuard(const StreamGuard&) = delete;
  StreamGuard& operator=(const StreamGuard&) = delete;

 private:
  friend struct GuardDriver;
  StreamGuard(const StreamLimits& limits, std::string server, void* inner)
      : limits_(limits), server_(std::move(server)), inner_(inner) {}
  // Scans bytes just read; false (with problem_ set) when a limit is passed.
  bool Scan(const char* bytes, size_t size);
  void Cut(const std::string& problem);

  enum class State { kText, kBrace, kBraceEnd, kBraceCr, kLiteral };

  const StreamLimits limits_;
  const std::string server_;
  void* inner_;  // the transport's mailstream_low, owned by the guard
  State state_ = State::kText;
  uint64_t number_ = 0;       // the literal length being read, or what is left of it
  uint64_t line_ = 0;         // bytes of the current line outside literals
  uint64_t answer_ = 0;       // bytes since the last write
  std::string problem_;
  bool timedOut_ = false;
  bool peerClosed_ = false;
};

}  // namespace vorn_imap
