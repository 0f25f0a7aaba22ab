// CMailStore: the message catalogue (the cached messages of the current
// folder) and the text form of message times.

#include <charconv>
#include <iterator>
#include <memory>
#include <new>

#include "platform/systime.h"
#include "store/mailstore.h"

namespace {

std::string CopyText(LPCSTR text) { return text ? std::string(text) : std::string(); }

// "year-month-day hour:minute:second", plain decimal numbers; "" for a time
// the calendar conversion refuses.
std::string FormatFileTime(const FILETIME& time) {
  SYSTEMTIME fields{};
  if (!FileTimeToSystemTime(&time, &fields)) return std::string();
  // Written with to_chars: a listing formats a time for every message, and
  // printf's format parsing would be most of the cost.
  char text[32];
  char* at = text;
  const WORD parts[] = {fields.wYear, fields.wMonth,  fields.wDay,
                        fields.wHour, fields.wMinute, fields.wSecond};
  const char separators[] = {'-', '-', ' ', ':', ':'};
  for (size_t i = 0; i < std::size(parts); ++i) {
    if (i > 0) *at++ = separators[i - 1];
    at = std::to_chars(at, text + sizeof text, parts[i]).ptr;
  }
  return std::string(text, at);
}

}  // namespace

int32_t CMailStore::SetFolder(int32_t folderId) {
  if (!storeNamespace_) return 0;
  currentFolder_.Reset();
  if (FAILED(storeNamespace_->OpenFolder(static_cast<STOREFOLDERID>(folderId), 0,
                                         currentFolder_.Put())) ||
      !currentFolder_) {
    currentFolder_.Detach();  // a refusal hands out nothing
    return 0;
  }
  return RebuildMessageList();
}

bool CMailStore::AppendMessage(const MESSAGEPROPS& props) {
  std::unique_ptr<CMessageEntry> record(new (std::nothrow) CMessageEntry);
  if (!record) return false;
  newMessage_ = record.get();
  record->messageId = props.dwMessageId;
  record->language = props.dwLanguage;
  record->state = props.dwState;
  record->size = props.cbMessage;
  record->priority = props.priority;
  record->received = props.ftReceived;
  record->sent = props.ftSent;
  bool appended = false;
  try {
    record->subject = CopyText(props.pszSubject);
    record->displayTo = CopyText(props.pszDisplayTo);
    record->displayFrom = CopyText(props.pszDisplayFrom);
    record->normalSubject = CopyText(props.pszNormalSubject);
    appended = messages_.AddTail(std::move(record)) != nullptr;
  } catch (const std::bad_alloc&) {
    appended = false;
  }
  newMessage_ = nullptr;
  return appended;
}

int32_t CMailStore::RebuildMessageList() {
  if (!currentFolder_) return 0;
  ClearMessageList();

  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE enumeration = 0;
  HRESULT status = currentFolder_->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &enumeration);
  if (FAILED(status)) return 0;

  int32_t result = 1;
  while (status != S_FALSE) {
    const bool appended = AppendMessage(props);
    // Every message whose properties arrived hands them back exactly once.
    currentFolder_->FreeMessageProps(&props);
    if (!appended) {
      // Out of memory: a list missing a message is not passed off as whole.
      ClearMessageList();
      result = 0;
      break;
    }
    status = currentFolder_->GetNextMessage(enumeration, 0, &props);
    if (FAILED(status)) break;
  }
  if (enumeration != 0) currentFolder_->GetMessageClose(enumeration);
  return result;
}

int32_t CMailStore::GetMessageCount() const { return messages_.GetCount(); }

int32_t CMailStore::GetMessageId(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? static_cast<int32_t>(message->messageId) : -1;
}

int32_t CMailStore::GetMessageLanguage(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? static_cast<int32_t>(message->language) : 0;
}

std::string CMailStore::GetMessageSubject(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? message->subject : std::string();
}

std::string CMailStore::GetMessageNormalSubject(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? message->normalSubject : std::string();
}

std::string CMailStore::GetMessageDisplayFrom(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? message->displayFrom : std::string();
}

std::string CMailStore::GetMessageDisplayTo(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? message->displayTo : std::string();
}

std::string CMailStore::GetMessageReceivedTime(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? FormatFileTime(message->received) : std::string();
}

std::string CMailStore::GetMessageSentTime(int32_t index) const {
  const CMessageEntry* message = messages_.FindIndex(index);
  return message ? FormatFileTime(message->sent) : std::string();
}
