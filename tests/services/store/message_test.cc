// Messages of the store server: storing through streams, the cached header
// fields, enumeration, raw text, copying, moving, deleting, marking, bad
// input, and the lifetimes of folder objects.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "platform/systime.h"
#include "runtime/unknown_impl.h"
#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

uint64_t NowTicks() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

// A folder object that is not the store server's.
class ForeignFolder final : public IStoreFolder {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IStoreFolder>(this, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetMessageProps(MESSAGEID, DWORD, LPMESSAGEPROPS) override { return E_NOTIMPL; }
  HRESULT FreeMessageProps(LPMESSAGEPROPS) override { return E_NOTIMPL; }
  HRESULT DeleteMessages(LPMESSAGEIDLIST, DWORD, IProgressNotify*) override { return E_NOTIMPL; }
  HRESULT MarkMessagesAsRead(BOOL, DWORD, LPMESSAGEIDLIST) override { return E_NOTIMPL; }
  HRESULT OpenMessage(MESSAGEID, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT GetFirstMessage(DWORD, DWORD, MESSAGEID, LPMESSAGEPROPS, LPHENUMSTORE) override {
    return E_NOTIMPL;
  }
  HRESULT GetNextMessage(HENUMSTORE, DWORD, LPMESSAGEPROPS) override { return E_NOTIMPL; }
  HRESULT GetMessageClose(HENUMSTORE) override { return E_NOTIMPL; }
  HRESULT CreateStream(HBATCHLOCK, DWORD, IStream**, LPMESSAGEID) override { return E_NOTIMPL; }
  HRESULT CommitStream(HBATCHLOCK, DWORD, DWORD, IStream*, MESSAGEID, IMimeMessage*) override {
    return E_NOTIMPL;
  }
};

// A stream that is not the store server's.
class ForeignStream final : public IStream {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_IStream, this}, {IID_ISequentialStream, this}}, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT Read(void*, ULONG, ULONG* read) override {
    if (read) *read = 0;
    return S_OK;
  }
  HRESULT Write(const void*, ULONG cb, ULONG* written) override {
    if (written) *written = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return S_OK; }
  HRESULT SetSize(ULARGE_INTEGER) override { return S_OK; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
};

using MessageTest = StoreTest;

TEST_F(MessageTest, CommittedMessagesEnumerateWithTheirCachedFields) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  uint64_t before = NowTicks();
  std::string text =
      "From: \"Ann Example\" <ann@example.org>\r\n"
      "To: Bob <bob@example.org>, carol@example.org\r\n"
      "Subject: Re: Fwd: Plans\r\n"
      "Date: 132500000000000000\r\n"
      "X-Priority: 1 (Highest)\r\n"
      "Content-Type: text/plain; charset=iso-8859-1\r\n"
      "X-Test-Attachments: 2\r\n"
      "\r\n"
      "Body.\r\n";
  MESSAGEID first = Commit(inbox.Get(), text, MSGFLAG_READ);
  MESSAGEID second = Commit(inbox.Get(), "Subject: plain\n\nno sender\n");
  uint64_t after = NowTicks();

  std::vector<MessageRow> rows = Messages(inbox.Get());
  ASSERT_EQ(2u, rows.size());
  EXPECT_LT(first, second);
  const MessageRow& m = rows[0];
  EXPECT_EQ(first, m.id);
  EXPECT_EQ("Re: Fwd: Plans", m.subject);
  EXPECT_EQ("Plans", m.normalSubject);
  EXPECT_EQ("Ann Example", m.from);
  EXPECT_EQ("Bob; carol@example.org", m.to);
  EXPECT_EQ(132500000000000000u, m.sent);
  EXPECT_GE(m.received, before);
  EXPECT_LE(m.received, after);
  EXPECT_EQ(static_cast<DWORD>(IMSG_PRI_HIGH), m.priority);
  EXPECT_EQ(28591u, m.language);
  EXPECT_EQ(text.size(), m.size);
  EXPECT_EQ(MSGFLAG_READ | MSGFLAG_ATTACHMENT, m.flags);
  EXPECT_EQ(m.flags, m.state);

