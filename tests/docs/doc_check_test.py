#!/usr/bin/python3
"""The document check's extraction on literal C++ snippets, and its verdict on a small tree."""

import json
import os
import tempfile
import unittest

import doc_check as dc


class Extraction(unittest.TestCase):
    def test_literals_are_read_as_the_compiler_reads_them(self):
        rows = [
            ('f("a");', ["a"]),
            ('f(u8"中" "文");', ["中文"]),
            ('f(u8"中"\n    u8"文");', ["中文"]),
            ('f("a", "b");', ["a", "b"]),
            ('// "not this"\nf("x");', ["x"]),
            ('/* "nor this"\n */ f("y");', ["y"]),
            ('f("q\\"uote\\\\");', ['q"uote\\']),
            ('f("\\xE4\\xB8\\xAD");', ["中"]),
            ('f("line\\n");', ["line\n"]),
            ('f(R"({"raw":1})");', ['{"raw":1}']),
            ("f('\"', \"z\");", ["z"]),
            ('f("a" /* between */ "b");', ["a", "b"]),
        ]
        for source, expected in rows:
            with self.subTest(source):
                self.assertEqual([v for v, _ in dc.literals(source)], expected)


class Verdict(unittest.TestCase):
    def make_tree(self, folder, files, document):
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
            with open(os.path.join(folder, path), "w", encoding="utf-8") as f:
                f.write(text)
        os.makedirs(os.path.join(folder, "docs"), exist_ok=True)
        with open(os.path.join(folder, "docs", "protocol.md"), "w", encoding="utf-8") as f:
            f.write(document)

    def test_a_text_missing_from_the_document_fails_and_test_code_is_not_asked_for(self):
        files = {
            "core/a.cpp": 'fail("播放器时钟消息已过期。"); // "注释不算"\n',
            "machineid/m.cpp": 'return "access_denied"; printf("{\\"version\\":1,\\"x\\":%d}");',
            "selftest/s.cpp": 'require(x == "数据", "check failed");\nconst char kScope[] = "S";',
            "tests/t.cpp": 'f("测试里的文字");',
            "tools/h.cpp": 'f("--tool-switch");',
            "service/main.cpp": 'if (arg == L"--version") {}',
            "scripts/figures.py": "",
        }
        complete = ('播放器时钟消息已过期。 access_denied {"version":1,"x": check failed S '
                    '--version')
        files["docs/schema/reply-ok.json"] = "{}"
        complete += " [reply](schema/reply-ok.json) measured by `python3 scripts/figures.py`."
        complete += "\n## The 29.97 offset\nSee [the offset](#the-2997-offset).\n"
        rows = [
            ("everything documented", complete, 0),
            ("a schema not linked", complete.replace("(schema/reply-ok.json)", ""), 1),
            ("a message missing", complete.replace("播放器时钟消息已过期。", ""), 1),
            ("a machine-id word missing", complete.replace("access_denied", ""), 1),
            ("a self-test message missing", complete.replace("check failed", ""), 1),
            ("a switch missing", complete.replace("--version", ""), 1),
            ("a script named that does not exist",
             complete.replace("scripts/figures.py", "scripts/gone.py"), 1),
            ("a link to no section", complete.replace("(#the-2997-offset)", "(#the-offset)"), 1),
        ]
        for what, document, code in rows:
            with self.subTest(what), tempfile.TemporaryDirectory() as folder:
                self.make_tree(folder, files, document)
                self.assertEqual(dc.main(["doc_check.py", folder]), code)

    def test_a_message_the_schemas_do_not_allow_fails_unless_the_host_never_sees_it(self):
        common = json.dumps({"$defs": {"message": {"anyOf": [
            {"enum": ["已知。"]}, {"type": "string", "pattern": "^(发送失败) \\(WinMM [0-9]+\\)$"}]}}})
        never = "\n### Texts the host never sees\n\n| Text |\n|---|\n| `内部。` |\n"
        rows = [
            ("allowed texts", 'f("已知。"); check(r, "发送失败");', 0),
            ("a message missing from the schema", 'f("已知。"); f("新消息。");', 1),
            ("a text the host never sees", 'f("已知。"); f("内部。");', 0),
            ("a last-resort line", 'w("{\\"event\\":\\"error\\",\\"error\\":\\"新。\\"}");', 1),
        ]
        for what, source, code in rows:
            with self.subTest(what), tempfile.TemporaryDirectory() as folder:
                literals = [v for v, _ in dc.literals(source)]
                document = " ".join(literals) + " [messages](schema/common.json)" + never
                self.make_tree(folder, {"core/a.cpp": source,
                                        "docs/schema/common.json": common}, document)
                self.assertEqual(dc.main(["doc_check.py", folder]), code)

    def test_a_tree_without_texts_fails(self):
        with tempfile.TemporaryDirectory() as folder:
            self.make_tree(folder, {"core/a.cpp": "int x;"}, "")
            self.assertEqual(dc.main(["doc_check.py", folder]), 1)


if __name__ == "__main__":
    unittest.main()
