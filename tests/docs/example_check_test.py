#!/usr/bin/python3
"""The example check's judgement on literal recordings: each row plants one fault (or none)."""

import unittest

import example_check as ec

PRINTED = ("outputs: Player port (%s)\nstarted on Player port at 25 fps, offset 3600 s\n"
           "play at 10.000000\nseek at 90.000000\npause at 91.000000\nresume at 91.000000\n"
           "stopped\nservice exited with code 0\n" % ec.PORT_ID)

# Full frames at 25 fps, hour 1 (rate bits 01): 01:00:10:00, 01:01:30:00, 01:01:31:00.
PLAY = "F07F7F010121000A00F7"
SEEK = "F07F7F010121011E00F7"
PAUSE = "F07F7F010121011F00F7"


def recording(messages):
    """Wire lines as the simulated port writes them, from (milliseconds, hex) pairs."""
    return "".join("%d wire port=0 seq=%d start=%d end=%d bytes=%s\n"
                   % (ms * 1000 + 7, i, ms * 1000, ms * 1000 + 320, hexbytes)
                   for i, (ms, hexbytes) in enumerate(messages))


def quarters(from_ms, to_ms):
    return [(ms, "F1%02X" % (((ms // 10) % 8) << 4)) for ms in range(from_ms, to_ms, 10)]


GOOD = ([(0, PLAY)] + quarters(10, 1000) + [(1000, SEEK)] + quarters(1010, 2000) +
        [(2000, PAUSE), (2500, PAUSE)] + quarters(2510, 3000))


class Judgement(unittest.TestCase):
    def test_a_run_is_judged_by_its_full_frames_and_quarter_frames(self):
        rows = [
            ("a right run", PRINTED, GOOD, None),
            ("no full frame for the pause", PRINTED,
             [m for m in GOOD if m != (2000, PAUSE)], "full frames for 3 of the 4"),
            ("a full frame at the wrong place", PRINTED,
             [(1000, PLAY) if m == (1000, SEEK) else m for m in GOOD], "full frames for"),
            ("quarter frames while paused", PRINTED,
             sorted(GOOD + quarters(2200, 2300)), "quarter frames while paused"),
            ("a relocation after a late quarter frame is allowed", PRINTED,
             sorted([m for m in GOOD if not 500 < m[0] < 540] + [(535, "F07F7F010121000A0DF7")]),
             None),
            ("an extra full frame amid a running stream", PRINTED,
             sorted(GOOD + [(505, "F07F7F010121000A0CF7")]), "unexpected full frame"),
            ("stray bytes", PRINTED, sorted(GOOD + [(1500, "90407F")]), "stray bytes"),
            ("a failure shown by the example", PRINTED + "MTC stopped: x\n", GOOD,
             "reported a failure"),
            ("no clean stop", PRINTED.replace("stopped\n", ""), GOOD, "missing from the output"),
        ]
        for what, printed, messages, fault in rows:
            with self.subTest(what):
                faults = ec.judge(printed, recording(messages))
                if fault is None:
                    self.assertEqual(faults, [])
                else:
                    self.assertTrue(any(fault in f for f in faults), faults)


if __name__ == "__main__":
    unittest.main()
