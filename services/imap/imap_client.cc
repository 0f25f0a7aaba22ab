#include "services/imap/imap_client.h"

#include <libetpan/libetpan.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/failure_reason.h"
#include "runtime/text.h"
#include "services/imap/stream_guard.h"
#include "services/store/store_db.h"
#include "services/imap/tls_transport.h"

namespace vorn_imap {
namespace {

// What the server may send: no literal larger than a message the store
// could hold, no line outside literals over 16 MiB (a UID SEARCH of a few
// million messages), no answer to one command over 2 GiB.
constexpr uint64_t kMaxLiteral = vorn_store::kMaxMessageSize;
constexpr uint64_t kMaxLine = 16u << 20;
constexpr uint64_t kMaxAnswer = 2ull << 30;

// libetpan writes to its socket without MSG_NOSIGNAL: a server that closes
// the connection must not kill the process with SIGPIPE.
void IgnoreSigPipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGPIPE, SIG_IGN);
    }
  });
}

uint64_t TicksFromDateTime(const mailimap_date_time* dt) {
  if (!dt) return 0;
  std::tm tm{};
  tm.tm_year = dt->dt_year - 1900;
  tm.tm_mon = dt->dt_month - 1;
  tm.tm_mday = dt->dt_day;
  tm.tm_hour = dt->dt_hour;
  tm.tm_min = dt->dt_min;
  tm.tm_sec = dt->dt_sec;
  int64_t seconds = timegm(&tm);
  int zone = dt->dt_zone;  // +hhmm as a number
  int sign = zone < 0 ? -1 : 1;
  zone *= sign;
  seconds -= sign * ((zone / 100) * 3600 + (zone % 100) * 60);
  return vorn_rt::TicksFromUnixSeconds(seconds);
}

mailimap_date_time* DateTimeFromTicks(uint64_t ticks) {
  int64_t unix = vorn_rt::UnixSecondsFromTicks(ticks);
  if (unix < 0) return nullptr;
  time_t seconds = static_cast<time_t>(unix);
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return nullptr;
  return mailimap_date_time_new(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour,
                                tm.tm_min, tm.tm_sec, 0);
}

mailimap_set* SetOf(const std::vector<uint32_t>& uids) {
  if (uids.empty()) return mailimap_set_new_interval(1, 0);
  mailimap_set* set = mailimap_set_new_empty();
  for (uint32_t uid : uids) mailimap_set_add_single(set, uid);
  return set;
}

mailimap_flag_list* FlagListOf(ImapClient::Flag flag) {
  mailimap_flag_list* list = mailimap_flag_list_new_empty();
  mailimap_flag_list_add(list, flag == ImapClient::Flag::kSeen ? mailimap_flag_new_seen()
                                                               : mailimap_flag_new_deleted());
  return list;
}

// The (first, last) ranges of a UID set from a COPYUID answer, expanded.
std::vector<uint32_t> Expand(const mailimap_set* set) {
  std::vector<uint32_t> uids;
  if (!set) return uids;
  for (clistiter* at = clist_begin(set->set_list); at; at = clist_next(at)) {
    auto* item = static_cast<mailimap_set_item*>(clist_content(at));
    for (uint32_t uid = item->set_first; uid <= item->set_last && uids.size() < 1000000; ++uid) {
      uids.push_back(uid);
      if (uid == UINT32_MAX) break;
    }
  }
  return uids;
}

}  // namespace

struct ImapClient::Session {
  mailimap* imap = nullptr;
  StreamGuard* guard = nullptr;  // owned by imap's stream
  ~Session() {
    if (imap) mailimap_free(imap);
  }
};

ImapClient::ImapClient() = default;
ImapClient::~ImapClient() { Disconnect(); }

bool ImapClient::connected() const { return session_ != nullptr; }

void ImapClient::Disconnect() {
  if (session_ && session_->imap->imap_stream) mailimap_logout(session_->imap);
  Drop();
}

void ImapClient::Drop() {
  session_.reset();
  selected_.clear();
}

bool ImapClient::Stale() const {
  return session_ && (!session_->guard || session_->guard->PeerClosedOrSpoke());
}

HRESULT ImapClient::Lost(const std::string& fallback) {
  HRESULT hr = IMAP_E_UNREACHABLE;
  std::string reason = fallback;
  if (session_ && session_->guard && !session_->guard->problem().empty()) {
    reason = session_->guard->problem();
    hr = session_->guard->timed_out() ? IMAP_E_TIMEOUT : IMAP_E_PROTOCOL;
  }
  Drop();
  VornSetFailureReason(reason.c_str());
  return hr;
}

