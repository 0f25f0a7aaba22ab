#include "services/imap/stream_guard.h"

#include <libetpan/libetpan.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <new>

namespace vorn_imap {

struct GuardDriver {
  static StreamGuard* Of(mailstream_low* low) { return static_cast<StreamGuard*>(low->data); }
  static mailstream_low* Inner(mailstream_low* low) {
    return static_cast<mailstream_low*>(Of(low)->inner_);
  }

  static ssize_t Read(mailstream_low* low, void* buffer, size_t size) {
    StreamGuard* guard = Of(low);
    if (!guard->problem_.empty()) return -1;
    auto start = std::chrono::steady_clock::now();
    ssize_t got = mailstream_low_read(Inner(low), buffer, size);
    if (got == 0) {
      // The end of the stream is an error wherever libetpan reads: told
      // "nothing yet", its literal reader would ask again for ever.
      guard->peerClosed_ = true;
      return -1;
    }
    if (got < 0) guard->peerClosed_ = true;
    if (got < 0) {
      auto waited = std::chrono::steady_clock::now() - start;
      // The transport gives up after the time limit; an earlier failure is
      // the connection's own.
      if (waited >= std::chrono::seconds(guard->limits_.timeoutSeconds) -
                         std::chrono::milliseconds(200)) {
        guard->timedOut_ = guard->problem_.empty();
        guard->Cut("the IMAP server " + guard->server_ + " did not answer within " +
                   std::to_string(guard->limits_.timeoutSeconds) + " s");
      }
      return got;
    }
    if (got > 0 && !guard->Scan(static_cast<const char*>(buffer), static_cast<size_t>(got))) {
      return -1;
    }
    return got;
  }
  static ssize_t Write(mailstream_low* low, const void* buffer, size_t size) {
    StreamGuard* guard = Of(low);
    if (!guard->problem_.empty()) return -1;
    guard->answer_ = 0;
    return mailstream_low_write(Inner(low), buffer, size);
  }
  static int Close(mailstream_low* low) { return mailstream_low_close(Inner(low)); }
  static int Fd(mailstream_low* low) { return mailstream_low_get_fd(Inner(low)); }
  static void Free(mailstream_low* low) {
    StreamGuard* guard = Of(low);
    mailstream_low_free(Inner(low));
    delete guard;
    free(low);
  }
  static void Cancel(mailstream_low* low) { mailstream_low_cancel(Inner(low)); }
  static struct mailstream_cancel* GetCancel(mailstream_low* low) {
    return mailstream_low_get_cancel(Inner(low));
  }
  static carray* Certificates(mailstream_low* low) {
    mailstream_low* inner = Inner(low);
    return inner->driver->mailstream_get_certificate_chain
               ? inner->driver->mailstream_get_certificate_chain(inner)
               : nullptr;
  }
  static int NoIdle(mailstream_low*) { return -1; }
};

namespace {

mailstream_low_driver kGuardDriver = {
    GuardDriver::Read,   GuardDriver::Write,     GuardDriver::Close,
    GuardDriver::Fd,     GuardDriver::Free,      GuardDriver::Cancel,
    GuardDriver::GetCancel, GuardDriver::Certificates, GuardDriver::NoIdle,
    GuardDriver::NoIdle, GuardDriver::NoIdle,
};

}  // namespace

StreamGuard* StreamGuard::Install(mailstream* stream, const StreamLimits& limits,
                                  const std::string& server) {
  mailstream_low* inner = mailstream_get_low(stream);
  if (!inner) return nullptr;
  auto* guard = new (std::nothrow) StreamGuard(limits, server, inner);
  if (!guard) return nullptr;
  // mailstream_low_new uses malloc, and the driver's Free releases it so.
  mailstream_low* low = mailstream_low_new(guard, &kGuardDriver);
  if (!low) {
    delete guard;
    return nullptr;
  }
  inner->timeout = limits.timeoutSeconds;
  low->timeout = limits.timeoutSeconds;
  mailstream_set_low(stream, low);
  return guard;
}

void StreamGuard::Cut(const std::string& problem) {
  if (problem_.empty()) problem_ = problem;
}

bool StreamGuard::PeerClosedOrSpoke() const {
  int fd = mailstream_low_get_fd(static_cast<mailstream_low*>(inner_));
  if (fd < 0) return true;
  pollfd watch{fd, POLLIN, 0};
  int ready = poll(&watch, 1, 0);
  return ready != 0;  // readable, hung up, or poll itself failed
}

bool StreamGuard::Scan(const char* bytes, size_t size) {
  answer_ += size;
  if (answer_ > limits_.maxAnswer) {
    Cut("the IMAP server " + server_ + " sent more than " + std::to_string(limits_.maxAnswer) +
        " bytes in answer to one command");
    return false;
  }
  for (size_t i = 0; i < size; ++i) {
    char c = bytes[i];
    switch (state_) {
      case State::kLiteral: {
        uint64_t skip = std::min<uint64_t>(number_, size - i);
        number_ -= skip;
        i += skip - 1;
        if (number_ == 0) {
          state_ = State::kText;
          line_ = 0;
        }
        continue;
      }
      case State::kBrace:
        if (c >= '0' && c <= '9') {
          uint64_t digit = static_cast<uint64_t>(c - '0');
          number_ = number_ > (UINT64_MAX - digit) / 10 ? UINT64_MAX : number_ * 10 + digit;
        } else {
          state_ = c == '}' ? State::kBraceEnd : State::kText;
        }
        break;
      case State::kBraceEnd:
        state_ = c == '\r' ? State::kBraceCr : State::kText;
        break;
      case State::kBraceCr:
        state_ = State::kText;
        if (c != '\n') break;
        if (number_ > limits_.maxLiteral) {
          Cut("the IMAP server " + server_ + " announced a literal of " + std::to_string(number_) +
              " bytes, more than the limit of " + std::to_string(limits_.maxLiteral));
          return false;
        }
        line_ = 0;
        if (number_ > 0) state_ = State::kLiteral;
        continue;
      case State::kText:
        if (c == '{') {
          state_ = State::kBrace;
          number_ = 0;
        }
        break;
    }
    if (c == '\n') {
      line_ = 0;
    } else if (++line_ > limits_.maxLine) {
      Cut("the IMAP server " + server_ + " sent a line of more than " +
          std::to_string(limits_.maxLine) + " bytes");
      return false;
    }
  }
  return true;
}

}  // namespace vorn_imap
