"""Lists the folders of the store as a tree, with each folder's identifier,
kind and counts.

    PYTHONPATH=build/bin /usr/bin/python3 examples/python/list_folders.py
"""
import vorn

# GetFolderType: 1 to 5 for the special folders, -1 for an ordinary one.
KINDS = {1: "inbox", 2: "outbox", 3: "sent", 4: "deleted", 5: "drafts", -1: ""}

with vorn.Dispatch("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1") as c:
    if not c.InitControl():
        raise SystemExit("InitControl failed: the store cannot be opened")

    print(f"{'Id':>5}  {'Kind':<8}{'Messages':>9}{'Unread':>8}  Folder")
    messages = 0
    for i in range(c.GetFolderCount()):
        kind = KINDS.get(c.GetFolderType(i), "?")
        indent = "  " * c.GetFolderHierarchy(i)
        slash = "/" if c.GetFolderSubFolderCount(i) > 0 else ""
        print(f"{c.GetFolderId(i):>5}  {kind:<8}{c.GetFolderMessageCount(i):>9}"
              f"{c.GetFolderUnreads(i):>8}  {indent}{c.GetFolderName(i)}{slash}")
        messages += c.GetFolderMessageCount(i)
    print(f"{c.GetFolderCount()} folders, {messages} messages")
