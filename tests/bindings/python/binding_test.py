"""The module's own work against the hosts' test object (Vorn.TestThing):
conversions both ways, each kind of error, members, events, and release by
`with` and by collection."""
import gc
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = tempfile.mkdtemp(prefix="vorn-python-")
os.environ["VORN_ROOT"] = ROOT
import vorn  # noqa: E402  (the root must be set first)

# The tools are programs of the build: a sanitizer runtime preloaded for this
# interpreter is not for them.
TOOL_ENVIRONMENT = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
PROGID = "Vorn.TestThing"
E_FAIL = -0x7FFFBFFB  # 0x80004005
CONNECT_E_ADVISELIMIT = -0x7FFBFDFF  # 0x80040201, the code Raise gives
REGDB_E_CLASSNOTREG = -0x7FFBFEAC  # 0x80040154
CO_E_CLASSSTRING = -0x7FFBFE0D  # 0x800401F3
DISP_E_TYPEMISMATCH = -0x7FFDFFFB  # 0x80020005


def setUpModule():
    subprocess.run([os.path.join(os.environ["VORN_TEST_BIN"], "vornreg"),
                    os.environ["VORN_TEST_THING"]], check=True, capture_output=True,
                   env=TOOL_ENVIRONMENT)


def tearDownModule():
    gc.collect()
    shutil.rmtree(ROOT, ignore_errors=True)


def live():
    """TestThings alive in this process, counted by a fresh one."""
    with vorn.Dispatch(PROGID) as counter:
        return counter.Count() - 1


class ConversionTest(unittest.TestCase):
    def setUp(self):
        self.t = vorn.Dispatch(PROGID)

    def test_python_values_reach_the_object_as_their_variant(self):
        cases = [
            (42, "I4 42"), (-2**31, "I4 -2147483648"), (2**32 - 1, "VT 19"),
            (True, "BOOL -1"), (False, "BOOL 0"), (2.5, "R8 2.5"),
            ("abc", "BSTR abc (3 units)"), ("a\U0001F600", "BSTR a\U0001F600 (3 units)"),
            ("", "BSTR  (0 units)"), (None, "NULL"), (self.t, "DISPATCH TestThing"),
        ]
        for value, described in cases:
            with self.subTest(value=value):
                self.assertEqual(self.t.Describe(value), described)

    def test_variants_come_back_as_python_values(self):
        cases = [
            ("i2", -5, int), ("ui1", 200, int), ("i8", 1 << 40, int), ("byref", 77, int),
            ("error", E_FAIL, int), ("true", True, bool), ("false", False, bool),
            ("r4", 1.5, float), ("text", "a\U0001F600\u00e9", str), ("nulltext", "", str),
            ("empty", None, type(None)), ("null", None, type(None)),
            ("nothing", None, type(None)),
        ]
        for kind, expected, kind_type in cases:
            with self.subTest(kind=kind):
                value = self.t.Make(kind)
                self.assertIs(type(value), kind_type)
                self.assertEqual(value, expected)
        same = self.t.Make("self")
        self.assertIsInstance(same, vorn.Dispatch)
        self.assertEqual(same.Add(2, 3), 5)

    def test_bad_arguments_raise_python_errors_naming_member_and_argument(self):
        cases = [
            (lambda: self.t.Add(1), TypeError, "Add takes 2 arguments, not 1"),
            (lambda: self.t.Add(1, 2, 3), TypeError, "Add takes 2 arguments, not 3"),
            (lambda: self.t.Optional(), TypeError, "Optional takes 1 to 2 arguments, not 0"),
            (lambda: self.t.Add(a=1, b=2), TypeError, "Add: arguments are passed by position"),
            (lambda: self.t.Add(2**31, 0), OverflowError, "Add: argument 1 (a)"),
            (lambda: self.t.Add(0, -2**31 - 1), OverflowError, "Add: argument 2 (b)"),
            (lambda: self.t.Describe(2**32), OverflowError, "Describe: argument 1 (value)"),
            (lambda: self.t.Concat("ok", "x\ud800"), ValueError, "Concat: argument 2 (b)"),
            (lambda: self.t.Describe([1]), TypeError, "Describe: argument 1 (value)"),
            (lambda: self.t.Make("record"), TypeError, "Make: the result"),
        ]
        for call, error, text in cases:
            with self.subTest(text=text):
                with self.assertRaises(error) as raised:
                    call()
                self.assertIn(text, str(raised.exception))
        self.assertEqual(self.t.Optional(1), 11)  # the object is still usable

    def test_failed_calls_raise_com_error(self):
        with self.assertRaises(vorn.com_error) as raised:
            self.t.Fail(E_FAIL)
        self.assertEqual((raised.exception.hresult, raised.exception.member),
                         (E_FAIL, "Fail"))
        self.assertIn("E_FAIL", raised.exception.text)
        self.assertIn("Fail: 0x80004005", str(raised.exception))

        with self.assertRaises(vorn.com_error) as raised:
            self.t.Raise("the disk is full")
        self.assertEqual(raised.exception.hresult, CONNECT_E_ADVISELIMIT)
        self.assertEqual(raised.exception.text, "the disk is full")

        with self.assertRaises(vorn.com_error) as raised:
            self.t.Add("seven", 1)
        self.assertEqual(raised.exception.hresult, DISP_E_TYPEMISMATCH)
        self.assertIn("(argument 1)", str(raised.exception))

        for name, code in [("No.Such.Thing", CO_E_CLASSSTRING),
                           ("{00000000-0000-0000-0000-0000000000AB}", REGDB_E_CLASSNOTREG)]:
            with self.assertRaises(vorn.com_error) as raised:
                vorn.Dispatch(name)
            self.assertEqual(raised.exception.hresult, code)
        with vorn.Dispatch("{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B01}") as by_class_id:
            self.assertEqual(by_class_id.Add(1, 2), 3)
        with self.assertRaises(ValueError):
            vorn.Dispatch("Vorn.\udc00")


