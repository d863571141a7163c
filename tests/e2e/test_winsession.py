"""The harness's own reading of what it is shown: wintext's records, the emulator's dump and
log, and the story a failed step tells. Natively, against the real emulator program."""

import os
import subprocess
import time

import pytest

from winsession import Dump, HarnessError, Snapshot, StepFailed, WineSession
from winsession.program import find_windows_process

EMULATOR = os.environ.get("PATU_EMULATOR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "native", "tools", "emulator", "patu-emulator")

RECORDS = """\
window 0x10 class=#32770 visible=0 enabled=1 rect=10,10,300,100 title=Mensagem
control 0x11 parent=0x10 class=Button visible=1 enabled=1 focus=0 rect=1,2,30,20 text=OK
window 0x20 class=TfmATU visible=1 enabled=0 rect=100,50,400,300 title=A = B (x.y) title=z
control 0x21 parent=0x20 class=Static visible=1 enabled=1 focus=0 rect=5,6,200,16 text=key=value text
control 0x22 parent=0x20 class=msctls_progress32 visible=1 enabled=1 focus=0 rect=5,200,390,20 pos=12 max=509 text=
control 0x23 parent=0x20 class=Button visible=1 enabled=1 focus=1 rect=300,250,80,25 text=Atualiza
window 0x30 class=#32770 visible=1 enabled=1 rect=200,200,300,100 title=Mensagem
control 0x31 parent=0x30 class=Edit visible=1 enabled=1 focus=0 rect=4,4,280,60 text=first line
+ 
+ third line
control 0x32 parent=0x30 class=Button visible=1 enabled=1 focus=0 rect=10,70,60,20 text=OK
control 0x33 parent=0x30 class=Button visible=1 enabled=0 focus=0 rect=90,70,60,20 text=Cancelar
window 0x40 class=Zero visible=1 enabled=1 rect=0,0,0,0 title=Hidden owner
"""


def test_snapshot_records():
    snap = Snapshot(RECORDS)
    assert [w.hwnd for w in snap.windows] == ["0x10", "0x20", "0x30", "0x40"]

    # The shown window of a title, not a hidden one before it; titles and texts keep every
    # character after their marker, "=" and spaces included.
    dialog = snap.window("Mensagem")
    assert dialog.hwnd == "0x30"
    main = snap.window("A = B (x.y) title=z")
    assert main is not None and not main.enabled
    assert main.has("Static", "key=value text")
    assert snap.window("Hidden owner") is None  # no area
    assert snap.window("Mensagem ") is None

    assert dialog.memo() == ["first line", "", "third line"]
    assert dialog.has("Button", "OK", enabled=True)
    assert dialog.has("Button", "Cancelar", enabled=False)
    assert not dialog.has("Button", "Cancelar", enabled=True)
    assert not dialog.has("Button", "OK", focus=True)
    assert main.has("Button", "Atualiza", focus=True)

    assert main.progress() == (12, 509)
    assert dialog.progress() is None
    bar = main.control("msctls_progress32", "")
    assert main.screen_rect(bar) == (105, 250, 390, 20)


def test_snapshot_summary_cuts_long_texts():
    text = "window 0x1 class=C visible=1 enabled=1 rect=0,0,9,9 title=T\n" \
           "control 0x2 parent=0x1 class=Edit visible=1 enabled=1 focus=0 rect=0,0,9,9 text=a\n" \
           + "".join(f"+ line {i}\n" for i in range(20)) \
           + "control 0x3 parent=0x1 class=Edit visible=1 enabled=1 focus=0 rect=0,0,9,9 text=b\n" \
           + "+ last\n"
    summary = Snapshot(text).summary(max_lines=3).splitlines()
    assert summary == [text.splitlines()[0], text.splitlines()[1], "+ line 0", "+ line 1",
                       "+ line 2", text.splitlines()[-2], "+ last"]
    assert len(Snapshot(text).windows[0].controls[0].lines) == 21


DUMP = """\
{
  "format": "patu-emulator-record",
  "version": 1,
  "module_area": "AA00",
  "byte_time_us": 1042,
  "initial_info": "0a1bff03",
  "blocks": {
    "8000": "0A1BFF03",
    "aa00": "FFFF"
  },
  "pages": {
    "0003": "00ff"
  },
  "erases": [
    {"n":3,"address":"AA00"}
  ],
  "finalized": false,
  "hung_up": true,
  "violations": [
    {"n":4,"kind":"bad-frame","letter":"0x51"}
  ],
  "log": [
    {"kind":"probe","t":0,"answer":"54","t_answer":1},
    {"kind":"ignored","t":5,"byte":"86"},
    {"kind":"cmd","n":1,"sync":"86","noise":"","letter":"D","address":"8000","frame":4,"rx":4,\
"reply":130,"sent":130,"status":"AA","fault":[],"t_sync":7,"t_frame":9,"t_reply":90},
    {"kind":"cmd","n":2,"sync":"86","noise":"","letter":"F","page":"0003","offset":128,\
"frame":133,"rx":133,"reply":2,"sent":0,"status":null,"fault":["hangup"],"t_sync":95,\
"t_frame":99,"t_reply":null}
  ]
}
"""


def test_dump_parsed():
    dump = Dump.parse(DUMP)
    assert dump.complete and dump.hung_up and not dump.finalized
    assert dump.initial_info == "0A1BFF03"
    assert dump.blocks == {"8000": "0A1BFF03", "AA00": "FFFF"}
    assert dump.pages == {"0003": "00FF"}
    assert dump.erases == [{"n": "3", "addr": "AA00"}]
    assert dump.violations[0]["kind"] == "bad-frame"
    assert [e.kind for e in dump.exchanges] == ["probe", "ignored", "cmd", "cmd"]
    assert [c.letter for c in dump.commands()] == ["D", "F"]
    last = dump.exchanges[-1]
    assert (last.arg, last.fault) == ("0003:80", "hangup")
    with pytest.raises(AttributeError):
        last.no_such_field
    # Without the times, and without the fields named.
    assert dump.exchanges[0].untimed() == "probe answer=54"
    assert dump.commands()[0].untimed("n", "frame", "rx", "reply", "sent", "noise") \
        == "cmd sync=86 letter=D arg=8000 status=AA fault=-"
    assert str(dump.exchanges[1]) == "ignored t=5 byte=86"
    assert str(dump.exchanges[-1]).endswith("status=- fault=hangup t_sync=95 t_frame=99 t_reply=-")
    # The info block as it was, but the device written: not untouched.
    assert dump.info_unchanged()
    assert not dump.untouched()
    assert not Dump.parse(DUMP[:len(DUMP) // 2]).complete
    assert not Dump.parse(DUMP.replace('"version": 1', '"version": 2')).complete
    assert not Dump.parse(DUMP.replace('"finalized": false', '"finalized": true')).info_unchanged()
    assert not Dump.parse(DUMP.replace('"8000": "0A1BFF03"', '"8000": "0A1BFF04"')) \
        .info_unchanged()


def talk(pty, data, answer_length):
    fd = os.open(pty, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, data)
        answer, deadline = b"", time.monotonic() + 10
        while len(answer) < answer_length and time.monotonic() < deadline:
            answer += os.read(fd, answer_length - len(answer))
        return answer
    finally:
        os.close(fd)


@pytest.fixture
def session(tmp_path):
    """A session whose Wine side is never started: devices, logs and failures only."""
    return WineSession(tmp_path / "wine", tmp_path / "art", emulator=EMULATOR)


def test_device_plugged_read_and_stopped(session, tmp_path):
    os.makedirs(session.artifacts)
    device = session.plug("dev", 2, "--serial", "123456")
    assert os.readlink(session.port(2)) == device.log_line("pty").split()[1]
    assert talk(session.port(2), b"\xab", 1) == b"T"
    # 'D' of the info block: the complement, then 130 bytes whose first is the length.
    reply = talk(session.port(2), b"\x86\x04D\x80\x00", 131)
    assert reply[:3] == b"\x79\x82\xaa"
    dump = device.stop()
    assert not device.running()
    assert dump.complete and dump.untouched()
    assert dump.blocks["8000"].startswith("123456")
    assert [e.untimed("n", "frame", "rx", "reply", "sent", "noise") for e in dump.exchanges] \
        == ["probe answer=54", "cmd sync=86 letter=D arg=8000 status=AA fault=-"]
    assert not os.path.lexists(session.port(2))  # the emulator takes its link away

    with pytest.raises(HarnessError, match="ended at start"):
        session.plug("bad", 3, "--no-such-option")


def test_a_failed_step_tells_its_story(session):
    os.makedirs(session.artifacts)
    device = session.plug("dev", 1)
    talk(session.port(1), b"\xab", 1)
    with open(os.path.join(session.artifacts, "program.log"), "w") as f:
        f.write("".join(f"log line {i}\n" for i in range(30)))
    with pytest.raises(StepFailed) as failed:
        session.fail("message 7")
    story = str(failed.value)
    assert story.startswith("FAIL: expected: message 7\n")
    assert "--- device dev (COM 1), its last commands:\nprobe t=" in story
    assert "--- program.log:\nlog line 10\n" in story and "log line 9\n" not in story
    assert story.endswith(f"(artifacts: {session.artifacts})")
    assert device.dump is not None and not device.running()


def test_a_session_fails_at_its_end_for_what_it_expected(session):
    os.makedirs(session.artifacts)
    session.expect("one thing", True)
    session.expect("another thing", lambda: False)
    with pytest.raises(StepFailed, match=r"1 check\(s\) failed: another thing"):
        session.__exit__(None, None, None)

    # Any other error of the run is told the same way.
    try:
        raise ValueError("no bar")
    except ValueError as e:
        with pytest.raises(StepFailed, match="FAIL: ValueError: no bar") as failed:
            session.__exit__(type(e), e, e.__traceback__)
        assert failed.value.__cause__ is e


def test_the_windows_process_found_by_its_path_and_prefix(tmp_path):
    # What Wine shows of a Windows process: its Windows path as argv[0] (or, when a loader
    # was started on it, the path it was given), its prefix in the environment; start.exe,
    # which may stand between, has neither.
    prefix = str(tmp_path / "prefix")
    program = str(tmp_path / "bin" / "pATU.exe")
    windows_path = "Z:" + program.replace("/", "\\")
    stand_ins = [subprocess.Popen([name, "30"], executable="/bin/sleep",
                                  env={"WINEPREFIX": wine_prefix})
                 for name, wine_prefix in ((windows_path.upper(), prefix),
                                           (windows_path, prefix + "2"),
                                           (program, prefix + "3"))]
    try:
        time.sleep(0.2)  # exec'd
        own, other_prefix, loaded = (p.pid for p in stand_ins)
        assert find_windows_process(prefix, program) == own  # the path in any case
        assert find_windows_process(prefix + "2", program) == other_prefix
        assert find_windows_process(prefix + "3", program) == loaded
        assert find_windows_process(prefix, program, claimed={own}) is None
        assert find_windows_process(prefix, str(tmp_path / "pATU.exe")) is None
    finally:
        for p in stand_ins:
            p.kill()
            p.wait()
