"""No file of clockgap-report's source includes one of a layer above its own, as the
layers are named in src/report/layers.txt; and every folder there has its layer."""

import os
import re
import sys
import unittest

SOURCE = os.environ.get("CLOCKGAP_SOURCE", os.path.join(os.path.dirname(__file__), ".."))
REPORT = os.path.join(SOURCE, "src", "report")


def layers():
    """{folder: layer number} from layers.txt."""
    out = {}
    with open(os.path.join(REPORT, "layers.txt")) as f:
        number = 0
        for line in f:
            if line.strip() and not line.startswith("#"):
                for folder in line.split():
                    out[folder] = number
                number += 1
    return out


def includes():
    """(file, its folder, the folder of each file of the report it includes)."""
    for root, _, files in os.walk(REPORT):
        for name in files:
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(root, name)
            folder = os.path.relpath(root, REPORT)
            with open(path, encoding="utf-8") as f:
                for line in f:
                    m = re.match(r'#include "report/(.*)"', line)
                    if m:
                        yield os.path.relpath(path, REPORT), folder, os.path.dirname(m.group(1)) or "."


class Layers(unittest.TestCase):
    def test_no_file_includes_a_layer_above_its_own(self):
        layer = layers()
        upward = []
        for path, folder, included in includes():
            self.assertIn(folder, layer, f"{folder} has no layer in layers.txt")
            self.assertIn(included, layer, f"{included} has no layer in layers.txt")
            if layer[included] > layer[folder]:
                upward.append(f"{path} includes report/{included}/ (layer {layer[included]} "
                              f"above {layer[folder]})")
        self.assertEqual(upward, [])


if __name__ == "__main__":
    unittest.main()
