#!/usr/bin/env python3
"""Tests of check_layers.py over a small tree of its own."""

import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402

PICTURE = """# Architecture

## Layers

```
app/main                          the executable
plugins/a  plugins/b
analytics/engine                  engine
analytics/foundation              foundation
platform/...                      stand-ins
```

Text after the picture: platform/x  ignored.
"""


class CheckLayersTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def write(self, path, *includes):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write("// %s\n" % path)
            for include in includes:
                f.write("#include %s\n" % include)

    def problems(self):
        return check_layers.check(self.root, check_layers.parse_picture(PICTURE))

    def test_picture_rows_highest_first(self):
        self.assertEqual(
            check_layers.parse_picture(PICTURE),
            [["app/main"], ["plugins/a", "plugins/b"], ["analytics/engine"],
             ["analytics/foundation"], ["platform/..."]],
        )

    def test_picture_must_exist(self):
        with self.assertRaises(ValueError):
            check_layers.parse_picture("# Architecture\n\nno picture\n")

    def test_only_upward_includes_are_named(self):
        self.write("platform/x/a.h")
        self.write("platform/y/b.cpp", '"platform/x/a.h"', "<vector>")
        self.write("analytics/foundation/f.cpp", '"platform/x/a.h"', '"analytics/engine/e.h"')
        self.write("plugins/a/p.cpp", '"plugins/b/q.h"', '"analytics/engine/e.h"')
        self.write("app/main/m.cpp", '"plugins/a/p.h"')
        self.write("platform/x/c.cpp", "", '"app/main/m.h"')
        self.write("bench/b.cpp", '"app/main/m.h"')  # Not a layer: not checked.
        self.assertEqual(
            self.problems(),
            [
                "analytics/foundation/f.cpp:3: analytics/foundation -> analytics/engine "
                "(analytics/engine/e.h)",
                "platform/x/c.cpp:3: platform/... -> app/main (app/main/m.h)",
            ],
        )

    def test_sanctioned_services_only_inside_analytics(self):
        self.write("analytics/foundation/f.cpp", '"analytics/engine/measurement.h"',
                   '"analytics/engine/event.h"')
        self.write("platform/x/c.cpp", '"analytics/engine/measurement.h"')
        self.assertEqual(
            self.problems(),
            ["platform/x/c.cpp:2: platform/... -> analytics/engine "
             "(analytics/engine/measurement.h)"],
        )

    def test_icu_only_in_platform_foundation(self):
        self.write("platform/foundation/text.cpp", "<unicode/uchar.h>")
        self.write("analytics/engine/e.cpp", "<unicode/unistr.h>")
        self.assertEqual(
            self.problems(),
            ["analytics/engine/e.cpp:2: analytics/engine -> <unicode/unistr.h> "
             "(only platform/foundation includes it)"],
        )

    def test_folder_outside_the_picture_is_named(self):
        self.write("analytics/extra/x.cpp")
        self.assertEqual(self.problems(),
                         ["analytics/extra/x.cpp: not in any layer of the picture"])

    def test_exit_status(self):
        out = io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
            self.exit_statuses()
        self.assertIn("platform/x/b.cpp:2: platform/... -> plugins/a (plugins/a/p.h)",
                      out.getvalue())

    def exit_statuses(self):
        with open(os.path.join(self.root, "ARCHITECTURE.md"), "w") as f:
            f.write(PICTURE)
        self.write("platform/x/a.cpp")
        self.assertEqual(check_layers.main(["--root", self.root]), 0)
        self.write("platform/x/b.cpp", '"plugins/a/p.h"')
        self.assertEqual(check_layers.main(["--root", self.root]), 1)
        self.assertEqual(check_layers.main(["--root", self.root, "--architecture",
                                            os.path.join(self.root, "missing.md")]), 2)


if __name__ == "__main__":
    unittest.main()
