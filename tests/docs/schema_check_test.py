#!/usr/bin/python3
"""The schema check's own tests: the schemas against literal lines whose verdict is known from
the service's rules, and the check against small transcripts with one planted fault each.

Run: /usr/bin/python3 tests/docs/schema_check_test.py <schema folder>
"""

import os
import sys
import tempfile
import unittest

import schema_check as sc

SCHEMA_FOLDER = None
PORT = "winmm:" + "0123456789abcdef" * 4


def transport(extra="", playing="true", track='"A"'):
    return ('{"command":"transport","trackId":%s,"position":1,"playing":%s,"sentAtUnixMs":1%s}'
            % (track, playing, extra))


def start(fps="25", offset="0", port=PORT):
    return '{"command":"start","outputId":"%s","fps":%s,"offset":%s}' % (port, fps, offset)


class CommandSchemas(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.schemas = sc.Schemas(SCHEMA_FOLDER)

    def test_command_lines_are_judged_as_the_service_judges_their_content(self):
        rows = [
            ("the four commands", '{"command":"list"}', True),
            ("stop with id 0", '{"id":0,"command":"stop"}', True),
            ("id written with an exponent", '{"id":1e3,"command":"stop"}', True),
            ("negative zero id", '{"id":-0,"command":"stop"}', True),
            ("largest id", '{"id":9007199254740991,"command":"stop"}', True),
            ("id of 2^53", '{"id":9007199254740992,"command":"stop"}', False),
            ("id of 2.5", '{"id":2.5,"command":"stop"}', False),
            ("id of -1", '{"id":-1,"command":"stop"}', False),
            ("id as a string", '{"id":"7","command":"stop"}', False),
            ("id of null", '{"id":null,"command":"stop"}', False),
            ("no command", '{"id":7}', False),
            ("command in another letter case", '{"command":"Stop"}', False),
            ("unknown command", '{"command":"pause"}', False),
            ("unknown members of every scalar kind",
             '{"command":"stop","x":null,"y":"s","z":true,"w":-1.5e-3}', True),
            ("an array member", '{"command":"stop","x":[]}', False),
            ("an object member", '{"command":"stop","x":{}}', False),
            ("32 members", '{"command":"stop"%s}' % "".join(',"m%d":1' % i for i in range(31)),
             True),
            ("33 members", '{"command":"stop"%s}' % "".join(',"m%d":1' % i for i in range(32)),
             False),
            ("start at 29.97", start("29.97"), True),
            ("start at 29.97001", start("29.97001"), False),
            ("start at 26", start("26"), False),
            ("start at offset -0", start(offset="-0"), True),
            ("start at offset 86399.999", start(offset="86399.999"), True),
            ("start at offset 86400", start(offset="86400"), False),
            ("start at a negative offset", start(offset="-1"), False),
            ("start with fps as a string", start('"25"'), False),
            ("outputId of 69 bytes", start(port=PORT[:-1]), False),
            ("outputId of 71 bytes", start(port=PORT + "a"), False),
            ("outputId with an upper-case digit", start(port=PORT[:-1] + "A"), False),
            ("outputId with another prefix", start(port="winmx" + PORT[5:]), False),
            ("outputId with a line feed after it", start(port=PORT + "\\n"), False),
            ("start without offset", '{"command":"start","outputId":"%s","fps":25}' % PORT,
             False),
            ("a report", transport(), True),
            ("a report without a track", transport(track="null"), True),
            ("an empty track id", transport(track='""'), False),
            ("a track id of 2048 characters", transport(track='"%s"' % ("a" * 2048)), True),
            ("a track id of 2049 characters", transport(track='"%s"' % ("a" * 2049)), False),
            ("a number as track id", transport(track="1"), False),
            ("no track id", '{"command":"transport","position":1,"playing":true,'
                            '"sentAtUnixMs":1}', False),
            ("position of 7 days", transport().replace('"position":1', '"position":604800'),
             True),
            ("position beyond 7 days",
             transport().replace('"position":1', '"position":604800.5'), False),
            ("negative position", transport().replace('"position":1', '"position":-1'), False),
            ("playing at 1.001x", transport(',"playbackRate":1.001'), True),
            ("playing at the next double above 1.001x",
             transport(',"playbackRate":1.0010000000000001'), False),
            ("playing at 0.9991x", transport(',"playbackRate":0.9991'), True),
            ("playing at 0.999x", transport(',"playbackRate":0.999'), False),
            ("playing at 1.5x", transport(',"playbackRate":1.5'), False),
            ("paused at 16x", transport(',"playbackRate":16', "false"), True),
            ("paused at 16.5x", transport(',"playbackRate":16.5', "false"), False),
            ("paused at speed 0", transport(',"playbackRate":0', "false"), False),
            ("playback rate as a string", transport(',"playbackRate":"1"'), False),
            ("locate true", transport(',"locate":true'), True),
            ("locate as a number", transport(',"locate":1'), False),
            ("playing as a string", transport().replace("true", '"true"'), False),
        ]
        for what, line, accepted in rows:
            with self.subTest(what):
                self.assertEqual(self.schemas.valid("command.json", sc.as_schema_instance(line)),
                                 accepted)

    def test_each_output_line_matches_exactly_its_own_shape(self):
        rows = [
            ('{"id":1,"ok":true,"outputs":[]}', "reply-list.json"),
            ('{"id":1,"ok":true,"outputs":[{"id":"%s","name":"Q\\"\\u0001中"}]}' % PORT,
             "reply-list.json"),
            ('{"id":9007199254740991,"ok":true}', "reply-ok.json"),
            ('{"id":7,"ok":false,"error":"未知 MIDI 命令。"}', "reply-failed.json"),
            ('{"id":7,"ok":false,"error":"无法打开 MIDI 输出端口，请关闭占用该接口的其他软件 '
             '(WinMM 4)"}', "reply-failed.json"),
            ('{"event":"error","error":"MIDI 命令格式错误。"}', "event-error.json"),
            ('{"event":"error","error":"MTC 驱动未能停止，输出服务已关闭。请重新连接 USB MIDI 接口。"}',
             "event-error.json"),
            ('{"event":"error","error":"a message nobody documented"}', None),
            ('{"event":"error","error":"MTC 发送失败"}', None),  # the code is missing
            ('{"id":1,"ok":true,"extra":1}', None),
            ('{"id":"1","ok":true}', None),
            ('{"id":1,"ok":true,"outputs":[{"id":"winmm:0","name":"x"}]}', None),
            ('{"name":"Velmarcast native Windows MTC","protocolVersion":1,"architecture":"x64"}',
             "version.json"),
            ('{"passed":true,"checks":14,"scope":"Production engine with simulated driver only; '
             'no physical MIDI selected"}', "selftest-passed.json"),
            ('{"passed":false,"error":"watchdog leaked"}', "selftest-failed.json"),
            ('{"version":1,"guid":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"}',
             "machine-id-guid.json"),
            ('{"version":1,"guid":"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"}', None),
            ('{"version":1,"error":"missing","win32Code":2}', "machine-id-error.json"),
            ('{"version":1,"error":"gone","win32Code":2}', None),
        ]
        outputs = [n for n in self.schemas.by_file if not n.startswith("command")
                   and n != "common.json"]
        for line, shape in rows:
            with self.subTest(line):
                matched = [n for n in outputs if self.schemas.valid(n, sc.as_schema_instance(line))]
                self.assertEqual(matched, [shape] if shape else [])


class StrictReading(unittest.TestCase):
    def test_spellings_the_service_refuses_are_named(self):
        rows = [
            ('{"command":"stop"}', None),
            ('{"command":"stop","command":"stop"}', "duplicate member"),
            ('{"command":"stop","x":"\\ud800"}', "lone surrogate escape"),
            ('{"command":"stop","x":"\\udc00"}', "lone surrogate escape"),
            ('{"command":"stop","x":"\\ud83c\\udfb5"}', None),
            ('{"command":"stop","x":1e309}', "number beyond a double"),
            ('{"command":"stop","x":1e-400}', None),
            ('{"command":"stop","x":%s}' % ("1" * 65), "number token over 64 characters"),
            ('{"command":"stop","x":%s}' % ("1" * 64), None),
            ('{"command":"stop","x":NaN}', "not JSON"),
            ('{"command":"stop","x":01}', "not JSON"),
            ('{"command":"stop"}tail', "not JSON"),
            ('{"command":"st\top"}', "not JSON"),
            ('[1]', "not an object"),
        ]
        for line, reason in rows:
            with self.subTest(line[:60]):
                self.assertEqual(sc.strict_parse(line)[1], reason)

    def test_request_ids_are_read_as_the_service_reads_them(self):
        rows = [('{"id":1e3}', 1000), ('{"id":-0}', 0), ('{"id":1.5e1}', 15), ('{}', None),
                ('{"id":2.5}', False), ('{"id":true}', False), ('{"id":9007199254740992}', False),
                ('{"id":9007199254740991}', 9007199254740991)]
        for line, expected in rows:
            with self.subTest(line):
                self.assertEqual(sc.service_request_id(sc.strict_parse(line)[0]), expected)


class TranscriptCheck(unittest.TestCase):
    """Each case writes one service transcript and expects the named fault (or none)."""

    def run_check(self, sent, written, args=""):
        with tempfile.TemporaryDirectory() as folder:
            for suffix, data in ((".args", args), (".in", sent), (".out", written)):
                with open(os.path.join(folder, "t-1-0" + suffix), "wb") as f:
                    f.write(data.encode("utf-8"))
            findings = sc.Findings()
            sc.check_folder(sc.Schemas(SCHEMA_FOLDER), folder, findings)
            return findings

    def test_transcripts_pass_or_fail_for_the_right_reason(self):
        ok = '{"id":1,"ok":true}\n'
        rows = [
            ("a clean session", '{"id":1,"command":"stop"}\n', ok, None),
            ("an undocumented output line", '{"id":1,"command":"stop"}\n',
             '{"id":1,"ok":true,"x":0}\n', "matches none"),
            ("output ending inside a line", "", '{"event":"error"', "ends inside a line"),
            ("an accepted request the schema refuses", '{"id":1,' + start("26")[1:] + "\n", ok,
             "schema refuses a request the service accepted"),
            ("a content refusal the schema accepts", '{"id":1,"command":"stop"}\n',
             '{"id":1,"ok":false,"error":"MIDI 命令格式错误。"}\n',
             "schema accepts a request the service refused"),
            ("a refusal for the service's state", '{"id":1,' + transport()[1:] + "\n",
             '{"id":1,"ok":false,"error":"MTC 输出未启用。"}\n', None),
            ("a reply to another id", '{"id":1,"command":"stop"}\n', '{"id":2,"ok":true}\n',
             "pairing lost"),
            ("an invalid id the service refuses by event",
             '{"id":2.5,"command":"stop"}\n{"id":1,"command":"stop"}\n',
             '{"event":"error","error":"MIDI 命令格式错误。"}\n' + ok, None),
            ("a line without id accepted in silence that the schema refuses",
             start("26") + "\n" + '{"id":1,"command":"stop"}\n', ok,
             "schema refuses a request the service accepted"),
            ("a line without id refused by an event that the schema accepts",
             '{"command":"stop"}\n{"id":1,"command":"stop"}\n',
             '{"event":"error","error":"MIDI 命令格式错误。"}\n' + ok,
             "schema accepts a request the service refused"),
            ("lines without id and their events, in order",
             '{"command":"pause"}\n' + transport() + "\n" + '{"id":1,"command":"stop"}\n',
             '{"event":"error","error":"未知 MIDI 命令。"}\n'
             '{"event":"error","error":"MTC 输出未启用。"}\n' + ok, None),
            ("an event of the running output leaves the window unjudged",
             start("26") + "\n" + '{"id":1,"command":"stop"}\n',
             '{"event":"error","error":"播放器时钟更新中断，MTC 输出已关闭。请检查播放后重新启用。"}\n'
             + ok, None),
            ("lines after the last reply may have been dropped: not judged",
             '{"id":1,"command":"stop"}\n' + start("26") + "\n", ok, None),
            ("a version line in service mode", "", '{"name":"Velmarcast native Windows MTC",'
             '"protocolVersion":1,"architecture":"x64"}\n', "matches none"),
            ("the version mode", "", '{"name":"Velmarcast native Windows MTC",'
             '"protocolVersion":1,"architecture":"x64"}\n', None, "--version\n"),
            ("a bad command line that wrote", "", ok, "must write nothing", "--bogus\n"),
        ]
        for row in rows:
            what, sent, written, fault = row[:4]
            args = row[4] if len(row) > 4 else ""
            with self.subTest(what):
                faults = self.run_check(sent, written, args).faults
                if fault is None:
                    self.assertEqual(faults, [])
                else:
                    self.assertEqual(len(faults), 1, faults)
                    self.assertIn(fault, faults[0])

    def test_an_empty_collection_fails(self):
        with tempfile.TemporaryDirectory() as folder:
            self.assertEqual(sc.main(["schema_check.py", SCHEMA_FOLDER, folder]), 1)
            self.assertEqual(sc.main(["schema_check.py", SCHEMA_FOLDER,
                                      os.path.join(folder, "missing")]), 1)


if __name__ == "__main__":
    SCHEMA_FOLDER = sys.argv.pop(1)
    unittest.main()
