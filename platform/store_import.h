// Extension: bulk import into the mail store, for tools that bring existing
// mail (mbox files, Maildir folders, .eml files) into it. The store server's
// namespace object answers QueryInterface for IID_IStoreImport once it has
// been initialised.
//
// Declarations only; the store server (vornstore.so) implements them.
// Status conventions as in store.h: negative is failure.
#pragma once

#include "platform/store.h"

constexpr IID IID_IStoreImport = MakeGuid("{2571F3C5-1C7B-49E3-B1A9-0BDD9F600E3C}");

// Size of a message's content digest: SHA-256 of its raw bytes.
constexpr ULONG CB_MESSAGE_DIGEST = 32;

struct IStoreImport : IUnknown {
  // Opens a batch: the changes made under it are kept as one and become
  // durable together at CommitBatch, or not at all. One batch at a time per
  // namespace: E_UNEXPECTED while one is open. While a batch is open every
  // change made through this namespace and the folders it opened belongs to
  // it, also the ones made with batch 0. *batch receives a handle, never 0.
  virtual HRESULT BeginBatch(HBATCHLOCK* batch) = 0;

  // Makes every change of the batch durable as one and closes the batch.
  // On failure nothing of the batch is kept (it is closed all the same).
  // A batch in which a change failed on the store's side (a full disk, a
  // write error) is already undone: its CommitBatch fails with that status.
  // E_HANDLE when `batch` is not the open batch.
  virtual HRESULT CommitBatch(HBATCHLOCK batch) = 0;

  // Undoes every change of the batch and closes it. Identifiers handed out
  // under the batch name nothing afterwards. E_HANDLE as for CommitBatch.
  virtual HRESULT AbortBatch(HBATCHLOCK batch) = 0;

  // Stores `cb` bytes at `data` as a new message of folder `folderId`, as
  // CommitStream does, with the received time *received (null: now) and
  // the message flags `msgFlags` (MSGFLAG_READ; the attachment flag is the
  // store's own and taken from the content). `batch` is 0 (the message is
  // durable when the call returns) or the open batch. *messageId (may be
  // null) receives the new identifier.
  virtual HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folderId, const BYTE* data,
                                ULONG cb, const FILETIME* received, DWORD msgFlags,
                                LPMESSAGEID messageId) = 0;

  // Finds a stored message whose raw bytes have the digest `digest`
  // (`cbDigest` must be CB_MESSAGE_DIGEST), messages of the open batch
  // included. S_OK with its folder and identifier in *folderId and
  // *messageId (the lowest identifier when several match); S_FALSE with
  // both set to the invalid identifiers when none does.
  virtual HRESULT FindMessageByDigest(const BYTE* digest, ULONG cbDigest,
                                      LPSTOREFOLDERID folderId, LPMESSAGEID messageId) = 0;

  // Computes into `digest` (`cbDigest` must be CB_MESSAGE_DIGEST) the digest
  // the store keeps for the `cb` bytes at `data`.
  virtual HRESULT GetMessageDigest(const BYTE* data, ULONG cb, BYTE* digest,
                                   ULONG cbDigest) = 0;

 protected:
  ~IStoreImport() = default;
};
VORN_INTERFACE_ID(IStoreImport, IID_IStoreImport);