HRESULT ImapClient::Check(int result, const char* command, const std::string& mailbox) {
  // libetpan reports an answer cut short by the end of the connection as
  // one it could not parse.
  if (result == MAILIMAP_ERROR_PARSE && session_ && session_->guard &&
      session_->guard->peer_closed()) {
    result = MAILIMAP_ERROR_STREAM;
  }
  if (result == MAILIMAP_NO_ERROR || result == MAILIMAP_NO_ERROR_AUTHENTICATED ||
      result == MAILIMAP_NO_ERROR_NON_AUTHENTICATED) {
    return S_OK;
  }
  if (result == MAILIMAP_ERROR_STREAM || result == MAILIMAP_ERROR_CONNECTION_REFUSED ||
      result == MAILIMAP_ERROR_FATAL) {
    return Lost("the connection to the IMAP server " + server_ + " was lost");
  }
  if (result == MAILIMAP_ERROR_PARSE) {
    // What follows on the connection cannot be trusted to line up either.
    HRESULT hr = Lost("the IMAP server " + server_ + " answered " + command +
                      " with something that is not IMAP");
    return hr == IMAP_E_UNREACHABLE ? IMAP_E_PROTOCOL : hr;
  }
  if (result == MAILIMAP_ERROR_MEMORY) return E_OUTOFMEMORY;
  std::string text = std::string("the IMAP server ") + server_ + " refused " + command;
  if (!mailbox.empty()) text += " of " + mailbox;
  if (session_ && session_->imap->imap_response) {
    text += std::string(": ") + session_->imap->imap_response;
  }
  VornSetFailureReason(text.c_str());
  return E_FAIL;
}

HRESULT ImapClient::Connect(const Account& account) {
  IgnoreSigPipe();
  Disconnect();
  server_ = account.server + ":" + std::to_string(account.port);
  auto session = std::make_unique<Session>();
  session->imap = mailimap_new(0, nullptr);
  if (!session->imap) return E_OUTOFMEMORY;
  mailimap_set_timeout(session->imap, account.timeoutSeconds);
  int r = 0;
  HRESULT connected = ConnectImap(session->imap, account, account.timeoutSeconds, &r);
  if (FAILED(connected)) return connected;
  StreamLimits limits;
  limits.maxLiteral = kMaxLiteral;
  limits.maxLine = kMaxLine;
  limits.maxAnswer = kMaxAnswer;
  limits.timeoutSeconds = account.timeoutSeconds;
  session->guard = StreamGuard::Install(session->imap->imap_stream, limits, server_);
  if (!session->guard) return E_OUTOFMEMORY;
  session_ = std::move(session);
  if (r == MAILIMAP_NO_ERROR_NON_AUTHENTICATED) {
    r = mailimap_login(session_->imap, account.user.c_str(), account.password.c_str());
    if (r != MAILIMAP_NO_ERROR) {
      if (r == MAILIMAP_ERROR_STREAM ||
          (r == MAILIMAP_ERROR_PARSE && session_->guard->peer_closed())) {
        return Lost("the IMAP server " + server_ + " closed the connection");
      }
      if (r == MAILIMAP_ERROR_PARSE) return Check(r, "LOGIN");
      Drop();
      VornSetFailureReason(("the IMAP server " + server_ + " refused the login of " +
                            account.user + " (check the user and the password file)")
                               .c_str());
      return E_ACCESSDENIED;
    }
  }
  mailimap_capability_data* capabilities = nullptr;
  r = mailimap_capability(session_->imap, &capabilities);
  if (r != MAILIMAP_NO_ERROR) {
    HRESULT hr = Check(r, "CAPABILITY");
    if (session_) {
      Drop();
      VornSetFailureReason(
          ("the IMAP server " + server_ + " did not list its capabilities").c_str());
    }
    return FAILED(hr) ? hr : IMAP_E_UNREACHABLE;
  }
  mailimap_capability_data_free(capabilities);
  uidPlus_ = mailimap_has_extension(session_->imap, const_cast<char*>("UIDPLUS"));
  move_ = mailimap_has_extension(session_->imap, const_cast<char*>("MOVE"));
  condStore_ = mailimap_has_extension(session_->imap, const_cast<char*>("CONDSTORE"));
  selected_.clear();
  return S_OK;
}

