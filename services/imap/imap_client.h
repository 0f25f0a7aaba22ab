// One connection to the IMAP server, over libetpan: the commands the store
// needs, with plain C++ results. Mailbox names here are the server's
// (modified UTF-7, full names with the hierarchy separator).
//
// Every failing call returns a negative status and sets the thread's
// failure reason when a person must act (server unreachable, login
// refused, connection lost); a refusal of one command by the server (NO)
// gives E_FAIL with the server's text. The password never appears in a
// reason. Not thread-safe: the store serialises its use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "services/imap/account.h"

struct mailimap_set;

namespace vorn_imap {

// The connection could not be made or was lost.
constexpr HRESULT IMAP_E_UNREACHABLE = MakeHresult(0x8007274Du);  // connection refused
// The server kept silent longer than the account's Timeout.
constexpr HRESULT IMAP_E_TIMEOUT = MakeHresult(0x8007274Cu);  // timed out
// The server answered with something that is not IMAP, or passed a limit
// on what it may send (a literal larger than a message may be, an endless
// line). The connection is dropped.
constexpr HRESULT IMAP_E_PROTOCOL = MakeHresult(0x8007000Du);  // invalid data

struct MailboxEntry {
  std::string name;    // full, encoded
  char separator = 0;  // 0: flat
  bool noSelect = false;
  std::string specialUse;  // "Sent", "Trash", "Drafts", ... (first such flag) or ""
};

struct MailboxStatus {
  uint32_t messages = 0;
  uint32_t uidNext = 0;
  uint32_t uidValidity = 0;
  uint32_t unseen = 0;
  uint64_t highestModSeq = 0;  // 0 without CONDSTORE
};

struct FetchedMessage {
  uint32_t uid = 0;
  bool seen = false;
  bool deleted = false;
  uint64_t received = 0;  // INTERNALDATE as FILETIME ticks; 0 when not asked
  std::string raw;        // BODY.PEEK[] when asked
  bool hasRaw = false;
};

class ImapClient {
 public:
  ImapClient();
  ~ImapClient();
  ImapClient(const ImapClient&) = delete;
  ImapClient& operator=(const ImapClient&) = delete;

  // Connects and logs in (again, after a lost connection). Every later
  // exchange waits at most account.timeoutSeconds for the server.
  HRESULT Connect(const Account& account);
  bool connected() const;
  void Disconnect();
  // True when the server closed the connection, or sent something, while
  // no command was outstanding: the connection is no use any more (a
  // server restarted, or one that logged this session out as idle).
  bool Stale() const;
  // Forgets the connection without a word to the server.
  void Drop();

  bool HasUidPlus() const { return uidPlus_; }
  bool HasMove() const { return move_; }
  bool HasCondStore() const { return condStore_; }

  HRESULT List(std::vector<MailboxEntry>* out);
  HRESULT Status(const std::string& mailbox, MailboxStatus* out);
  HRESULT Create(const std::string& mailbox);
  HRESULT Rename(const std::string& from, const std::string& to);
  // Leaves the mailbox first when it is the selected one.
  HRESULT Delete(const std::string& mailbox);

  // Selects `mailbox` unless it already is; *status (may be null) gets
  // what SELECT reported (messages, UIDNEXT, UIDVALIDITY).
  HRESULT Select(const std::string& mailbox, MailboxStatus* status = nullptr);
  const std::string& selected() const { return selected_; }
  // NOOP: lets the server tell this session of others' changes to the
  // selected mailbox, which its STATUS answers otherwise miss.
  HRESULT Noop();

