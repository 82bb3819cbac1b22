#!/usr/bin/env python3
"""The include-rule checker on small trees: a clean one passes, and every
kind of fault it is there to catch fails with the file and line.

Usage: checker_test.py PATH-TO-check-include-rules
"""
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import unittest

CHECKER = None

ARCHITECTURE = textwrap.dedent(
    """\
    # Architecture

    ## Libraries and what they may include

    | library | files | job | may include | namespace |
    |---|---|---|---|---|
    | `base` | `src/base/` | the bottom | nothing | `base` |
    | `middle` | `src/middle/` | above base | `base` | — |
    | `state` | `src/top/{state,flags}` | a leaf in the top folder | `base` | — |
    | `top` | `src/top/` | the rest of the top folder | `middle`, `state` | — |
    | `app` | `src/app/` | the program | `top`, `entry/entry.h` | — |
    | `entry` | `src/entry/` | reached through one header only | `middle` | — |
    | `shared` | `companions/shared/` | a companion library | `middle` | — |
    | `tool` | `companions/tool/` | a companion program | `shared` | — |

    ### Exceptions

    Entries here let one file include one library more.
    {exceptions}
    ## Threads

    | not | the | table |
    |---|---|---|
    """
)

CLEAN_FILES = {
    "src/base/text.h": "#pragma once\nnamespace base {\nint length();\n}  // namespace base\n",
    "src/base/text.cpp": '#include "base/text.h"\n\nnamespace {\nint zero() { return 0; }\n}  // namespace\n',
    "src/middle/codec.h": '#pragma once\n#include <string>\n\n#include "base/text.h"\nnamespace alias = base;\n',
    "src/top/state.h": '#pragma once\n#include "base/text.h"\n',
    "src/top/flags.cpp": '#include "top/state.h"\n',
    "src/top/endpoint.cpp": '#include "top/state.h"\n#include "middle/codec.h"\n#include "base/text.h"\n',
    "src/entry/entry.h": '#pragma once\n#include "middle/codec.h"\n',
    "src/entry/inner.h": "#pragma once\n",
    "src/app/main.cpp": '#include "entry/entry.h"\n#include "top/state.h"\n#include "base/text.h"\n',
    "companions/shared/record.h": '#pragma once\n#include "middle/codec.h"\n',
    "companions/tool/main.cpp": '#include "record.h"\n#include "options.h"\n#include "base/text.h"\n',
    "companions/tool/options.h": "#pragma once\n",
}


class CheckerTest(unittest.TestCase):
    def run_on(self, files=None, exceptions=""):
        """Builds a tree from CLEAN_FILES changed by `files` (None removes a
        file) and returns (exit status, output lines)."""
        tree = dict(CLEAN_FILES)
        tree.update(files or {})
        with tempfile.TemporaryDirectory() as root:
            base = pathlib.Path(root)
            (base / "ARCHITECTURE.md").write_text(ARCHITECTURE.replace("{exceptions}", exceptions))
            for name, text in tree.items():
                if text is None:
                    continue
                path = base / name
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(text)
            result = subprocess.run(
                [sys.executable, CHECKER, root], capture_output=True, text=True, timeout=60
            )
        self.assertEqual(result.stderr, "")
        return result.returncode, result.stdout.splitlines()

    def assert_broken(self, expected_lines, **tree):
        status, output = self.run_on(**tree)
        self.assertEqual(status, 1, output)
        for expected in expected_lines:
            self.assertTrue(any(line.startswith(expected) for line in output), f"{expected!r} not in {output}")
        self.assertEqual(len(output), len(expected_lines) + 1, output)  # and the summary line

    def test_a_clean_tree_passes(self):
        self.assertEqual(self.run_on(), (0, []))

    def test_an_upward_include_fails_with_its_file_and_line(self):
        self.assert_broken(
            ['src/middle/codec.h:3: includes "top/state.h" of state, which middle may not include'],
            files={"src/middle/codec.h": '#pragma once\n#include <string>\n#include "top/state.h"\n'},
        )

    def test_a_leaf_in_a_shared_folder_may_not_include_the_rest_of_its_folder(self):
        self.assert_broken(
            ['src/top/state.h:3: includes "top/endpoint.h" of top, which state may not include'],
            files={
                "src/top/state.h": '#pragma once\n#include "base/text.h"\n#include "top/endpoint.h"\n',
                "src/top/endpoint.h": "#pragma once\n",
            },
        )

    def test_an_entry_point_admits_its_own_header_only(self):
        self.assert_broken(
            ['src/app/main.cpp:4: includes "entry/inner.h" of entry, which app may not include'],
            files={"src/app/main.cpp": CLEAN_FILES["src/app/main.cpp"] + '#include "entry/inner.h"\n'},
        )

    def test_a_companion_reaches_a_library_only_through_its_table_row(self):
        # tool may include shared -> middle -> base, but not top.
        self.assert_broken(
            ['companions/tool/options.h:2: includes "top/state.h" of state, which tool may not include'],
            files={"companions/tool/options.h": '#pragma once\n#include "top/state.h"\n'},
        )

    def test_includes_that_reach_nothing_or_files_of_no_row_fail(self):
        self.assert_broken(
            [
                'src/base/text.cpp:2: includes "base/gone.h", which is no file of the tree',
                "src/stray/file.h: belongs to no library of the table",
            ],
            files={
                "src/base/text.cpp": '#include "base/text.h"\n#include "base/gone.h"\n',
                "src/stray/file.h": "#pragma once\n",
            },
        )

    def test_a_library_opens_no_namespace_but_its_own(self):
        self.assert_broken(
            [
                "src/base/text.cpp:1: opens namespace other; base's namespace is base",
                "src/middle/codec.h:2: opens namespace base; middle's namespace is none",
            ],
            files={
                "src/base/text.cpp": "namespace other {\n}  // namespace other\n",
                "src/middle/codec.h": "#pragma once\nnamespace base::detail {\n}\n",
            },
        )

    def test_an_exception_admits_one_file_and_must_still_be_needed(self):
        upward = {"src/middle/codec.h": '#pragma once\n#include "top/state.h"\n'}
        exception = "\n- `src/middle/codec.h` → `state`: until the flags move.\n"
        self.assertEqual(self.run_on(files=upward, exceptions=exception), (0, []))
        self.assert_broken(
            ["ARCHITECTURE.md:20: exception src/middle/codec.h → state is no longer needed; remove it"],
            exceptions=exception,
        )
        # The entry admits that file only.
        self.assert_broken(
            ['src/middle/other.h:1: includes "top/state.h" of state, which middle may not include'],
            files=dict(upward, **{"src/middle/other.h": '#include "top/state.h"\n'}),
            exceptions=exception,
        )


if __name__ == "__main__":
    CHECKER = sys.argv.pop(1)
    unittest.main(verbosity=2)