HRESULT ImapClient::List(std::vector<MailboxEntry>* out) {
  if (!session_) return IMAP_E_UNREACHABLE;
  clist* result = nullptr;
  HRESULT hr = Check(mailimap_list(session_->imap, "", "*", &result), "LIST");
  if (FAILED(hr)) return hr;
  out->clear();
  for (clistiter* at = result ? clist_begin(result) : nullptr; at; at = clist_next(at)) {
    auto* mailbox = static_cast<mailimap_mailbox_list*>(clist_content(at));
    MailboxEntry entry;
    entry.name = mailbox->mb_name;
    entry.separator = mailbox->mb_delimiter;
    if (mailbox->mb_flag) {
      entry.noSelect = mailbox->mb_flag->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG &&
                       mailbox->mb_flag->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_NOSELECT;
      clist* flags = mailbox->mb_flag->mbf_oflags;
      for (clistiter* f = flags ? clist_begin(flags) : nullptr; f; f = clist_next(f)) {
        auto* flag = static_cast<mailimap_mbx_list_oflag*>(clist_content(f));
        if (flag->of_type != MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT || !flag->of_flag_ext) continue;
        const char* name = flag->of_flag_ext;
        if (*name == '\\') ++name;
        if (vorn_rt::EqualNoCase(name, "Noselect") || vorn_rt::EqualNoCase(name, "NonExistent")) {
          entry.noSelect = true;
        } else if (entry.specialUse.empty() &&
                   (vorn_rt::EqualNoCase(name, "Sent") || vorn_rt::EqualNoCase(name, "Trash") ||
                    vorn_rt::EqualNoCase(name, "Drafts"))) {
          entry.specialUse = name;
          entry.specialUse = vorn_rt::AsciiLowered(entry.specialUse);
          entry.specialUse[0] = vorn_rt::AsciiUpper(entry.specialUse[0]);
        }
      }
    }
    out->push_back(std::move(entry));
  }
  mailimap_list_result_free(result);
  return S_OK;
}

HRESULT ImapClient::Status(const std::string& mailbox, MailboxStatus* out) {
  if (!session_) return IMAP_E_UNREACHABLE;
  mailimap_status_att_list* atts = mailimap_status_att_list_new_empty();
  for (int att : {MAILIMAP_STATUS_ATT_MESSAGES, MAILIMAP_STATUS_ATT_UIDNEXT,
                  MAILIMAP_STATUS_ATT_UIDVALIDITY, MAILIMAP_STATUS_ATT_UNSEEN}) {
    mailimap_status_att_list_add(atts, att);
  }
  if (condStore_) mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_HIGHESTMODSEQ);
  mailimap_mailbox_data_status* status = nullptr;
  HRESULT hr = Check(mailimap_status(session_->imap, mailbox.c_str(), atts, &status), "STATUS",
                     mailbox);
  mailimap_status_att_list_free(atts);
  if (FAILED(hr)) return hr == E_FAIL ? STG_E_FILENOTFOUND : hr;
  *out = MailboxStatus{};
  clist* infos = status ? status->st_info_list : nullptr;
  for (clistiter* at = infos ? clist_begin(infos) : nullptr; at; at = clist_next(at)) {
    auto* info = static_cast<mailimap_status_info*>(clist_content(at));
    switch (info->st_att) {
      case MAILIMAP_STATUS_ATT_MESSAGES: out->messages = info->st_value; break;
      case MAILIMAP_STATUS_ATT_UIDNEXT: out->uidNext = info->st_value; break;
      case MAILIMAP_STATUS_ATT_UIDVALIDITY: out->uidValidity = info->st_value; break;
      case MAILIMAP_STATUS_ATT_UNSEEN: out->unseen = info->st_value; break;
      case MAILIMAP_STATUS_ATT_HIGHESTMODSEQ: out->highestModSeq = info->st_value; break;
      case MAILIMAP_STATUS_ATT_EXTENSION:
        if (info->st_ext_data &&
            info->st_ext_data->ext_type == MAILIMAP_CONDSTORE_TYPE_STATUS_INFO) {
          auto* data = static_cast<mailimap_condstore_status_info*>(info->st_ext_data->ext_data);
          if (data) out->highestModSeq = data->cs_highestmodseq_value;
        }
        break;
      default: break;
    }
  }
  if (status) mailimap_mailbox_data_status_free(status);
  return S_OK;
}