  // UID FETCH of `uids` (empty: 1:*) with FLAGS, and with INTERNALDATE and
  // BODY.PEEK[] when `bodies`; with CHANGEDSINCE `changedSince` when not 0.
  HRESULT Fetch(const std::vector<uint32_t>& uids, bool bodies, uint64_t changedSince,
                std::vector<FetchedMessage>* out);
  // FETCH (not UID FETCH) of the messages at sequence numbers first..last,
  // whole, with their UIDs, FLAGS and INTERNALDATE. Through a run of such
  // FETCHes the numbers hold still: a server tells of expunges only after
  // other commands.
  HRESULT FetchSequence(uint32_t first, uint32_t last, std::vector<FetchedMessage>* out);
  // UID SEARCH DELETED.
  HRESULT SearchDeleted(std::vector<uint32_t>* out);
  // UID STORE +FLAGS.SILENT or -FLAGS.SILENT of \Seen or \Deleted.
  enum class Flag { kSeen, kDeleted };
  HRESULT Store(const std::vector<uint32_t>& uids, Flag flag, bool set);
  // UID EXPUNGE (UIDPLUS) of `uids`, or EXPUNGE of the whole selected
  // mailbox when `uids` is empty.
  HRESULT Expunge(const std::vector<uint32_t>& uids);

  // APPEND with \Seen when `seen` and INTERNALDATE `received` (ticks; 0:
  // the server's now). With UIDPLUS *uidValidity and *uid get APPENDUID's
  // values; 0 otherwise.
  HRESULT Append(const std::string& mailbox, const std::string& raw, bool seen,
                 uint64_t received, uint32_t* uidValidity, uint32_t* uid);
  // Appends several messages to `mailbox`, sending their commands before
  // reading the answers (in runs of a few dozen) when the server takes
  // LITERAL+, one after the other otherwise; with MULTIAPPEND one command
  // carries many messages (should the server refuse one, it stores none of
  // them, and they go again one by one). results[i] gets each one's
  // status and uids[i] its APPENDUID (0 without UIDPLUS); *uidValidity the
  // mailbox's from APPENDUID. Fails as a whole only when the connection does;
  // then results[i] is kNoAnswer for each message whose answer did not come
  // (stored or not: only the mailbox can tell).
  static constexpr HRESULT kNoAnswer = MakeHresult(0x8000000Au);
  struct Appended {
    const std::string* raw;
    bool seen;
    uint64_t received;  // ticks; 0: the server's now
  };
  HRESULT AppendPipelined(const std::string& mailbox, const std::vector<Appended>& messages,
                          std::vector<HRESULT>* results, std::vector<uint32_t>* uids,
                          uint32_t* uidValidity);

  // UID COPY / UID MOVE of `uids` (the selected mailbox's) to `mailbox`.
  // With UIDPLUS, *pairs gets (source uid, destination uid) for each and
  // *uidValidity the destination's; empty and 0 otherwise.
  HRESULT Copy(const std::vector<uint32_t>& uids, const std::string& mailbox, bool move,
               std::vector<std::pair<uint32_t, uint32_t>>* pairs, uint32_t* uidValidity);

 private:
  struct Session;
  // Sends APPEND commands for messages[which[...]], `perCommand` messages
  // to a command, in pipelined runs, and reads their answers.
  HRESULT SendAppends(const std::string& mailbox, const std::vector<Appended>& messages,
                      const std::vector<size_t>& which, size_t perCommand,
                      std::vector<HRESULT>* results, std::vector<uint32_t>* uids,
                      uint32_t* uidValidity);
  // FETCH or UID FETCH of `set` (which it frees).
  HRESULT FetchSet(mailimap_set* set, bool byUid, bool bodies, uint64_t changedSince,
                   std::vector<FetchedMessage>* out);
  // Turns a libetpan result into a status, noting a lost connection.
  HRESULT Check(int result, const char* command, const std::string& mailbox = {});
  // Drops the connection after a stream failure: the failure reason is the
  // guard's when it cut the stream, else `fallback`.
  HRESULT Lost(const std::string& fallback);

  std::unique_ptr<Session> session_;
  std::string server_;
  std::string selected_;
  bool uidPlus_ = false;
  bool move_ = false;
  bool condStore_ = false;
};

}  // namespace vorn_imap
