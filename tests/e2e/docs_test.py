"""What the man page and the docs say of the JSON, held to what clockgap-report writes:
every key the source writes is listed in the man page's JSON section, every field named
there is written, the keys of real output are all among those of the source, and each
example in the docs has only keys that the programs write."""

import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

SOURCE = os.environ.get("CLOCKGAP_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
REPORT = os.environ.get("CLOCKGAP_REPORT", "build/clockgap-report")

# A key given to any of the JSON writer's functions (the writer, perhaps the facts of
# the log, then the key), and a figure of a cause from the table of figures (its second
# member).
WRITTEN_KEY = re.compile(r'\bjson_\w+\(\s*&?[\w>.-]+,\s*(?:[\w>.-]+,\s*)?"(\w+)"')
FIGURE_KEY = re.compile(r'\{have_\w+,\s*"(\w+)"|cause_figure_value\{nullptr,\s*"(\w+)"')


def source_keys():
    """Every key that the report's source writes into JSON, as written there."""
    keys = set()
    for path in glob.glob(os.path.join(SOURCE, "src", "report", "**", "*.*"), recursive=True):
        if path.endswith((".cpp", ".h")):
            with open(path) as f:
                text = f.read()
            keys.update(WRITTEN_KEY.findall(text))
            keys.update(a or b for a, b in FIGURE_KEY.findall(text))
    return keys


def names_as_keys():
    """Names that are keys or values in their own right: the bands (the header's
    columns) and the kinds of cause are keys, listed in the man page by what they name;
    the events are the values of "event"."""
    def listed(path, pattern):
        with open(os.path.join(SOURCE, *path.split("/"))) as f:
            return set(re.findall(r'"(\w+)"', " ".join(re.findall(pattern, f.read(), re.S))))

    return (listed("src/stats/gap_stats.h", r"band_names\[band_count\] = \{(.*?)\};") |
            listed("src/report/causes/cause_rules.cpp", r" names\[cause_kinds\] = \{(.*?)\};") |
            listed("src/report/outputs/event_lines.cpp", r"open_event\([^,]+, (\"\w+\")"))


def man_json_section():
    """The man page's JSON section as plain words: font macros and escapes taken out."""
    with open(os.path.join(SOURCE, "man", "clockgap-report.1")) as f:
        page = f.read()
    section = page[page.index("\n.SH JSON\n"):]
    section = section[:section.index("\n.SH ", 1)]
    return section.replace("\\-", "-")


def keys_of(value, into):
    """Every key of every object within `value`."""
    if isinstance(value, dict):
        for key, inner in value.items():
            into.add(key)
            keys_of(inner, into)
    elif isinstance(value, list):
        for inner in value:
            keys_of(inner, into)
    return into


def json_examples(text):
    """(the example's name in the marker before its block, or None; the object) for each
    JSON object in a document's code blocks: a block that is one document, or each line
    of a block that is one (JSON Lines)."""
    for name, block in re.findall(r"(?:<!-- example: ([\w-]+) -->\n)?^ *```[a-z]*\n(.*?)^ *```",
                                  text, re.S | re.M):
        try:
            yield name or None, json.loads(block)
            continue
        except ValueError:
            pass
        for line in block.splitlines():
            if line.startswith("{"):
                yield name or None, json.loads(line)


class JsonFields(unittest.TestCase):
    def test_every_key_written_is_listed_in_the_man_page(self):
        keys = source_keys()
        self.assertGreater(len(keys), 100, "the source's keys were not found")
        words = set(re.findall(r"\w+", man_json_section()))
        self.assertEqual(sorted(keys - words), [], "written, not in the man page's JSON")

    def test_every_field_the_man_page_names_is_written(self):
        # The names set in bold in the JSON section that look like keys.
        named = set()
        for line in man_json_section().splitlines():
            if line.startswith((".B ", ".BR ")):
                named.update(w for w in re.findall(r"[a-z][a-z0-9_]*", line[3:]) if "_" in w)
        self.assertEqual(sorted(named - source_keys() - names_as_keys()), [],
                         "named in the man page's JSON, never written")

    def test_real_output_has_only_the_keys_of_the_source(self):
        # The summary, the fleet, and the events of a replay: keys made at run time are
        # the source's too, so that the lists above miss none.
        known = source_keys() | names_as_keys()
        hour = os.path.join(SOURCE, "docs", "hour.log")
        minute = os.path.join(SOURCE, "docs", "minute.log")
        seen = set()
        with tempfile.TemporaryDirectory() as folder:
            bad = os.path.join(folder, "bad.log")
            with open(minute) as f, open(bad, "w") as out:
                out.write(f.read() + "not a row\n")
            for args in (["--json", hour, bad], ["--fleet", "--json", hour, minute]):
                result = subprocess.run([REPORT, *args], capture_output=True, timeout=120)
                keys_of(json.loads(result.stdout), seen)
        with open(minute, "rb") as f:
            replay = subprocess.run([REPORT, "--follow", "--json", "--stall", "5"],
                                    input=f.read(), capture_output=True, timeout=120)
        events = [json.loads(line) for line in replay.stdout.splitlines()]
        self.assertGreater(len(events), 3, replay.stderr)
        keys_of(events, seen)
        for expected in ("first_skipped_file", "shared", "event", "cause"):
            self.assertIn(expected, seen)
        self.assertEqual(sorted(seen - known), [], "written at run time, not in the source")


class Examples(unittest.TestCase):
    def test_each_example_has_only_keys_the_programs_write(self):
        known = source_keys() | names_as_keys()
        documents = glob.glob(os.path.join(SOURCE, "docs", "*.md")) + [
            os.path.join(SOURCE, "README.md")]
        with open(os.path.join(SOURCE, "scripts", "refresh-examples")) as f:
            refresher = f.read()
        found = 0
        for path in documents:
            with open(path) as f:
                text = f.read()
            for name, example in json_examples(text):
                found += 1
                with self.subTest(document=os.path.basename(path), example=str(example)[:60]):
                    self.assertEqual(sorted(keys_of(example, set()) - known), [])
                    # Real output: a run of scripts/refresh-examples writes it.
                    self.assertTrue(name and f'"{name}": ' in refresher,
                                    f"not an example that scripts/refresh-examples writes: {name}")
        self.assertGreater(found, 0, "no example found")


if __name__ == "__main__":
    unittest.main()