  const MessageRow& plain = rows[1];
  EXPECT_EQ("plain", plain.subject);
  EXPECT_EQ("", plain.from);
  EXPECT_EQ("", plain.to);
  EXPECT_EQ(0u, plain.sent);
  EXPECT_EQ(0u, plain.language);
  EXPECT_EQ(static_cast<DWORD>(IMSG_PRI_NORMAL), plain.priority);
  EXPECT_EQ(0u, plain.flags);

  // The fields are read once, when the message is stored, with the forms
  // the store relies on: display names for the address fields, a FILETIME
  // for the date.
  std::vector<std::string> calls = mime_->calls();
  auto asked = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  };
  EXPECT_TRUE(asked("GetProp From 1 30"));
  EXPECT_TRUE(asked("GetProp To 1 30"));
  EXPECT_TRUE(asked("GetProp Subject 0 30"));
  EXPECT_TRUE(asked("GetProp Date 0 64"));
  EXPECT_TRUE(asked(std::string("GetProp ") + PIDSTR_MAIN_CHARSET + " 0 30"));
  EXPECT_EQ(2, mime_->creations());
  Messages(inbox.Get());
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  ASSERT_EQ(S_OK, inbox->GetMessageProps(first, MSGPROPS_FAST, &props));
  inbox->FreeMessageProps(&props);
  EXPECT_EQ(2, mime_->creations()) << "listing must not parse messages again";
}

TEST_F(MessageTest, RawTextComesBackByteForByte) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  static const char kBody[] = "nul\0inside\r\nlf only\n\xFF\xFE";
  std::string text = MakeMessage("bytes", "a@b", "c@d", std::string(kBody, sizeof(kBody) - 1));
  text += std::string(100000, 'x');
  MESSAGEID id = Commit(inbox.Get(), text);
  EXPECT_EQ(text, RawText(inbox.Get(), id));

  // Each open gives a new stream from the start; reads past the end give 0.
  ComPtr<IStream> stream;
  ASSERT_EQ(S_OK, inbox->OpenMessage(id, IID_IStream, stream.PutVoid()));
  char buffer[16];
  ULONG got = 99;
  ASSERT_EQ(S_OK, stream->Read(buffer, 5, &got));
  EXPECT_EQ(5u, got);
  EXPECT_EQ(0, std::memcmp(buffer, "From:", 5));
  LARGE_INTEGER end{};
  ULARGE_INTEGER position{};
  ASSERT_EQ(S_OK, stream->Seek(end, STREAM_SEEK_END, &position));
  EXPECT_EQ(text.size(), position.QuadPart);
  EXPECT_EQ(S_OK, stream->Read(buffer, sizeof(buffer), &got));
  EXPECT_EQ(0u, got);
  EXPECT_LT(stream->Write("x", 1, nullptr), 0) << "a stored message cannot be changed";

  ComPtr<IStream> empty;
  MESSAGEID emptyId = Commit(inbox.Get(), "");
  EXPECT_EQ("", RawText(inbox.Get(), emptyId));
}

TEST_F(MessageTest, OpenMessageAsParsedMessage) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  MESSAGEID id = Commit(inbox.Get(), MakeMessage("Parsed"));
  ComPtr<IMimeMessage> message;
  ASSERT_EQ(S_OK, inbox->OpenMessage(id, IID_IMimeMessage, message.PutVoid()));
  HBODY root = HBODY_NULL;
  ASSERT_EQ(S_OK, message->GetBody(IBL_ROOT, HBODY_NULL, &root));
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  ASSERT_EQ(S_OK, message->GetBodyProp(root, "Subject", 0, &value));
  EXPECT_STREQ("Parsed", value.pszVal);
  PropVariantClear(&value);

  void* object = &id;
  EXPECT_EQ(E_NOINTERFACE, inbox->OpenMessage(id, IID_IClassFactory, &object));
  EXPECT_EQ(nullptr, object);
  object = &id;
  EXPECT_EQ(STG_E_FILENOTFOUND, inbox->OpenMessage(id + 100, IID_IStream, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(E_POINTER, inbox->OpenMessage(id, IID_IStream, nullptr));
}

TEST_F(MessageTest, AStreamReleasedWithoutCommitStoresNothing) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  MESSAGEID kept = Commit(inbox.Get(), MakeMessage("kept"));
  const std::string before = Snapshot();
  MESSAGEID abandoned = 0;
  {
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, inbox->CreateStream(0, 0, stream.Put(), &abandoned));
    std::string text = MakeMessage("abandoned");
    ASSERT_EQ(S_OK, stream->Write(text.data(), static_cast<ULONG>(text.size()), nullptr));
  }
  EXPECT_GT(abandoned, kept);
  EXPECT_EQ(before, Snapshot());
  // Its identifier is not handed out again.
  EXPECT_GT(Commit(inbox.Get(), MakeMessage("next")), abandoned);
}

