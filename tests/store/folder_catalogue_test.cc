// The folder catalogue of CMailStore: the walk of the folder tree, the
// queries by index, and the folder changes.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fakes/fault_sweep.h"
#include "tests/fakes/forwarding.h"
#include "tests/store/mail_world.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using vorn_test::FolderTree;
using vorn_test::MailWorld;

// Root: P (P1, P2 (P2a), P3), Q, R (R1).
struct TreeWorld : MailWorld {
  TreeWorld() {
    p = store.AddFolder(FOLDERID_ROOT, "P", FOLDER_INBOX).id;
    p1 = store.AddFolder(p, "P1").id;
    p2 = store.AddFolder(p, "P2").id;
    p2a = store.AddFolder(p2, "P2a").id;
    store.AddFolder(p, "P3");
    q = store.AddFolder(FOLDERID_ROOT, "Q").id;
    r = store.AddFolder(FOLDERID_ROOT, "R").id;
    store.AddFolder(r, "R1");
    EXPECT_EQ(mail->OpenSession(), 1);
  }
  STOREFOLDERID p = 0, p1 = 0, p2 = 0, p2a = 0, q = 0, r = 0;
};

const std::vector<std::string> kWholeTree = {"P/0",  "P1/1", "P2/1", "P2a/2",
                                              "P3/1", "Q/0",  "R/0",  "R1/1"};

TEST(FolderWalk, ListsTheTreeInPreOrderWithDepths) {
  TreeWorld w;
  w.store.openHandleWhenEmpty = true;  // empty levels still hand out a handle to close
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  EXPECT_EQ(FolderTree(*w.mail), kWholeTree);
  EXPECT_EQ(w.mail->GetFolderId(0), static_cast<int32_t>(w.p));
  EXPECT_EQ(w.mail->GetFolderId(3), static_cast<int32_t>(w.p2a));
  EXPECT_EQ(w.mail->GetFolderSubFolderCount(0), 3);
  EXPECT_EQ(w.mail->GetFolderSubFolderCount(5), 0);
  // One enumeration per level, each closed exactly once.
  EXPECT_EQ(w.env.log.Count("GetFirstSubFolder"), 9);
  EXPECT_EQ(w.env.log.Count("GetSubFolderClose"), 9);
  for (const auto& call : w.env.log.Calls("GetFirstSubFolder")) {
    EXPECT_EQ(call.Num("cbSize"), CB_FOLDERPROPS);
  }
  EXPECT_EQ(w.env.log.Calls("GetFirstSubFolder")[0].Num("parentId"), FOLDERID_ROOT);
  w.EndAndCheck();
}