HRESULT ImapClient::Create(const std::string& mailbox) {
  if (!session_) return IMAP_E_UNREACHABLE;
  return Check(mailimap_create(session_->imap, mailbox.c_str()), "CREATE", mailbox);
}

HRESULT ImapClient::Rename(const std::string& from, const std::string& to) {
  if (!session_) return IMAP_E_UNREACHABLE;
  HRESULT hr = Check(mailimap_rename(session_->imap, from.c_str(), to.c_str()), "RENAME", from);
  // The selection may have followed the name, or not: select again when needed.
  if (SUCCEEDED(hr)) selected_.clear();
  return hr;
}

HRESULT ImapClient::Delete(const std::string& mailbox) {
  if (!session_) return IMAP_E_UNREACHABLE;
  if (selected_ == mailbox) {
    // Deleting the selected mailbox would end the connection.
    HRESULT hr = Check(mailimap_close(session_->imap), "CLOSE", mailbox);
    if (FAILED(hr)) return hr;
    selected_.clear();
  }
  return Check(mailimap_delete(session_->imap, mailbox.c_str()), "DELETE", mailbox);
}

HRESULT ImapClient::Select(const std::string& mailbox, MailboxStatus* status) {
  if (!session_) return IMAP_E_UNREACHABLE;
  if (selected_ != mailbox || status) {
    selected_.clear();
    HRESULT hr = Check(mailimap_select(session_->imap, mailbox.c_str()), "SELECT", mailbox);
    if (FAILED(hr)) return hr == E_FAIL ? STG_E_FILENOTFOUND : hr;
    selected_ = mailbox;
  }
  if (status) {
    *status = MailboxStatus{};
    mailimap_selection_info* info = session_->imap->imap_selection_info;
    if (info) {
      status->messages = info->sel_exists;
      status->uidNext = info->sel_uidnext;
      status->uidValidity = info->sel_uidvalidity;
    }
  }
  return S_OK;
}

HRESULT ImapClient::Noop() {
  if (!session_) return IMAP_E_UNREACHABLE;
  return Check(mailimap_noop(session_->imap), "NOOP", selected_);
}

HRESULT ImapClient::Fetch(const std::vector<uint32_t>& uids, bool bodies, uint64_t changedSince,
                          std::vector<FetchedMessage>* out) {
  return FetchSet(SetOf(uids), true, bodies, changedSince, out);
}

HRESULT ImapClient::FetchSequence(uint32_t first, uint32_t last,
                                  std::vector<FetchedMessage>* out) {
  return FetchSet(mailimap_set_new_interval(first, last), false, true, 0, out);
}

HRESULT ImapClient::FetchSet(mailimap_set* set, bool byUid, bool bodies, uint64_t changedSince,
                             std::vector<FetchedMessage>* out) {
  out->clear();
  if (!session_) {
    mailimap_set_free(set);
    return IMAP_E_UNREACHABLE;
  }
  mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
  mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
  mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_flags());
  if (bodies) {
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_internaldate());
    mailimap_fetch_type_new_fetch_att_list_add(
        type, mailimap_fetch_att_new_body_peek_section(mailimap_section_new(nullptr)));
  }
  clist* result = nullptr;
  int r = !byUid ? mailimap_fetch(session_->imap, set, type, &result)
          : changedSince
              ? mailimap_uid_fetch_changedsince(session_->imap, set, type, changedSince, &result)
              : mailimap_uid_fetch(session_->imap, set, type, &result);
  mailimap_set_free(set);
  mailimap_fetch_type_free(type);
  HRESULT hr = Check(r, "FETCH", selected_);
  if (FAILED(hr)) return hr;
  for (clistiter* at = result ? clist_begin(result) : nullptr; at; at = clist_next(at)) {
    auto* message = static_cast<mailimap_msg_att*>(clist_content(at));
    FetchedMessage fetched;
    for (clistiter* i = clist_begin(message->att_list); i; i = clist_next(i)) {
      auto* item = static_cast<mailimap_msg_att_item*>(clist_content(i));
      if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn) {
        clist* flags = item->att_data.att_dyn->att_list;
        for (clistiter* f = flags ? clist_begin(flags) : nullptr; f; f = clist_next(f)) {
          auto* flag = static_cast<mailimap_flag_fetch*>(clist_content(f));
          if (flag->fl_type != MAILIMAP_FLAG_FETCH_OTHER || !flag->fl_flag) continue;
          if (flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN) fetched.seen = true;
          if (flag->fl_flag->fl_type == MAILIMAP_FLAG_DELETED) fetched.deleted = true;
        }
      } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static) {
        mailimap_msg_att_static* att = item->att_data.att_static;
        if (att->att_type == MAILIMAP_MSG_ATT_UID) {
          fetched.uid = att->att_data.att_uid;
        } else if (att->att_type == MAILIMAP_MSG_ATT_INTERNALDATE) {
          fetched.received = TicksFromDateTime(att->att_data.att_internal_date);
        } else if (att->att_type == MAILIMAP_MSG_ATT_BODY_SECTION &&
                   att->att_data.att_body_section) {
          mailimap_msg_att_body_section* section = att->att_data.att_body_section;
          if (section->sec_body_part) {
            fetched.raw.assign(section->sec_body_part, section->sec_length);
          }
          fetched.hasRaw = true;
        }
      }
    }
    if (fetched.uid != 0) out->push_back(std::move(fetched));
  }
  if (result) mailimap_fetch_list_free(result);
  return S_OK;
}