TEST_F(MessageTest, CommitStreamTakesOnlyItsOwnStream) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  ComPtr<IStoreFolder> outbox = Open(SubFolders(FOLDERID_ROOT)[1].id);
  MESSAGEID stored = Commit(inbox.Get(), MakeMessage("stored"));
  ComPtr<IStream> stream;
  MESSAGEID id = 0;
  ASSERT_EQ(S_OK, inbox->CreateStream(0, 0, stream.Put(), &id));
  std::string text = MakeMessage("once");
  ASSERT_EQ(S_OK, stream->Write(text.data(), static_cast<ULONG>(text.size()), nullptr));
  const std::string before = Snapshot();

  ForeignStream foreign;
  ComPtr<IStream> reader;
  ASSERT_EQ(S_OK, inbox->OpenMessage(stored, IID_IStream, reader.PutVoid()));
  EXPECT_EQ(E_INVALIDARG, inbox->CommitStream(0, 0, 0, &foreign, id, nullptr));
  EXPECT_EQ(E_INVALIDARG, inbox->CommitStream(0, 0, 0, reader.Get(), id, nullptr));
  EXPECT_EQ(E_INVALIDARG, inbox->CommitStream(0, 0, 0, stream.Get(), id + 1, nullptr));
  EXPECT_EQ(E_INVALIDARG, outbox->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
  EXPECT_EQ(E_POINTER, inbox->CommitStream(0, 0, 0, nullptr, id, nullptr));
  EXPECT_EQ(E_HANDLE, inbox->CommitStream(12345, 0, 0, stream.Get(), id, nullptr));
  EXPECT_EQ(before, Snapshot());

  EXPECT_EQ(S_OK, inbox->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
  EXPECT_EQ(E_UNEXPECTED, inbox->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
  EXPECT_EQ((std::vector<MESSAGEID>{stored, id}), MessageIds(inbox.Get()));

  MESSAGEID unused = 7;
  EXPECT_EQ(E_POINTER, inbox->CreateStream(0, 0, nullptr, &unused));
  EXPECT_EQ(MESSAGEID_INVALID, unused);
  EXPECT_EQ(E_POINTER, inbox->CreateStream(0, 0, stream.Put(), nullptr));
  EXPECT_EQ(nullptr, stream.Get());
}

TEST_F(MessageTest, EnumerationGoesInIdentifierOrderAcrossManyMessages) {
  ComPtr<IStoreImport> import;
  ASSERT_EQ(S_OK, store_.As(&import));
  HBATCHLOCK batch = 0;
  ASSERT_EQ(S_OK, import->BeginBatch(&batch));
  std::vector<MESSAGEID> ids;
  for (int i = 0; i < 700; ++i) {
    std::string text = MakeMessage("message " + std::to_string(i));
    MESSAGEID id = 0;
    ASSERT_EQ(S_OK, import->ImportMessage(batch, Inbox(),
                                          reinterpret_cast<const BYTE*>(text.data()),
                                          static_cast<ULONG>(text.size()), nullptr, 0, &id));
    ids.push_back(id);
  }
  ASSERT_EQ(S_OK, import->CommitBatch(batch));
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  std::vector<MessageRow> rows = Messages(inbox.Get());
  ASSERT_EQ(700u, rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(ids[i], rows[i].id);
    EXPECT_EQ("message " + std::to_string(i), rows[i].subject);
  }

  // Starting from a given identifier; and enumerations left open while
  // messages are deleted go on with what remains.
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  ASSERT_EQ(S_OK, inbox->GetFirstMessage(0, 0, ids[300], &props, &handle));
  EXPECT_EQ(ids[300], props.dwMessageId);
  inbox->FreeMessageProps(&props);
  std::vector<MESSAGEID> doomed(ids.begin() + 600, ids.end());
  IdList list(doomed);
  ASSERT_EQ(S_OK, inbox->DeleteMessages(list.get(), 0, nullptr));
  size_t seen = 1;
  HRESULT hr;
  while ((hr = inbox->GetNextMessage(handle, 0, &props)) == S_OK) {
    ++seen;
    inbox->FreeMessageProps(&props);
  }
  EXPECT_EQ(S_FALSE, hr);
  EXPECT_EQ(300u, seen);
  EXPECT_EQ(S_OK, inbox->GetMessageClose(handle));
  EXPECT_EQ(E_HANDLE, inbox->GetMessageClose(handle));
  EXPECT_EQ(E_HANDLE, inbox->GetNextMessage(handle, 0, &props));
}

TEST_F(MessageTest, EmptyFolderEnumeratesNothingAndOpensNoHandle) {
  ComPtr<IStoreFolder> drafts = Open(SubFolders(FOLDERID_ROOT)[4].id);
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 5;
  EXPECT_EQ(S_FALSE, drafts->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle));
  EXPECT_EQ(0u, handle);
  EXPECT_EQ(nullptr, props.pszSubject);
}

TEST_F(MessageTest, CopyAndMove) {
  STOREFOLDERID archiveId = MakeFolder(FOLDERID_ROOT, "Archive");
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  ComPtr<IStoreFolder> archive = Open(archiveId);
  std::string withAttachment = "Subject: files\r\nX-Test-Attachments: 1\r\n\r\nx";
  MESSAGEID a = Commit(inbox.Get(), withAttachment, MSGFLAG_READ);
  MESSAGEID b = Commit(inbox.Get(), MakeMessage("b"), MSGFLAG_READ);

  IdList copyList({a});
  // Flags to remove take the read bit away from the copy; the attachment
  // bit belongs to the content and stays.
  ASSERT_EQ(S_OK, store_->CopyMoveMessages(inbox.Get(), archive.Get(), copyList.get(), 0,
                                           MSGFLAG_READ | MSGFLAG_ATTACHMENT, nullptr));
  std::vector<MessageRow> copies = Messages(archive.Get());
  ASSERT_EQ(1u, copies.size());
  EXPECT_GT(copies[0].id, b);
  EXPECT_EQ(MSGFLAG_ATTACHMENT, copies[0].flags);
  EXPECT_EQ("files", copies[0].subject);
  EXPECT_EQ(withAttachment, RawText(archive.Get(), copies[0].id));
  EXPECT_EQ((std::vector<MESSAGEID>{a, b}), MessageIds(inbox.Get()));
  EXPECT_EQ(MSGFLAG_READ | MSGFLAG_ATTACHMENT, Messages(inbox.Get())[0].flags);

  // As the session passes it: the complement of the message's own flags.
  IdList moveList({b});
  ASSERT_EQ(S_OK, store_->CopyMoveMessages(inbox.Get(), archive.Get(), moveList.get(), CMF_MOVE,
                                           ~DWORD{MSGFLAG_READ}, nullptr));
  EXPECT_EQ((std::vector<MESSAGEID>{a}), MessageIds(inbox.Get()));
  // A moved message keeps its identifier, and with it its place in the
  // identifier order.
  EXPECT_EQ((std::vector<MESSAGEID>{b, copies[0].id}), MessageIds(archive.Get()));
  EXPECT_EQ(MakeMessage("b"), RawText(archive.Get(), b));
  EXPECT_EQ(MSGFLAG_READ, Messages(archive.Get())[0].flags);
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  EXPECT_EQ(STG_E_FILENOTFOUND, inbox->GetMessageProps(b, MSGPROPS_FAST, &props));

  // A copy into the same folder is a new message beside the original.
  IdList again({a});
  ASSERT_EQ(S_OK, store_->CopyMoveMessages(inbox.Get(), inbox.Get(), again.get(), 0, 0, nullptr));
  EXPECT_EQ(2u, MessageIds(inbox.Get()).size());
}

TEST_F(MessageTest, DeleteAndMark) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  MESSAGEID a = Commit(inbox.Get(), MakeMessage("a"));
  MESSAGEID b = Commit(inbox.Get(), MakeMessage("b"));
  MESSAGEID c = Commit(inbox.Get(), MakeMessage("c"));
  IdList marked({a, c, a});  // a message named twice is marked once
  ASSERT_EQ(S_OK, inbox->MarkMessagesAsRead(TRUE, 0, marked.get()));
  std::vector<MessageRow> rows = Messages(inbox.Get());
  EXPECT_EQ(MSGFLAG_READ, rows[0].flags);
  EXPECT_EQ(0u, rows[1].flags);
  EXPECT_EQ(MSGFLAG_READ, rows[2].flags);
  IdList unmark({c});
  ASSERT_EQ(S_OK, inbox->MarkMessagesAsRead(FALSE, 0, unmark.get()));
  EXPECT_EQ(0u, Messages(inbox.Get())[2].flags);

  IdList doomed({b});
  ASSERT_EQ(S_OK, inbox->DeleteMessages(doomed.get(), 0, nullptr));
  EXPECT_EQ((std::vector<MESSAGEID>{a, c}), MessageIds(inbox.Get()));
  ComPtr<IStream> stream;
  EXPECT_EQ(STG_E_FILENOTFOUND, inbox->OpenMessage(b, IID_IStream, stream.PutVoid()));
  IdList empty({});
  EXPECT_EQ(S_OK, inbox->DeleteMessages(empty.get(), 0, nullptr));
}