class MemberTest(unittest.TestCase):
    def test_members_bind_late_as_callables_and_attributes(self):
        t = vorn.Dispatch(PROGID)
        self.assertTrue({"Add", "Describe", "Value", "Fire"} <= set(dir(t)))
        t.Value = 12
        self.assertEqual(t.Value, 12)
        self.assertEqual(t.add(1, 2), 3)       # names are not case-sensitive
        self.assertEqual(t.Secret(), 7)        # known to the object, not listed
        with self.assertRaises(AttributeError):
            t.Nothing
        with self.assertRaises(AttributeError):
            t.Add = 5
        with self.assertRaises(OverflowError):
            t.Value = 2**40
        t.note = "mine"                        # the object's own attribute
        self.assertEqual(t.note, "mine")


class ReleaseTest(unittest.TestCase):
    def test_with_releases_at_the_end_of_the_block(self):
        before = live()
        with vorn.Dispatch(PROGID) as t:
            self.assertEqual(live(), before + 1)
            add = t.Add
        self.assertEqual(live(), before)
        with self.assertRaises(ValueError):
            add(1, 2)
        self.assertIn("released", repr(t))

    def test_collection_releases_and_a_bound_member_keeps_its_object(self):
        before = live()
        t = vorn.Dispatch(PROGID)
        add = t.Add
        del t
        self.assertEqual(live(), before + 1)
        self.assertEqual(add(1, 1), 2)
        del add
        self.assertEqual(live(), before)

        # A member kept on its own object makes a cycle the collector breaks.
        t = vorn.Dispatch(PROGID)
        t.keep = t.Add
        del t
        gc.collect()
        self.assertEqual(live(), before)

        # The event connection holds its object's Python side weakly.
        connected = vorn.DispatchWithEvents(PROGID, Handler)
        self.assertEqual(live(), before + 1)
        del connected
        self.assertEqual(live(), before)


class Handler:
    def __init__(self):
        self.seen = []

    def OnPing(self, n):
        self.seen.append(("Ping", n))
        if n == 13:
            raise KeyError("unlucky")

    def OnDone(self):
        self.seen.append(("Done",))


class EventTest(unittest.TestCase):
    def test_events_call_the_handler_methods(self):
        t = vorn.DispatchWithEvents(PROGID, Handler)
        self.assertIsInstance(t, Handler)
        t.Fire(4)
        self.assertEqual(t.seen, [("Ping", 4), ("Done",)])
        with self.assertRaises(KeyError):
            t.Fire(13)
        with t:
            pass
        with self.assertRaises(ValueError):
            t.Fire(5)
        self.assertEqual(len(t.seen), 4)

    def test_a_class_without_a_handler_for_an_event_ignores_it(self):
        done = []

        class OnlyDone:
            def OnDone(self):
                done.append(self)

        with vorn.DispatchWithEvents(PROGID, OnlyDone) as t:
            t.Fire(1)
            self.assertEqual(done, [t])


if __name__ == "__main__":
    unittest.main()