TEST(FolderWalk, FailuresLoseOnlyWhatTheyCannotReach) {
  struct Case {
    const char* name;
    void (*arrange)(TreeWorld&);
    int result;
    std::vector<std::string> tree;
  };
  const std::vector<Case> cases = {
      {"root has no subfolder",
       [](TreeWorld& w) { w.env.faults.FailCall("GetFirstSubFolder", 1, S_FALSE); }, 1, {}},
      {"first call at the root fails",
       [](TreeWorld& w) { w.env.faults.FailCall("GetFirstSubFolder", 1); }, 0, {}},
      {"a subfolder level cannot start",
       [](TreeWorld& w) { w.store.Folder(w.p2)->subFolderStatus = E_FAIL; }, 1,
       {"P/0", "P1/1", "P2/1", "P3/1", "Q/0", "R/0", "R1/1"}},
      // The first GetNextSubFolder is P's level asking for P2 (P1 has no
      // subfolder, so its level makes no such call): P2 and P3 are lost.
      {"the next subfolder of a level fails",
       [](TreeWorld& w) { w.env.faults.FailCall("GetNextSubFolder", 1); }, 1,
       {"P/0", "P1/1", "Q/0", "R/0", "R1/1"}},
      {"the next top-level folder fails",
       [](TreeWorld& w) {
         // P's level asks three times (P2, P3, end) and P2's once (end), so
         // call 5 is the root level's, after P's subtree.
         w.env.faults.FailCall("GetNextSubFolder", 5);
       },
       1, {"P/0", "P1/1", "P2/1", "P2a/2", "P3/1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TreeWorld w;
    ASSERT_EQ(w.mail->RebuildFolderList(), 1);
    c.arrange(w);
    EXPECT_EQ(w.mail->RebuildFolderList(), c.result);
    EXPECT_EQ(FolderTree(*w.mail), c.tree);
    EXPECT_EQ(w.store.OpenEnumerations(), 0);
    w.EndAndCheck();
  }
}

// Any single failing store call leaves a list that is the whole tree with
// whole subtrees or level tails missing, never a record at a wrong depth,
// and every enumeration closed.
TEST(FolderWalk, FaultSweepKeepsDepthsRightAndClosesEveryHandle) {
  TreeWorld w;
  const int fired = vorn_fakes::SweepFaults(
      w.env.faults, [&] { return w.mail->RebuildFolderList(); },
      [&](const vorn_fakes::SweepRun& run, int result) {
        EXPECT_EQ(w.store.OpenEnumerations(), 0) << run;
        const auto tree = FolderTree(*w.mail);
        if (!run.fired) {
          EXPECT_EQ(result, 1);
          EXPECT_EQ(tree, kWholeTree);
          return;
        }
        if (run.n == 1) {
          EXPECT_EQ(result, 0) << run;
          EXPECT_THAT(tree, IsEmpty());
          return;
        }
        EXPECT_EQ(result, 1) << run;
        // A subsequence of the whole tree, each entry with its own depth.
        size_t at = 0;
        for (const auto& entry : tree) {
          while (at < kWholeTree.size() && kWholeTree[at] != entry) ++at;
          EXPECT_LT(at, kWholeTree.size()) << entry << " is not where the tree has it";
        }
      });
  EXPECT_GT(fired, 8);
  w.EndAndCheck();
}

TEST(FolderQueries, IndexesOutsideTheListGiveNeutralResults) {
  TreeWorld w;
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  const int32_t count = w.mail->GetFolderCount();
  ASSERT_EQ(count, 8);
  for (int32_t index : {-1, count, count + 1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(w.mail->GetFolderId(index), -1);
    EXPECT_EQ(w.mail->GetFolderName(index), "");
    EXPECT_EQ(w.mail->GetFolderSubFolderCount(index), 0);
    EXPECT_EQ(w.mail->GetFolderType(index), 0);
    EXPECT_EQ(w.mail->GetFolderUnreads(index), 0);
    EXPECT_EQ(w.mail->GetFolderMessageCount(index), 0);
    EXPECT_EQ(w.mail->GetFolderHierarchy(index), -1);
  }
  w.EndAndCheck();
}

TEST(FolderQueries, TypesMapSpecialKindsAndCountsArePassedOn) {
  MailWorld w;
  struct Kind {
    int sfType;
    int32_t expected;
  };
  const std::vector<Kind> kinds = {{-1, -1}, {0, 1}, {1, 2}, {2, 3}, {3, 4},
                                   {4, 5},   {5, 6}, {6, 0}, {-2, 0}, {1000, 0}};
  for (size_t i = 0; i < kinds.size(); ++i) {
    vorn_fakes::FakeFolder& folder =
        w.store.AddFolder(FOLDERID_ROOT, "F" + std::to_string(i),
                          static_cast<SPECIALFOLDER>(kinds[i].sfType));
    folder.unreadCount = static_cast<DWORD>(i);
    folder.messageCount = static_cast<DWORD>(10 * i);
    folder.subFolderCount = static_cast<INT>(i + 100);
  }
  ASSERT_EQ(w.mail->OpenSession(), 1);
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  ASSERT_EQ(w.mail->GetFolderCount(), static_cast<int32_t>(kinds.size()));
  for (size_t i = 0; i < kinds.size(); ++i) {
    const int32_t index = static_cast<int32_t>(i);
    SCOPED_TRACE(kinds[i].sfType);
    EXPECT_EQ(w.mail->GetFolderType(index), kinds[i].expected);
    EXPECT_EQ(w.mail->GetFolderUnreads(index), index);
    EXPECT_EQ(w.mail->GetFolderMessageCount(index), 10 * index);
    EXPECT_EQ(w.mail->GetFolderSubFolderCount(index), index + 100);
  }
  w.EndAndCheck();
}

// A store that fills the whole name field without a terminating zero: the
// name is read within the field and no further.
TEST(FolderQueries, AnUnterminatedNameIsCutAtTheEndOfItsField) {
  struct FullNames : vorn_fakes::ForwardingStoreNamespace {
    using ForwardingStoreNamespace::ForwardingStoreNamespace;
    HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                              LPHENUMSTORE enumeration) override {
      const HRESULT hr = inner()->GetFirstSubFolder(parentId, props, enumeration);
      if (hr == S_OK) std::memset(props->szName, 'n', sizeof props->szName);
      return hr;
    }
  };
  MailWorld w;
  w.store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX);
  w.store.wrapNamespace = [](ComPtr<IStoreNamespace> inner) {
    return vorn_fakes::MakeForwarding<FullNames>(std::move(inner));
  };
  ASSERT_EQ(w.mail->OpenSession(), 1);
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  EXPECT_EQ(w.mail->GetFolderName(0), std::string(CCH_FOLDER_NAME, 'n'));
  w.EndAndCheck();
}

TEST(FolderChanges, EachChangeRebuildsTheWholeList) {
  TreeWorld w;
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);

  EXPECT_EQ(w.mail->CreateFolder(static_cast<int32_t>(w.q), "Q1"), 1);
  EXPECT_EQ(w.env.log.Last("CreateFolder").Num("parentId"), w.q);
  EXPECT_EQ(w.env.log.Last("CreateFolder").Num("flags"), 0u);
  EXPECT_THAT(FolderTree(*w.mail), ElementsAre("P/0", "P1/1", "P2/1", "P2a/2", "P3/1", "Q/0",
                                               "Q1/1", "R/0", "R1/1"));

  EXPECT_EQ(w.mail->RenameFolder(static_cast<int32_t>(w.p1), "Renamed"), 1);
  EXPECT_EQ(w.env.log.Last("RenameFolder").Num("reserved"), 0u);
  EXPECT_EQ(w.mail->GetFolderName(1), "Renamed");

  EXPECT_EQ(w.mail->RemoveFolder(static_cast<int32_t>(w.p2a)), 1);
  EXPECT_EQ(w.env.log.Last("DeleteFolder").Num("flags"), 0u);
  EXPECT_THAT(FolderTree(*w.mail), ElementsAre("P/0", "Renamed/1", "P2/1", "P3/1", "Q/0",
                                               "Q1/1", "R/0", "R1/1"));
  w.EndAndCheck();
}