TEST_F(MessageTest, GetMessagePropsAndFreeMessageProps) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  std::string text = MakeMessage("props");
  MESSAGEID id = Commit(inbox.Get(), text);
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  ASSERT_EQ(S_OK, inbox->GetMessageProps(id, MSGPROPS_FAST, &props));
  EXPECT_EQ(id, props.dwMessageId);
  EXPECT_STREQ("props", props.pszSubject);
  EXPECT_EQ(nullptr, props.pStream);
  ASSERT_EQ(S_OK, inbox->FreeMessageProps(&props));
  EXPECT_EQ(nullptr, props.pszSubject);
  EXPECT_EQ(nullptr, props.pszDisplayFrom);

  // Without the fast flag the store attaches a stream over the raw text,
  // which FreeMessageProps releases.
  ASSERT_EQ(S_OK, inbox->GetMessageProps(id, 0, &props));
  ASSERT_NE(nullptr, props.pStream);
  IStream* stream = props.pStream;
  stream->AddRef();
  std::string read(text.size() + 10, '\0');
  ULONG got = 0;
  ASSERT_EQ(S_OK, stream->Read(read.data(), static_cast<ULONG>(read.size()), &got));
  EXPECT_EQ(text, read.substr(0, got));
  ASSERT_EQ(S_OK, inbox->FreeMessageProps(&props));
  EXPECT_EQ(nullptr, props.pStream);
  EXPECT_EQ(0u, stream->Release()) << "FreeMessageProps must release the store's reference";
  EXPECT_EQ(S_OK, inbox->FreeMessageProps(&props)) << "a second hand-back frees nothing";
}

