"""Reads one message: its header fields, its body text and the names of its
attachments; with --raw, the stored text as the control itself writes it to
standard output (GetMessageContent, 99 bytes a line).

    read_message.py FOLDER [INDEX] [--raw]
    read_message.py FOLDER --id ID [--raw]

FOLDER is a folder name, or a path of names from the top (Archive/2025).
INDEX is the message's zero-based position in the folder (default 0); ID is
the identifier the store gave the message.
"""
import sys

import vorn

USAGE = "usage: read_message.py FOLDER [INDEX | --id ID] [--raw]"


def usage(problem):
    print(problem)
    print(USAGE)
    sys.exit(2)


def parse(args):
    folder, index, ident, raw = None, None, None, False
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--raw":
            raw = True
        elif arg == "--id":
            i += 1
            if i >= len(args) or not args[i].isdigit():
                usage("--id needs a message identifier")
            ident = int(args[i])
        elif folder is None:
            folder = arg
        elif index is None and arg.isdigit():
            index = int(arg)
        else:
            usage(f'unexpected argument "{arg}"')
        i += 1
    if folder is None:
        usage("no folder given")
    if index is not None and ident is not None:
        usage("give an index or --id, not both")
    return folder, index, ident, raw


def find_folder(c, path):
    """The folder list is in depth-first order, each folder with its depth, so
    the path of a folder is the names of the last folder seen at each depth
    above it."""
    names = [name for name in path.split("/") if name]
    above = []
    for i in range(c.GetFolderCount()):
        depth = c.GetFolderHierarchy(i)
        del above[depth:]
        above.append(c.GetFolderName(i))
        if (above[depth] == names[0]) if len(names) == 1 else above == names:
            return c.GetFolderId(i)
    return -1


def main(args):
    folder_name, index, ident, raw = parse(args)
    with vorn.Dispatch("VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1") as c:
        if not c.InitControl():
            sys.exit("InitControl failed: the store cannot be opened")
        folder = find_folder(c, folder_name)
        if folder == -1:
            sys.exit(f'no folder "{folder_name}"')
        if not c.SetFolder(folder):
            sys.exit(f'cannot open the folder "{folder_name}"')

        count = c.GetMessageCount()
        if ident is None:
            index = index or 0
            if index >= count:
                sys.exit(f'"{folder_name}" holds {count} messages; there is no index {index}')
            ident = c.GetMessageId(index)
        else:
            found = [i for i in range(count) if c.GetMessageId(i) == ident]
            if not found:
                sys.exit(f'"{folder_name}" holds no message with identifier {ident}')
            index = found[-1]

        if raw:
            # The control itself writes the stored text to standard output.
            if c.GetMessageContent(ident) == "":
                sys.exit(f"cannot read message {ident}")
            return

        if not c.SetMessage(ident):
            sys.exit(f"cannot open message {ident} as a MIME message")
        print(f"Folder:    {folder_name} (message {index} of {count}, identifier {ident})")
        print(f"Subject:   {c.GetMessageSubject(index)}")
        print(f"From:      {c.GetMessageDisplayFrom(index)}")
        print(f"To:        {c.GetMessageDisplayTo(index)}")
        print(f"Sent:      {c.GetMessageSentTime(index)} (UTC)")
        print(f"Received:  {c.GetMessageReceivedTime(index)} (UTC)")
        print()
        body = c.GetBody().replace("\r\n", "\n")
        print(body[:-1] if body.endswith("\n") else body)
        attachments = c.GetAttachmentCount()
        if attachments > 0:
            print()
            print("Attachments:")
            for i in range(attachments):
                print(f"  {c.GetAttachmentName(i)}")


if __name__ == "__main__":
    main(sys.argv[1:])
