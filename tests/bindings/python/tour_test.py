"""The control from Python in a fresh root set up as scripts/run sets one up:
the Python examples print what the JavaScript examples print, and the tour's
steps (read, then change and put back) work through the module."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = tempfile.mkdtemp(prefix="vorn-python-tour-")
os.environ["VORN_ROOT"] = ROOT
import vorn  # noqa: E402  (the root must be set first)

SOURCE = os.environ["VORN_TEST_SOURCE"]
PROGID = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1"


def setUpModule():
    # The tools are programs of the build: a sanitizer runtime preloaded for
    # this interpreter is not for them.
    subprocess.run([os.path.join(SOURCE, "scripts", "setup-root"),
                    "--bin", os.environ["VORN_TEST_BIN"]], check=True, capture_output=True,
                   env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


def golden(name):
    with open(os.path.join(SOURCE, "tests", "e2e", "golden", name), encoding="utf-8") as f:
        return f.read()


class ExamplesTest(unittest.TestCase):
    def run_example(self, *args):
        script = os.path.join(SOURCE, "examples", "python", args[0])
        return subprocess.run([sys.executable, script, *args[1:]], capture_output=True,
                              encoding="utf-8", check=False)

    def test_examples_print_what_the_javascript_examples_print(self):
        cases = [
            (("list_folders.py",), "list-folders.out"),
            (("read_message.py", "Inbox", "4"), "read-message-inbox-4.out"),
            (("read_message.py", "Archive/2025", "--id", "7"), "read-message-id-7.out"),
            (("read_message.py", "Archive/2025", "0", "--raw"), "read-message-raw.out"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = self.run_example(*args)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertEqual(result.stdout, golden(expected))
        missing = self.run_example("read_message.py", "Nowhere")
        self.assertEqual((missing.returncode, missing.stderr), (1, 'no folder "Nowhere"\n'))


class TourTest(unittest.TestCase):
    def test_the_tours_steps(self):
        with vorn.Dispatch(PROGID) as c:
            self.assertIs(c.InitControl(), True)
            folders = {c.GetFolderName(i): c.GetFolderId(i) for i in range(c.GetFolderCount())}
            start = len(folders)
            inbox = folders["Inbox"]
            self.assertTrue(c.SetFolder(inbox))
            self.assertEqual(c.GetMessageCount(), 5)
            with_attachments = [i for i in range(5)
                                if c.SetMessage(c.GetMessageId(i)) and c.GetAttachmentCount()]
            self.assertTrue(with_attachments)
            self.assertTrue(c.GetBody())
            self.assertGreater(c.GetContactCount(), 0)
            self.assertTrue(c.GetContactEmail(0))

            def folder(name):
                names = [c.GetFolderName(i) for i in range(c.GetFolderCount())]
                return c.GetFolderId(names.index(name))

            self.assertTrue(c.CreateFolder(0, "Tour"))
            tour = folder("Tour")
            self.assertTrue(c.CreateFolder(tour, "Notes"))
            notes = folder("Notes")
            self.assertTrue(c.RenameFolder(notes, "Old notes"))
            self.assertTrue(c.RemoveFolder(notes))

            self.assertTrue(c.CreateMessage(tour, "Tour Guide <guide@example.org>",
                                            "Bob Keller <bob.keller@example.net>",
                                            "Written by the tour \u00e9t\u00e9",
                                            "Made from Python.\r\n"))
            self.assertEqual(c.GetMessageSubject(0), "Written by the tour \u00e9t\u00e9")
            made = c.GetMessageId(0)
            self.assertTrue(c.MarkMessagesAsRead(made))
            self.assertTrue(c.CopyMessage(made, inbox))
            self.assertTrue(c.SetFolder(inbox))
            self.assertEqual(c.GetMessageCount(), 6)
            copy = next(c.GetMessageId(i) for i in range(6)
                        if c.GetMessageSubject(i).startswith("Written by the tour"))
            self.assertTrue(c.MoveMessage(copy, tour))
            self.assertEqual(c.GetMessageCount(), 5)
            self.assertTrue(c.SetFolder(tour))
            for i in reversed(range(c.GetMessageCount())):
                self.assertTrue(c.RemoveMessage(c.GetMessageId(i)))
            self.assertTrue(c.RemoveFolder(tour))
            self.assertEqual(c.GetFolderCount(), start)
            self.assertEqual(c.GetFolderName(-1), "")


if __name__ == "__main__":
    unittest.main()