TEST_F(MessageTest, BadInputGetsANegativeStatusAndChangesNothing) {
  STOREFOLDERID otherId = MakeFolder(FOLDERID_ROOT, "Other");
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  ComPtr<IStoreFolder> other = Open(otherId);
  MESSAGEID mine = Commit(inbox.Get(), MakeMessage("mine"));
  MESSAGEID theirs = Commit(other.Get(), MakeMessage("theirs"));
  const std::string before = Snapshot();

  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  MESSAGEPROPS badProps{};
  badProps.cbSize = CB_MESSAGEPROPS - 4;
  HENUMSTORE handle = 0;
  IdList unknown({mine, 999999});
  IdList foreignId({theirs});
  IdList reserved({0});
  IdList invalid({MESSAGEID_INVALID});
  MESSAGEIDLIST badSize{CB_MESSAGEIDLIST + 1, 1, &mine};
  MESSAGEIDLIST nullIds{CB_MESSAGEIDLIST, 1, nullptr};
  ForeignFolder foreign;
  ComPtr<IStoreFolder> opened;

  struct Case {
    const char* what;
    HRESULT result;
  } cases[] = {
      {"OpenFolder 0", store_->OpenFolder(FOLDERID_ROOT, 0, opened.Put())},
      {"OpenFolder invalid", store_->OpenFolder(FOLDERID_INVALID, 0, opened.Put())},
      {"OpenFolder unknown", store_->OpenFolder(424242, 0, opened.Put())},
      {"OpenFolder null", store_->OpenFolder(Inbox(), 0, nullptr)},
      {"GetMessageProps other folder's", inbox->GetMessageProps(theirs, 1, &props)},
      {"GetMessageProps unknown", inbox->GetMessageProps(999999, 1, &props)},
      {"GetMessageProps 0", inbox->GetMessageProps(0, 1, &props)},
      {"GetMessageProps cbSize", inbox->GetMessageProps(mine, 1, &badProps)},
      {"GetMessageProps null", inbox->GetMessageProps(mine, 1, nullptr)},
      {"FreeMessageProps cbSize", inbox->FreeMessageProps(&badProps)},
      {"FreeMessageProps null", inbox->FreeMessageProps(nullptr)},
      {"GetFirstMessage cbSize", inbox->GetFirstMessage(0, 0, MESSAGEID_FIRST, &badProps, &handle)},
      {"GetFirstMessage null props", inbox->GetFirstMessage(0, 0, MESSAGEID_FIRST, nullptr, &handle)},
      {"GetFirstMessage null handle", inbox->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, nullptr)},
      {"GetNextMessage not open", inbox->GetNextMessage(31337, 0, &props)},
      {"GetNextMessage 0", inbox->GetNextMessage(0, 0, &props)},
      {"GetMessageClose not open", inbox->GetMessageClose(31337)},
      {"DeleteMessages one unknown", inbox->DeleteMessages(unknown.get(), 0, nullptr)},
      {"DeleteMessages other folder's", inbox->DeleteMessages(foreignId.get(), 0, nullptr)},
      {"DeleteMessages id 0", inbox->DeleteMessages(reserved.get(), 0, nullptr)},
      {"DeleteMessages id -1", inbox->DeleteMessages(invalid.get(), 0, nullptr)},
      {"DeleteMessages cbSize", inbox->DeleteMessages(&badSize, 0, nullptr)},
      {"DeleteMessages null ids", inbox->DeleteMessages(&nullIds, 0, nullptr)},
      {"DeleteMessages null", inbox->DeleteMessages(nullptr, 0, nullptr)},
      {"Mark one unknown", inbox->MarkMessagesAsRead(TRUE, 0, unknown.get())},
      {"Mark other folder's", inbox->MarkMessagesAsRead(TRUE, 0, foreignId.get())},
      {"Mark cbSize", inbox->MarkMessagesAsRead(TRUE, 0, &badSize)},
      {"Mark null", inbox->MarkMessagesAsRead(TRUE, 0, nullptr)},
      {"Copy one unknown", store_->CopyMoveMessages(inbox.Get(), other.Get(), unknown.get(), 0, 0, nullptr)},
      {"Move one unknown", store_->CopyMoveMessages(inbox.Get(), other.Get(), unknown.get(), CMF_MOVE, 0, nullptr)},
      {"Move other folder's", store_->CopyMoveMessages(inbox.Get(), other.Get(), foreignId.get(), CMF_MOVE, 0, nullptr)},
      {"Move cbSize", store_->CopyMoveMessages(inbox.Get(), other.Get(), &badSize, CMF_MOVE, 0, nullptr)},
      {"Move null list", store_->CopyMoveMessages(inbox.Get(), other.Get(), nullptr, CMF_MOVE, 0, nullptr)},
      {"Move null source", store_->CopyMoveMessages(nullptr, other.Get(), foreignId.get(), CMF_MOVE, 0, nullptr)},
      {"Move foreign destination", store_->CopyMoveMessages(inbox.Get(), &foreign, unknown.get(), CMF_MOVE, 0, nullptr)},
      {"Move foreign source", store_->CopyMoveMessages(&foreign, other.Get(), foreignId.get(), CMF_MOVE, 0, nullptr)},
  };
  for (const Case& c : cases) EXPECT_LT(c.result, 0) << c.what;
  EXPECT_EQ(nullptr, opened.Get());
  EXPECT_EQ(0u, handle);
  EXPECT_EQ(before, Snapshot());
}

