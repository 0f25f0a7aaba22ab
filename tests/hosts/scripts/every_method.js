// Every method of the control once with a normal argument and once with one
// out of range (an index past the list, an identifier the store never gave).
// The root holds the store's new folders, one seeded multipart message in
// the Inbox and two contacts.
var c = new ActiveXObject("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1");
var NO_ID = 999999;

echo("InitControl", c.InitControl());

var n = c.GetFolderCount();
echo("GetFolderCount", n);
for (var i = 0; i < n; ++i) {
  echo("folder", i, c.GetFolderName(i), c.GetFolderId(i), c.GetFolderType(i),
       c.GetFolderHierarchy(i), c.GetFolderMessageCount(i), c.GetFolderSubFolderCount(i),
       c.GetFolderUnreads(i));
}
echo("folder", n, JSON.stringify(c.GetFolderName(n)), c.GetFolderId(n), c.GetFolderType(n),
     c.GetFolderHierarchy(n), c.GetFolderMessageCount(n), c.GetFolderSubFolderCount(n),
     c.GetFolderUnreads(n));
echo("folder", -1, JSON.stringify(c.GetFolderName(-1)), c.GetFolderId(-1));

function folderId(name) {
  for (var i = 0; i < c.GetFolderCount(); ++i) {
    if (c.GetFolderName(i) === name) return c.GetFolderId(i);
  }
  return -1;
}
var inbox = folderId("Inbox");

echo("CreateFolder", c.CreateFolder(inbox, "Projekte \u00e9t\u00e9"), c.CreateFolder(NO_ID, "X"));
var projects = folderId("Projekte \u00e9t\u00e9");
echo("RenameFolder", c.RenameFolder(projects, "Plans"), c.RenameFolder(NO_ID, "Y"));
var plans = folderId("Plans");
echo("after rename", plans === projects, c.GetFolderCount());

echo("CreateMessage", c.CreateMessage(inbox, "Ann <ann@example.org>", "Bob <bob@example.org>",
                                      "Plain note", "Just text.\r\n"),
     c.CreateMessage(NO_ID, "a", "b", "c", "d"));

echo("SetFolder", c.SetFolder(NO_ID), c.SetFolder(inbox));
var m = c.GetMessageCount();
echo("GetMessageCount", m);
for (var i = 0; i < m; ++i) {
  var received = c.GetMessageReceivedTime(i);
  echo("message", i, c.GetMessageId(i) > 0, c.GetMessageSubject(i), "|",
       c.GetMessageNormalSubject(i), "|", c.GetMessageDisplayFrom(i), "|",
       c.GetMessageDisplayTo(i), "|", c.GetMessageSentTime(i), "|",
       /^\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}$/.test(received), "|",
       c.GetMessageLanguage(i));
}
echo("message", m, c.GetMessageId(m), JSON.stringify(c.GetMessageSubject(m)),
     JSON.stringify(c.GetMessageNormalSubject(-1)), JSON.stringify(c.GetMessageDisplayFrom(m)),
     JSON.stringify(c.GetMessageDisplayTo(m)), JSON.stringify(c.GetMessageSentTime(m)),
     JSON.stringify(c.GetMessageReceivedTime(m)), c.GetMessageLanguage(m));

function messageId(subject) {
  for (var i = 0; i < c.GetMessageCount(); ++i) {
    if (c.GetMessageSubject(i) === subject) return c.GetMessageId(i);
  }
  return -1;
}
var seeded = messageId("Grüße mit Anhang");
var plain = messageId("Plain note");

echo("SetMessage", c.SetMessage(NO_ID), c.GetAttachmentCount(), JSON.stringify(c.GetBody()));
echo("SetMessage", c.SetMessage(seeded));
echo("GetBody", JSON.stringify(c.GetBody()));
var a = c.GetAttachmentCount();
echo("GetAttachmentCount", a);
echo("GetAttachmentName", c.GetAttachmentName(0), JSON.stringify(c.GetAttachmentName(a)),
     JSON.stringify(c.GetAttachmentName(-1)));

echo("MarkMessagesAsRead", c.MarkMessagesAsRead(plain), c.MarkMessagesAsRead(NO_ID),
     c.GetFolderUnreads(0));
echo("MarkMessagesAsUnRead", c.MarkMessagesAsUnRead(plain), c.MarkMessagesAsUnRead(NO_ID),
     c.GetFolderUnreads(0));

// The raw text goes to standard output from the control itself, between the
// lines echo prints.
echo("GetMessageContent follows");
var text = c.GetMessageContent(plain);
echo("GetMessageContent returned", text.length > 0, JSON.stringify(c.GetMessageContent(NO_ID)));

echo("CopyMessage", c.CopyMessage(plain, plans), c.CopyMessage(NO_ID, plans),
     c.CopyMessage(plain, NO_ID), c.GetMessageCount());
echo("MoveMessage", c.MoveMessage(plain, plans), c.MoveMessage(NO_ID, plans),
     c.GetMessageCount());
echo("RemoveMessage", c.RemoveMessage(seeded), c.RemoveMessage(NO_ID), c.GetMessageCount());
echo("SetFolder", c.SetFolder(plans), c.GetMessageCount());
echo("RemoveFolder", c.RemoveFolder(NO_ID), c.RemoveFolder(plans), c.GetFolderCount());

var k = c.GetContactCount();
echo("GetContactCount", k);
for (var i = 0; i < k; ++i) {
  echo("contact", i, c.GetContactDisplayName(i), "|", c.GetContactNickname(i), "|",
       c.GetContactEmail(i));
}
echo("contact", k, JSON.stringify(c.GetContactDisplayName(k)),
     JSON.stringify(c.GetContactNickname(-1)), JSON.stringify(c.GetContactEmail(k)));

echo("AboutBox", c.AboutBox());
echo("InitControl again", c.InitControl(), c.GetFolderCount());