HRESULT ImapClient::SearchDeleted(std::vector<uint32_t>* out) {
  if (!session_) return IMAP_E_UNREACHABLE;
  clist* result = nullptr;
  mailimap_search_key* key = mailimap_search_key_new(
      MAILIMAP_SEARCH_KEY_DELETED, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
  HRESULT hr = Check(mailimap_uid_search(session_->imap, nullptr, key, &result), "SEARCH",
                     selected_);
  mailimap_search_key_free(key);
  if (FAILED(hr)) return hr;
  out->clear();
  for (clistiter* at = result ? clist_begin(result) : nullptr; at; at = clist_next(at)) {
    out->push_back(*static_cast<uint32_t*>(clist_content(at)));
  }
  if (result) mailimap_search_result_free(result);
  return S_OK;
}

HRESULT ImapClient::Store(const std::vector<uint32_t>& uids, Flag flag, bool set) {
  if (!session_) return IMAP_E_UNREACHABLE;
  if (uids.empty()) return S_OK;
  mailimap_flag_list* flags = FlagListOf(flag);
  mailimap_store_att_flags* att = set ? mailimap_store_att_flags_new_add_flags_silent(flags)
                                      : mailimap_store_att_flags_new_remove_flags_silent(flags);
  mailimap_set* uidSet = SetOf(uids);
  HRESULT hr = Check(mailimap_uid_store(session_->imap, uidSet, att), "STORE", selected_);
  mailimap_set_free(uidSet);
  mailimap_store_att_flags_free(att);
  return hr;
}

HRESULT ImapClient::Expunge(const std::vector<uint32_t>& uids) {
  if (!session_) return IMAP_E_UNREACHABLE;
  if (uids.empty()) return Check(mailimap_expunge(session_->imap), "EXPUNGE", selected_);
  mailimap_set* set = SetOf(uids);
  HRESULT hr = Check(mailimap_uid_expunge(session_->imap, set), "UID EXPUNGE", selected_);
  mailimap_set_free(set);
  return hr;
}

HRESULT ImapClient::Append(const std::string& mailbox, const std::string& raw, bool seen,
                           uint64_t received, uint32_t* uidValidity, uint32_t* uid) {
  *uidValidity = 0;
  *uid = 0;
  if (!session_) return IMAP_E_UNREACHABLE;
  mailimap_flag_list* flags = mailimap_flag_list_new_empty();
  if (seen) mailimap_flag_list_add(flags, mailimap_flag_new_seen());
  mailimap_date_time* date = received ? DateTimeFromTicks(received) : nullptr;
  int r = uidPlus_ ? mailimap_uidplus_append(session_->imap, mailbox.c_str(), flags, date,
                                             raw.data(), raw.size(), uidValidity, uid)
                   : mailimap_append(session_->imap, mailbox.c_str(), flags, date, raw.data(),
                                     raw.size());
  mailimap_flag_list_free(flags);
  if (date) mailimap_date_time_free(date);
  return Check(r, "APPEND", mailbox);
}

namespace {

// `text` as an IMAP quoted string.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// An APPEND date-time, "05-Mar-2026 09:02:00 +0000".
std::string DateTimeText(uint64_t ticks) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t seconds = static_cast<time_t>(vorn_rt::UnixSecondsFromTicks(ticks));
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return {};
  char text[40];
  std::snprintf(text, sizeof(text), "\"%02d-%s-%04d %02d:%02d:%02d +0000\"", tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

// Commands sent before their answers are read, and the bytes they may hold.
constexpr size_t kPipelineCommands = 32;
constexpr size_t kPipelineBytes = 4 << 20;
// Messages one APPEND carries with MULTIAPPEND: the server stores them in
// one transaction, which is most of what an APPEND costs it.
constexpr size_t kMessagesPerAppend = 64;

// The UIDs of an APPENDUID set ("5", "5:9", "5,7:8"), in order; empty when
// the text is not one.
std::vector<uint32_t> UidsOfSet(const char* text) {
  std::vector<uint32_t> uids;
  while (*text) {
    char* end = nullptr;
    unsigned long first = std::strtoul(text, &end, 10);
    if (end == text || first == 0 || first > 0xFFFFFFFFul) return {};
    unsigned long last = first;
    text = end;
    if (*text == ':') {
      last = std::strtoul(text + 1, &end, 10);
      if (end == text + 1 || last < first || last > 0xFFFFFFFFul ||
          last - first > kMessagesPerAppend) {
        return {};
      }
      text = end;
    }
    for (unsigned long uid = first; uid <= last; ++uid) uids.push_back(static_cast<uint32_t>(uid));
    if (*text == ',') ++text;
    else if (*text) return {};
  }
  return uids;
}

}  // namespace

HRESULT ImapClient::AppendPipelined(const std::string& mailbox,
                                    const std::vector<Appended>& messages,
                                    std::vector<HRESULT>* results, std::vector<uint32_t>* uids,
                                    uint32_t* uidValidity) {
  results->assign(messages.size(), kNoAnswer);
  uids->assign(messages.size(), 0);
  *uidValidity = 0;
  if (!session_) return IMAP_E_UNREACHABLE;
  const bool pipelined = mailimap_has_extension(session_->imap, const_cast<char*>("LITERAL+"));
  if (!pipelined) {
    for (size_t at = 0; at < messages.size(); ++at) {
      const Appended& m = messages[at];
      uint32_t validity = 0;
      HRESULT hr = Append(mailbox, *m.raw, m.seen, m.received, &validity, &(*uids)[at]);
      if (!session_) return FAILED(hr) ? hr : IMAP_E_UNREACHABLE;  // left in doubt
      (*results)[at] = hr;
      if (validity) *uidValidity = validity;
    }
    return S_OK;
  }
  const bool multi = mailimap_has_extension(session_->imap, const_cast<char*>("MULTIAPPEND"));
  std::vector<size_t> order(messages.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  HRESULT hr = SendAppends(mailbox, messages, order, multi ? kMessagesPerAppend : 1, results,
                           uids, uidValidity);
  if (FAILED(hr) || !multi) return hr;
  // A refused MULTIAPPEND stored none of its messages: each goes again on
  // its own, so that one bad message does not keep the others out.
  std::vector<size_t> again;
  for (size_t i = 0; i < messages.size(); ++i) {
    if ((*results)[i] == E_FAIL) again.push_back(i);
  }
  if (again.empty()) return S_OK;
  return SendAppends(mailbox, messages, again, 1, results, uids, uidValidity);
}

HRESULT ImapClient::SendAppends(const std::string& mailbox, const std::vector<Appended>& messages,
                                const std::vector<size_t>& which, size_t perCommand,
                                std::vector<HRESULT>* results, std::vector<uint32_t>* uids,
                                uint32_t* uidValidity) {
  mailstream* stream = session_->imap->imap_stream;
  size_t at = 0;  // in `which`
  while (at < which.size()) {
    // Send a run of commands, each with its literals (LITERAL+: no wait);
    // command k of the run carries which[starts[k]] .. which[starts[k+1]-1].
    std::vector<size_t> starts;
    size_t end = at;
    size_t bytes = 0;
    std::string head;
    bool sent = true;
    while (end < which.size() && starts.size() < kPipelineCommands &&
           (end == at || bytes + messages[which[end]].raw->size() <= kPipelineBytes)) {
      starts.push_back(end);
      head = "P" + std::to_string(starts.size() - 1) + " APPEND " + Quoted(mailbox);
      for (size_t in = 0; in < perCommand && end < which.size() &&
                          (in == 0 || bytes + messages[which[end]].raw->size() <= kPipelineBytes);
           ++in, ++end) {
        const Appended& m = messages[which[end]];
        head += m.seen ? " (\\Seen)" : " ()";
        if (m.received) head += " " + DateTimeText(m.received);
        head += " {" + std::to_string(m.raw->size()) + "+}\r\n";
        sent = sent && mailstream_write(stream, head.data(), head.size()) ==
                           static_cast<ssize_t>(head.size());
        sent = sent && mailstream_write(stream, m.raw->data(), m.raw->size()) ==
                           static_cast<ssize_t>(m.raw->size());
        head.clear();
        bytes += m.raw->size();
      }
      sent = sent && mailstream_write(stream, "\r\n", 2) == 2;
    }
    starts.push_back(end);
    if (!sent || mailstream_flush(stream) != 0) return Check(MAILIMAP_ERROR_STREAM, "APPEND");
    // Read until every command of the run has its tagged answer.
    MMAPString* line = mmap_string_new("");
    size_t answered = 0;
    const size_t commands = starts.size() - 1;
    while (answered < commands) {
      char* text = mailstream_read_line_remove_eol(stream, line);
      // At the end of the connection libetpan hands back what it holds of
      // an unfinished line (often ""), again and again: never an answer.
      if (!text || session_->guard->peer_closed()) {
        mmap_string_free(line);
        return Check(MAILIMAP_ERROR_STREAM, "APPEND");
      }
      unsigned long tag = 0;
      char status[4] = {};
      int consumed = 0;
      if (text[0] != 'P' || std::sscanf(text, "P%lu %3s %n", &tag, status, &consumed) < 2 ||
          tag >= commands) {
        continue;  // an untagged answer (EXISTS, RECENT)
      }
      ++answered;
      const size_t first = starts[tag];
      const size_t count = starts[tag + 1] - first;
      if (std::strcmp(status, "OK") == 0) {
        unsigned long validity = 0;
        char set[256] = {};
        std::vector<uint32_t> given;
        if (uidPlus_ && std::sscanf(text + consumed, "[APPENDUID %lu %255[0-9:,]]", &validity,
                                    set) == 2) {
          given = UidsOfSet(set);
        }
        for (size_t k = 0; k < count; ++k) {
          (*results)[which[first + k]] = S_OK;
          // UIDs only when the server gave one for each message.
          if (given.size() == count) (*uids)[which[first + k]] = given[k];
        }
        if (given.size() == count) *uidValidity = static_cast<uint32_t>(validity);
      } else {
        for (size_t k = 0; k < count; ++k) (*results)[which[first + k]] = E_FAIL;
        VornSetFailureReason((std::string("the IMAP server ") + server_ + " refused APPEND of " +
                              mailbox + ": " + (text + consumed))
                                 .c_str());
      }
    }
    mmap_string_free(line);
    at = end;
  }
  return S_OK;
}

HRESULT ImapClient::Copy(const std::vector<uint32_t>& uids, const std::string& mailbox,
                         bool move, std::vector<std::pair<uint32_t, uint32_t>>* pairs,
                         uint32_t* uidValidity) {
  pairs->clear();
  *uidValidity = 0;
  if (!session_) return IMAP_E_UNREACHABLE;
  mailimap_set* set = SetOf(uids);
  mailimap_set* from = nullptr;
  mailimap_set* to = nullptr;
  int r;
  if (uidPlus_) {
    r = move ? mailimap_uidplus_uid_move(session_->imap, set, mailbox.c_str(), uidValidity, &from,
                                         &to)
             : mailimap_uidplus_uid_copy(session_->imap, set, mailbox.c_str(), uidValidity, &from,
                                         &to);
  } else {
    r = move ? mailimap_uid_move(session_->imap, set, mailbox.c_str())
             : mailimap_uid_copy(session_->imap, set, mailbox.c_str());
  }
  mailimap_set_free(set);
  HRESULT hr = Check(r, move ? "MOVE" : "COPY", mailbox);
  std::vector<uint32_t> sources = Expand(from);
  std::vector<uint32_t> destinations = Expand(to);
  if (from) mailimap_set_free(from);
  if (to) mailimap_set_free(to);
  if (SUCCEEDED(hr) && sources.size() == destinations.size()) {
    for (size_t i = 0; i < sources.size(); ++i) pairs->emplace_back(sources[i], destinations[i]);
  }
  if (SUCCEEDED(hr) && pairs->empty()) *uidValidity = 0;
  return hr;
}

}  // namespace vorn_imap