TEST_F(MessageTest, AFolderObjectKeepsTheStoreOpen) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  MESSAGEID id = Commit(inbox.Get(), MakeMessage("before"));
  store_ = nullptr;  // the session releases the namespace before its folder
  MESSAGEID later = Commit(inbox.Get(), MakeMessage("after"));
  EXPECT_EQ((std::vector<MESSAGEID>{id, later}), MessageIds(inbox.Get()));
  EXPECT_EQ(MakeMessage("after"), RawText(inbox.Get(), later));
}

TEST_F(MessageTest, AFolderObjectOfARemovedFolderRefusesEverythingAndStoresNothing) {
  STOREFOLDERID doomedId = MakeFolder(FOLDERID_ROOT, "Doomed");
  ComPtr<IStoreFolder> doomed = Open(doomedId);
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  MESSAGEID inside = Commit(doomed.Get(), MakeMessage("inside"));
  MESSAGEID elsewhere = Commit(inbox.Get(), MakeMessage("elsewhere"));
  // A stream made before the removal, an enumeration open across it.
  ComPtr<IStream> pending;
  MESSAGEID pendingId = 0;
  ASSERT_EQ(S_OK, doomed->CreateStream(0, 0, pending.Put(), &pendingId));
  ASSERT_EQ(S_OK, pending->Write("Subject: x\r\n\r\n", 14, nullptr));
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE handle = 0;
  ComPtr<IStoreFolder> spare = Open(doomedId);
  Commit(spare.Get(), MakeMessage("second"));
  ASSERT_EQ(S_OK, doomed->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle));
  doomed->FreeMessageProps(&props);

  ASSERT_EQ(S_OK, store_->DeleteFolder(doomedId, 0));
  const std::string before = Snapshot();

  ComPtr<IStream> stream;
  MESSAGEID newId = 0;
  IdList mine({inside});
  IdList theirs({elsewhere});
  ComPtr<IMimeMessage> parsed;
  HENUMSTORE second = 0;
  struct Case {
    const char* what;
    HRESULT result;
  } cases[] = {
      {"GetNextMessage", doomed->GetNextMessage(handle, 0, &props)},
      {"GetFirstMessage", doomed->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &second)},
      {"GetMessageProps", doomed->GetMessageProps(inside, 1, &props)},
      {"OpenMessage", doomed->OpenMessage(inside, IID_IStream, stream.PutVoid())},
      {"OpenMessage parsed", doomed->OpenMessage(inside, IID_IMimeMessage, parsed.PutVoid())},
      {"MarkMessagesAsRead", doomed->MarkMessagesAsRead(TRUE, 0, mine.get())},
      {"DeleteMessages", doomed->DeleteMessages(mine.get(), 0, nullptr)},
      {"CreateStream", doomed->CreateStream(0, 0, stream.Put(), &newId)},
      {"CommitStream", doomed->CommitStream(0, 0, 0, pending.Get(), pendingId, nullptr)},
      {"copy in", store_->CopyMoveMessages(inbox.Get(), doomed.Get(), theirs.get(), 0, 0, nullptr)},
      {"move in", store_->CopyMoveMessages(inbox.Get(), doomed.Get(), theirs.get(), CMF_MOVE, 0, nullptr)},
      {"move out", store_->CopyMoveMessages(doomed.Get(), inbox.Get(), mine.get(), CMF_MOVE, 0, nullptr)},
  };
  for (const Case& c : cases) EXPECT_EQ(STG_E_REVERTED, c.result) << c.what;
  EXPECT_EQ(0u, second);
  EXPECT_EQ(S_OK, doomed->GetMessageClose(handle));
  EXPECT_EQ(before, Snapshot());
  // A folder made afterwards with the same name is a new folder: the old
  // object does not come back to life.
  STOREFOLDERID again = MakeFolder(FOLDERID_ROOT, "Doomed");
  EXPECT_NE(doomedId, again);
  EXPECT_EQ(STG_E_REVERTED, doomed->CreateStream(0, 0, stream.Put(), &newId));
}