TEST(FolderChanges, RefusalsAndBadNamesChangeNothing) {
  TreeWorld w;
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  w.env.log.ClearCalls();

  // An empty new name is refused before the store is asked.
  EXPECT_EQ(w.mail->CreateFolder(0, ""), 0);
  EXPECT_THAT(w.env.log.Methods(), IsEmpty());

  // A rename passes any name on; the store refuses an empty one.
  EXPECT_EQ(w.mail->RenameFolder(static_cast<int32_t>(w.q), ""), 0);
  EXPECT_EQ(w.env.log.Last("RenameFolder").Str("name"), "");

  // Refused by the store: the list is not rebuilt.
  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->CreateFolder(static_cast<int32_t>(w.p), "P1"), 0);  // duplicate
  EXPECT_EQ(w.mail->RemoveFolder(static_cast<int32_t>(w.p)), 0);        // has subfolders
  EXPECT_EQ(w.mail->RemoveFolder(4242), 0);                             // unknown
  EXPECT_EQ(w.env.log.Count("GetFirstSubFolder"), 0);
  EXPECT_EQ(FolderTree(*w.mail), kWholeTree);
  w.EndAndCheck();
}

TEST(FolderChanges, AChangeWhoseRebuildFailsReportsFailureWithAnEmptyList) {
  TreeWorld w;
  ASSERT_EQ(w.mail->RebuildFolderList(), 1);
  w.env.faults.FailCall("GetFirstSubFolder", 1);
  EXPECT_EQ(w.mail->CreateFolder(0, "Made"), 0);
  EXPECT_TRUE(w.store.FindFolder(FOLDERID_ROOT, "Made").has_value());
  EXPECT_EQ(w.mail->GetFolderCount(), 0);
  // The next successful change brings the whole list back.
  EXPECT_EQ(w.mail->RenameFolder(static_cast<int32_t>(*w.store.FindFolder(0, "Made")), "M"), 1);
  EXPECT_EQ(w.mail->GetFolderCount(), 9);
  w.EndAndCheck();
}

TEST(FolderChanges, TheCurrentFolderAndItsMessagesAreNotTouched) {
  TreeWorld w;
  w.store.AddMessage(w.q).subject = "kept";
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.q)), 1);
  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->RenameFolder(static_cast<int32_t>(w.q), "Q renamed"), 1);
  EXPECT_EQ(w.env.log.Count("GetFirstMessage"), 0);
  EXPECT_THAT(vorn_test::Subjects(*w.mail), ElementsAre("kept"));
  EXPECT_NE(MailStoreTestPeer::CurrentFolder(*w.mail), nullptr);
  w.EndAndCheck();
}

}  // namespace
