// A tour of the control: its folders, the messages of the Inbox, one message
// read whole, the contacts, and then a folder and a message made, changed and
// removed again, so that the store ends as the tour found it.
//
//   scripts/run                      (runs this tour)
//   vornhost examples/tour.js        (against a root set up already)

var PROGID = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";
var TOUR_FOLDER = "Tour";
var TOUR_SUBJECT = "Written by the tour";

var c = new ActiveXObject(PROGID);

// Display width of a text: characters of the wide East Asian ranges take two
// columns on a terminal.
function width(text) {
  var n = 0;
  for (var i = 0; i < text.length; ++i) {
    var u = text.charCodeAt(i);
    var wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) ||
               (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
               (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
               (u >= 0xFFE0 && u <= 0xFFE6);
    n += wide ? 2 : 1;
  }
  return n;
}

function pad(text, columns) {
  text = String(text);
  for (var n = width(text); n < columns; ++n) text += " ";
  return text;
}

function plural(n, one, many) { return n + " " + (n === 1 ? one : many); }

// "2026-3-5 9:2:0", as the control gives times, becomes "2026-03-05 09:02".
function shortTime(text) {
  var p = /^(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)$/.exec(text);
  if (!p) return text;
  function two(s) { return s.length < 2 ? "0" + s : s; }
  return p[1] + "-" + two(p[2]) + "-" + two(p[3]) + " " + two(p[4]) + ":" + two(p[5]);
}

function heading(text) {
  echo("");
  echo(text);
  var line = "";
  for (var i = 0; i < width(text); ++i) line += "-";
  echo(line);
}

// Position in the folder list of the folder called `name` at `depth`; -1 if none.
function folderIndex(name, depth) {
  for (var i = 0; i < c.GetFolderCount(); ++i) {
    if (c.GetFolderName(i) === name && c.GetFolderHierarchy(i) === depth) return i;
  }
  return -1;
}

function folderId(name, depth) {
  var i = folderIndex(name, depth);
  return i < 0 ? -1 : c.GetFolderId(i);
}

// Identifiers of the current folder's messages with the given subject.
function messagesWithSubject(subject) {
  var ids = [];
  for (var i = 0; i < c.GetMessageCount(); ++i) {
    if (c.GetMessageSubject(i) === subject) ids.push(c.GetMessageId(i));
  }
  return ids;
}

function check(what, ok) {
  if (!ok) throw new Error(what + " failed");
}

// ---------------------------------------------------------------------------
echo("A tour of the control " + PROGID);
var opened = c.InitControl();
echo("InitControl opened the store, read the folder tree and the contacts: " + opened);
check("InitControl", opened);

// What an earlier tour left behind when it was stopped half-way.
var leftTour = folderId(TOUR_FOLDER, 0);
if (leftTour !== -1) c.RemoveFolder(leftTour);
var inbox = folderId("Inbox", 0);
check("finding the Inbox", inbox !== -1);
c.SetFolder(inbox);
var leftCopies = messagesWithSubject(TOUR_SUBJECT);
for (var i = 0; i < leftCopies.length; ++i) c.RemoveMessage(leftCopies[i]);
if (leftTour !== -1 || leftCopies.length > 0) {
  echo("(removed what an interrupted tour had left in the store)");
  c.InitControl();  // the folder list's counts are those of its last walk
}
var foldersAtStart = c.GetFolderCount();

heading("1. Folders: GetFolderCount, GetFolderName, GetFolderHierarchy, ...");
echo(plural(foldersAtStart, "folder", "folders") + ", in the order of the tree:");
for (var i = 0; i < foldersAtStart; ++i) {
  var depth = c.GetFolderHierarchy(i);
  var indent = "";
  for (var d = 0; d < depth; ++d) indent += "  ";
  var counts = plural(c.GetFolderMessageCount(i), "message", "messages");
  if (c.GetFolderUnreads(i) > 0) counts += ", " + c.GetFolderUnreads(i) + " unread";
  if (c.GetFolderSubFolderCount(i) > 0) {
    counts += ", " + plural(c.GetFolderSubFolderCount(i), "subfolder", "subfolders");
  }
  echo("  " + pad(indent + c.GetFolderName(i), 18) + " depth " + depth + "  " + counts);
}

heading("2. The Inbox: SetFolder, GetMessageCount, GetMessageSubject, ...");
check("SetFolder(Inbox)", c.SetFolder(inbox));
var messages = c.GetMessageCount();
echo("SetFolder made the Inbox current; it holds " + plural(messages, "message", "messages") +
     ":");
echo("  " + pad("Id", 4) + pad("Sent (UTC)", 18) + pad("From", 24) + "Subject");
for (var i = 0; i < messages; ++i) {
  echo("  " + pad(c.GetMessageId(i), 4) + pad(shortTime(c.GetMessageSentTime(i)), 18) +
       pad(c.GetMessageDisplayFrom(i), 24) + c.GetMessageSubject(i));
}

heading("3. One message: SetMessage, GetBody, GetAttachmentName, ...");
// The first message of the Inbox that has attachments, else the first one.
var chosen = -1;
for (var i = 0; i < messages && chosen < 0; ++i) {
  if (c.SetMessage(c.GetMessageId(i)) && c.GetAttachmentCount() > 0) chosen = i;
}
if (chosen < 0) chosen = 0;
if (messages > 0 && c.SetMessage(c.GetMessageId(chosen))) {
  echo("Subject:        " + c.GetMessageSubject(chosen));
  echo("Normal subject: " + c.GetMessageNormalSubject(chosen));
  echo("From:           " + c.GetMessageDisplayFrom(chosen));
  echo("To:             " + c.GetMessageDisplayTo(chosen));
  echo("Sent:           " + c.GetMessageSentTime(chosen) + " (UTC)");
  echo("Code page:      " + c.GetMessageLanguage(chosen));
  echo("Body:");
  var lines = c.GetBody().replace(/\r\n/g, "\n").replace(/\n$/, "").split("\n");
  for (var i = 0; i < lines.length; ++i) echo("  | " + lines[i]);
  var attachments = c.GetAttachmentCount();
  echo(plural(attachments, "attachment", "attachments") + (attachments ? ":" : ""));
  for (var i = 0; i < attachments; ++i) echo("  " + c.GetAttachmentName(i));
} else {
  echo("(the Inbox is empty)");
}

heading("4. Contacts: GetContactCount, GetContactDisplayName, ...");
var contacts = c.GetContactCount();
echo(plural(contacts, "contact", "contacts") + " in the address book:");
for (var i = 0; i < contacts; ++i) {
  var nickname = c.GetContactNickname(i);
  echo("  " + pad(c.GetContactDisplayName(i) + (nickname ? " (" + nickname + ")" : ""), 26) +
       c.GetContactEmail(i));
}

heading("5. Folders change: CreateFolder, RenameFolder, RemoveFolder");
echo("CreateFolder(0, \"" + TOUR_FOLDER + "\"): " + c.CreateFolder(0, TOUR_FOLDER));
var tour = folderId(TOUR_FOLDER, 0);
check("finding the new folder", tour !== -1);
echo("CreateFolder(" + TOUR_FOLDER + ", \"Notes\"): " + c.CreateFolder(tour, "Notes"));
var notes = folderId("Notes", 1);
echo("  now " + plural(c.GetFolderCount(), "folder", "folders") + "; " + TOUR_FOLDER +
     " has " + plural(c.GetFolderSubFolderCount(folderIndex(TOUR_FOLDER, 0)), "subfolder",
                      "subfolders") + ", Notes is at depth " +
     c.GetFolderHierarchy(folderIndex("Notes", 1)));
echo("RenameFolder(Notes, \"Old notes\"): " + c.RenameFolder(notes, "Old notes"));
echo("  the folder keeps its identifier: " + (folderId("Old notes", 1) === notes));
echo("RemoveFolder(Old notes): " + c.RemoveFolder(notes));
echo("  now " + plural(c.GetFolderCount(), "folder", "folders"));

heading("6. Messages change: CreateMessage, MarkMessagesAsRead, CopyMessage, MoveMessage");
echo("CreateMessage(" + TOUR_FOLDER + ", ...): " +
     c.CreateMessage(tour, "Tour Guide <guide@example.org>",
                     "Bob Keller <bob.keller@example.net>", TOUR_SUBJECT,
                     "This message was made by examples/tour.js.\r\n"));
echo("  " + TOUR_FOLDER + " is now the current folder, with " +
     plural(c.GetMessageCount(), "message", "messages") + ": \"" + c.GetMessageSubject(0) +
     "\" from " + c.GetMessageDisplayFrom(0));
var made = messagesWithSubject(TOUR_SUBJECT)[0];
echo("GetMessageContent writes the stored text to standard output, 99 bytes a line,");
echo("and returns it:");
var raw = c.GetMessageContent(made);
echo("  (" + raw.length + " characters returned)");

// The folder list is a snapshot of the last walk of the tree; InitControl
// walks it again (and leaves no folder current).
function unreadInTour() {
  c.InitControl();
  var n = c.GetFolderUnreads(folderIndex(TOUR_FOLDER, 0));
  c.SetFolder(tour);
  return n;
}
echo("  unread in " + TOUR_FOLDER + ": " + unreadInTour());
echo("MarkMessagesAsRead: " + c.MarkMessagesAsRead(made) + "; unread in " + TOUR_FOLDER +
     ": " + unreadInTour());
echo("MarkMessagesAsUnRead: " + c.MarkMessagesAsUnRead(made) + "; unread in " + TOUR_FOLDER +
     ": " + unreadInTour());

echo("CopyMessage(to the Inbox): " + c.CopyMessage(made, inbox) + "; " + TOUR_FOLDER +
     " still holds " + plural(c.GetMessageCount(), "message", "messages"));
c.SetFolder(inbox);
var copy = messagesWithSubject(TOUR_SUBJECT)[0];
echo("  the Inbox holds " + plural(c.GetMessageCount(), "message", "messages") +
     ", the copy under a new identifier: " + (copy !== made));
echo("MoveMessage(the copy, back to " + TOUR_FOLDER + "): " + c.MoveMessage(copy, tour) +
     "; the Inbox holds " + plural(c.GetMessageCount(), "message", "messages"));
c.SetFolder(tour);
echo("  " + TOUR_FOLDER + " holds " + plural(c.GetMessageCount(), "message", "messages"));

heading("7. Leaving the store as it was: RemoveMessage, RemoveFolder");
var removed = messagesWithSubject(TOUR_SUBJECT);
for (var i = 0; i < removed.length; ++i) {
  echo("RemoveMessage: " + c.RemoveMessage(removed[i]));
}
echo("  " + TOUR_FOLDER + " holds " + plural(c.GetMessageCount(), "message", "messages"));
echo("RemoveFolder(" + TOUR_FOLDER + "): " + c.RemoveFolder(tour));
echo("  " + plural(c.GetFolderCount(), "folder", "folders") + ", as at the start: " +
     (c.GetFolderCount() === foldersAtStart));