TEST_F(MessageTest, WithoutTheMimeLibraryNothingIsStored) {
  mime_.reset();  // no class object for the MIME message class any more
  ComPtr<IStoreNamespace> fresh = OpenAnotherNamespace();
  ComPtr<IStoreFolder> inbox = Open(fresh.Get(), Inbox());
  const std::string before = Snapshot();
  ComPtr<IStream> stream;
  MESSAGEID id = 0;
  ASSERT_EQ(S_OK, inbox->CreateStream(0, 0, stream.Put(), &id));
  ASSERT_EQ(S_OK, stream->Write("Subject: x\r\n\r\n", 14, nullptr));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, inbox->CommitStream(0, 0, 0, stream.Get(), id, nullptr));
  EXPECT_EQ(before, Snapshot());
}

TEST_F(MessageTest, AMessageTheParserRefusesIsKeptWithoutFields) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  mime_->set_fail_loads(true);
  std::string text = "Subject: unreadable\r\n\r\n";
  MESSAGEID id = Commit(inbox.Get(), text, MSGFLAG_READ);
  mime_->set_fail_loads(false);
  std::vector<MessageRow> rows = Messages(inbox.Get());
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(id, rows[0].id);
  EXPECT_EQ("", rows[0].subject);
  EXPECT_EQ(MSGFLAG_READ, rows[0].flags);
  EXPECT_EQ(text, RawText(inbox.Get(), id));
}

