// Reads one message: its header fields, its body text and the names of its
// attachments; with --raw, the stored text as the control itself writes it
// to standard output (GetMessageContent, 99 bytes a line).
//
//   vornhost examples/read-message.js FOLDER [INDEX] [--raw]
//   vornhost examples/read-message.js FOLDER --id ID [--raw]
//   scripts/run examples/read-message.js Inbox 2
//
// FOLDER is a folder name, or a path of names from the top (Archive/2025).
// INDEX is the message's zero-based position in the folder (default 0); ID is
// the identifier the store gave the message (examples/tour.js shows them).

var USAGE = "usage: read-message.js FOLDER [INDEX | --id ID] [--raw]";

function usage(problem) {
  echo(problem);
  echo(USAGE);
  host.quit(2);
}

var args = host.arguments;
var folderName = null;
var index = null;
var id = null;
var raw = false;
for (var i = 0; i < args.length; ++i) {
  var arg = args[i];
  if (arg === "--raw") {
    raw = true;
  } else if (arg === "--id") {
    if (++i >= args.length || !/^\d+$/.test(args[i])) usage("--id needs a message identifier");
    id = Number(args[i]);
  } else if (folderName === null) {
    folderName = arg;
  } else if (index === null && /^\d+$/.test(arg)) {
    index = Number(arg);
  } else {
    usage("unexpected argument \"" + arg + "\"");
  }
}
if (folderName === null) usage("no folder given");
if (index !== null && id !== null) usage("give an index or --id, not both");

var c = new ActiveXObject("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1");
if (!c.InitControl()) throw new Error("InitControl failed: the store cannot be opened");

// The folder list is in depth-first order, each folder with its depth, so the
// path of a folder is the names of the last folder seen at each depth above it.
function findFolder(path) {
  var names = path.split("/").filter(function (name) { return name !== ""; });
  var above = [];
  for (var i = 0; i < c.GetFolderCount(); ++i) {
    var depth = c.GetFolderHierarchy(i);
    above.length = depth;
    above.push(c.GetFolderName(i));
    if (names.length === 1 ? above[depth] === names[0] : above.join("/") === names.join("/")) {
      return c.GetFolderId(i);
    }
  }
  return -1;
}

var folder = findFolder(folderName);
if (folder === -1) throw new Error("no folder \"" + folderName + "\"");
if (!c.SetFolder(folder)) throw new Error("cannot open the folder \"" + folderName + "\"");

var count = c.GetMessageCount();
if (id === null) {
  if (index === null) index = 0;
  if (index >= count) {
    throw new Error("\"" + folderName + "\" holds " + count + " messages; there is no index " +
                    index);
  }
  id = c.GetMessageId(index);
} else {
  index = -1;
  for (var i = 0; i < count; ++i) {
    if (c.GetMessageId(i) === id) index = i;
  }
  if (index < 0) throw new Error("\"" + folderName + "\" holds no message with identifier " + id);
}

if (raw) {
  // The control itself writes the stored text to standard output.
  if (c.GetMessageContent(id) === "") throw new Error("cannot read message " + id);
  host.quit(0);
}

if (!c.SetMessage(id)) throw new Error("cannot open message " + id + " as a MIME message");
echo("Folder:    " + folderName + " (message " + index + " of " + count + ", identifier " + id +
     ")");
echo("Subject:   " + c.GetMessageSubject(index));
echo("From:      " + c.GetMessageDisplayFrom(index));
echo("To:        " + c.GetMessageDisplayTo(index));
echo("Sent:      " + c.GetMessageSentTime(index) + " (UTC)");
echo("Received:  " + c.GetMessageReceivedTime(index) + " (UTC)");
echo("");
echo(c.GetBody().replace(/\r\n/g, "\n").replace(/\n$/, ""));
var attachments = c.GetAttachmentCount();
if (attachments > 0) {
  echo("");
  echo("Attachments:");
  for (var i = 0; i < attachments; ++i) echo("  " + c.GetAttachmentName(i));
}
