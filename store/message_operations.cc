// CMailStore: the operations that change a stored message or read it whole.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "store/mailstore.h"

namespace {

// Names one message for the store's list-taking calls. `id` must outlive the
// list.
MESSAGEIDLIST OneMessage(MESSAGEID* id) {
  MESSAGEIDLIST list{};
  list.cbSize = CB_MESSAGEIDLIST;
  list.cMsgs = 1;
  list.prgdwMsgId = id;
  return list;
}

}  // namespace

int32_t CMailStore::CreateMessage(int32_t folderId, const std::string& from,
                                  const std::string& to, const std::string& subject,
                                  const std::string& content) {
  if (from.empty() || to.empty()) return 0;
  // A NUL would cut the header line it is in when the text is read back.
  for (const std::string* value : {&from, &to, &subject}) {
    if (value->find('\0') != std::string::npos) return 0;
  }

  // The header values go in unchanged: the text is the caller's own message.
  std::string text;
  try {
    text.reserve(6 + from.size() + 2 + 3 + to.size() + 2 + 8 + subject.size() + 4 +
                 content.size());
    text.append("From: ").append(from).append("\r\n");
    text.append("To:").append(to).append("\r\n");
    text.append("Subject:").append(subject).append("\r\n\r\n");
    text.append(content);
  } catch (const std::exception&) {
    return 0;
  }
  if (text.size() > UINT32_MAX) return 0;  // one Write cannot take it

  if (!SetFolder(folderId)) return 0;

  ComPtr<IStream> stream;
  MESSAGEID newId = 0;
  if (FAILED(currentFolder_->CreateStream(0, 0, stream.Put(), &newId)) || !stream) {
    stream.Detach();  // a refusal hands out nothing
    return 0;
  }
  ULONG written = 0;
  if (FAILED(stream->Write(text.data(), static_cast<ULONG>(text.size()), &written))) return 0;
  const HRESULT committed = currentFolder_->CommitStream(0, 0, 0, stream.Get(), newId, nullptr);
  stream.Reset();
  if (FAILED(committed)) return 0;

  RebuildMessageList();
  return 1;
}

int32_t CMailStore::CopyMoveMessage(int32_t sourceMessageId, int32_t destinationFolderId,
                                    BOOL move) {
  if (!currentFolder_) return 0;
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  if (FAILED(currentFolder_->GetMessageProps(static_cast<MESSAGEID>(sourceMessageId),
                                             MSGPROPS_FAST, &props))) {
    return 0;
  }

  // A destination of -1 copies nothing and still counts as done.
  if (destinationFolderId != -1) {
    ComPtr<IStoreFolder> destination;
    if (!storeNamespace_ ||
        FAILED(storeNamespace_->OpenFolder(static_cast<STOREFOLDERID>(destinationFolderId), 0,
                                           destination.Put())) ||
        !destination) {
      destination.Detach();
      currentFolder_->FreeMessageProps(&props);
      return 0;
    }
    MESSAGEID id = static_cast<MESSAGEID>(sourceMessageId);
    MESSAGEIDLIST list = OneMessage(&id);
    const HRESULT status = storeNamespace_->CopyMoveMessages(
        currentFolder_.Get(), destination.Get(), &list, move ? CMF_MOVE : 0, ~props.dwFlags,
        nullptr);
    destination.Reset();
    if (FAILED(status)) {
      currentFolder_->FreeMessageProps(&props);
      return 0;
    }
  }
  currentFolder_->FreeMessageProps(&props);
  RebuildMessageList();
  return 1;
}

int32_t CMailStore::RemoveMessage(int32_t messageId) {
  if (!currentFolder_) return 0;
  MESSAGEID id = static_cast<MESSAGEID>(messageId);
  MESSAGEIDLIST list = OneMessage(&id);
  if (FAILED(currentFolder_->DeleteMessages(&list, 0, nullptr))) return 0;
  RebuildMessageList();
  return 1;
}

int32_t CMailStore::MarkMessage(int32_t messageId, BOOL read) {
  if (!currentFolder_) return 0;
  MESSAGEID id = static_cast<MESSAGEID>(messageId);
  MESSAGEIDLIST list = OneMessage(&id);
  if (FAILED(currentFolder_->MarkMessagesAsRead(read, 0, &list))) return 0;
  RebuildMessageList();
  return 1;
}

std::string CMailStore::GetMessageContent(int32_t messageId) {
  if (!currentFolder_) return std::string();
  ComPtr<IStream> stream;
  const HRESULT opened = currentFolder_->OpenMessage(static_cast<MESSAGEID>(messageId),
                                                     IID_IStream, stream.PutVoid());
  if (FAILED(opened)) {
    stream.Detach();  // a refusal hands out nothing
    return std::string();
  }
  if (opened != S_OK || !stream) return std::string();

  constexpr ULONG kChunk = 99;
  char buffer[kChunk + 1];
  std::string text;
  ULONG read = 1;
  while (read != 0) {
    read = 0;
    // Zeroed first, so a stream that reports more than it delivered adds
    // nothing undefined.
    std::memset(buffer, 0, sizeof buffer);
    if (stream->Read(buffer, kChunk, &read) != S_OK) return std::string();
    if (read > kChunk) read = kChunk;  // never past the buffer, whatever the stream says
    buffer[read] = '\0';
    std::puts(buffer);
    try {
      text.append(buffer, strnlen(buffer, read));
    } catch (const std::bad_alloc&) {
      return std::string();
    }
  }
  return text;
}