TEST_F(MessageTest, TwoConnectionsChangingOneStoreLoseNothing) {
  ComPtr<IStoreNamespace> second = OpenAnotherNamespace();
  STOREFOLDERID shared = MakeFolder(FOLDERID_ROOT, "Shared");
  constexpr int kEach = 25;
  std::atomic<int> failures{0};
  auto work = [&](IStoreNamespace* store, const std::string& tag) {
    if (FAILED(CoInitialize(nullptr))) {
      ++failures;
      return;
    }
    {
      ComPtr<IStoreFolder> folder;
      if (FAILED(store->OpenFolder(shared, 0, folder.Put()))) ++failures;
      for (int i = 0; folder && i < kEach; ++i) {
        ComPtr<IStream> stream;
        MESSAGEID id = 0;
        std::string text = MakeMessage(tag + std::to_string(i));
        if (FAILED(folder->CreateStream(0, 0, stream.Put(), &id)) ||
            FAILED(stream->Write(text.data(), static_cast<ULONG>(text.size()), nullptr)) ||
            FAILED(folder->CommitStream(0, 0, 0, stream.Get(), id, nullptr))) {
          ++failures;
        }
        STOREFOLDERID made = 0;
        if (FAILED(store->CreateFolder(shared, (tag + std::to_string(i)).c_str(), 0, &made))) {
          ++failures;
        }
      }
    }
    CoUninitialize();
  };
  std::thread one(work, store_.Get(), "one ");
  std::thread two(work, second.Get(), "two ");
  one.join();
  two.join();
  EXPECT_EQ(0, failures.load());
  ComPtr<IStoreFolder> folder = Open(shared);
  std::vector<MessageRow> rows = Messages(folder.Get());
  EXPECT_EQ(2u * kEach, rows.size());
  EXPECT_EQ(2u * kEach, SubFolders(shared).size());
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1].id, rows[i].id);
}

}  // namespace
}  // namespace store_test
