// Lists the folders of the store as a tree, with each folder's identifier,
// kind and counts.
//
//   scripts/run examples/list-folders.js
//   vornhost examples/list-folders.js

var c = new ActiveXObject("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1");
if (!c.InitControl()) throw new Error("InitControl failed: the store cannot be opened");

// GetFolderType: 1 to 5 for the special folders, -1 for an ordinary one.
var KINDS = { "1": "inbox", "2": "outbox", "3": "sent", "4": "deleted", "5": "drafts",
              "-1": "" };

function pad(text, columns, right) {
  text = String(text);
  while (text.length < columns) text = right ? " " + text : text + " ";
  return text;
}

echo(pad("Id", 5, true) + "  " + pad("Kind", 8) + pad("Messages", 9, true) +
     pad("Unread", 8, true) + "  Folder");
var messages = 0;
for (var i = 0; i < c.GetFolderCount(); ++i) {
  var kind = KINDS[String(c.GetFolderType(i))];
  var indent = "";
  for (var d = 0; d < c.GetFolderHierarchy(i); ++d) indent += "  ";
  var subfolders = c.GetFolderSubFolderCount(i);
  echo(pad(c.GetFolderId(i), 5, true) + "  " +
       pad(kind === undefined ? "?" : kind, 8) +
       pad(c.GetFolderMessageCount(i), 9, true) + pad(c.GetFolderUnreads(i), 8, true) + "  " +
       indent + c.GetFolderName(i) + (subfolders > 0 ? "/" : ""));
  messages += c.GetFolderMessageCount(i);
}
echo(c.GetFolderCount() + " folders, " + messages + " messages");
