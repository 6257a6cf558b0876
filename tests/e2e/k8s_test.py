"""contrib/kubernetes checked offline: each object against the Kubernetes API's types
(npm's kubernetes-models, installed into the build folder from tests/k8s), every field
name one the API declares, what the DaemonSet must and must not hold, and the alert
rules as a PrometheusRule: the shipped ones, checked by promtool and tested with the
labels a scrape of a pod gives."""

import fcntl
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("CLOCKGAP_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("CLOCKGAP_BUILD", os.path.join(SOURCE, "build"))
MODULES = os.path.join(BUILD, "k8s-models")
MANIFESTS = os.path.join(SOURCE, "contrib", "kubernetes")
CHECK = os.path.join(SOURCE, "tests", "k8s", "check-manifests.mjs")


def setUpModule():
    # npm ci once into the build folder; the classes run side by side, so under a lock.
    os.makedirs(MODULES, exist_ok=True)
    with open(os.path.join(MODULES, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.isdir(os.path.join(MODULES, "node_modules", "kubernetes-models")):
            for name in ("package.json", "package-lock.json"):
                shutil.copy(os.path.join(SOURCE, "tests", "k8s", name), MODULES)
            installed = subprocess.run(["npm", "ci", "--no-audit", "--no-fund",
                                        "--loglevel=error"], cwd=MODULES, capture_output=True,
                                       timeout=300)
            assert installed.returncode == 0, installed.stderr.decode()


def check(*paths):
    return subprocess.run(["node", CHECK, MODULES, *paths], capture_output=True, timeout=120,
                          text=True)


def manifests():
    return sorted(os.path.join(MANIFESTS, n) for n in os.listdir(MANIFESTS)
                  if n.endswith(".yaml"))


def rules_of_prometheusrule():
    """The PrometheusRule's spec as a rules file: its lines after `spec:`, a level less
    indented (the file is made that way from the shipped rules)."""
    with open(os.path.join(MANIFESTS, "clockgap-rules.yaml")) as f:
        text = f.read()
    spec = text.split("\nspec:\n", 1)[1]
    return "".join(line[2:] if line.startswith("  ") else line
                   for line in spec.splitlines(keepends=True))


class Manifests(unittest.TestCase):
    def test_every_object_and_field_is_the_apis(self):
        result = check(*manifests())
        self.assertEqual(result.returncode, 0, result.stderr)
        kinds = sorted(json.loads(line)["kind"] for line in result.stdout.splitlines())
        self.assertEqual(kinds, ["DaemonSet", "Kustomization", "Namespace", "PodMonitor",
                                 "PrometheusRule"])
        # A misspelled field anywhere fails, by its path.
        cases = [("daemonset.yaml", "readOnlyRootFilesystem", "readOnlyRootFileSystem",
                  "containers[0].securityContext.readOnlyRootFileSystem"),
                 ("daemonset.yaml", "hostPID", "hostPid", "spec.template.spec.hostPid"),
                 ("podmonitor.yaml", "targetLabel", "target_label",
                  "relabelings[0].target_label"),
                 ("clockgap-rules.yaml", "  groups:", "  group:", "PrometheusRule.spec.group")]
        for name, right, wrong, said in cases:
            with self.subTest(field=wrong), tempfile.TemporaryDirectory() as d:
                with open(os.path.join(MANIFESTS, name)) as f:
                    text = f.read()
                self.assertIn(right, text)
                path = os.path.join(d, name)
                with open(path, "w") as f:
                    f.write(text.replace(right, wrong, 1))
                bad = check(path)
                self.assertEqual(bad.returncode, 1, bad.stdout)
                self.assertIn(f"the API has no field ", bad.stderr)
                self.assertIn(said, bad.stderr)

    def test_the_daemonset_runs_the_watch_as_a_node_agent(self):
        result = check(os.path.join(MANIFESTS, "daemonset.yaml"),
                       os.path.join(MANIFESTS, "kustomization.yaml"))
        ds, kustomization = [json.loads(line) for line in result.stdout.splitlines()]
        pod = ds["spec"]["template"]["spec"]
        [container] = pod["containers"]
        self.assertTrue(pod["hostPID"])
        self.assertEqual(pod["tolerations"], [{"operator": "Exists"}])
        # Requests, and no CPU limit: a limit would throttle the monitor itself.
        self.assertIn("cpu", container["resources"]["requests"])
        self.assertNotIn("cpu", container["resources"].get("limits", {}))
        security = container["securityContext"]
        self.assertEqual(security["capabilities"], {"drop": ["ALL"], "add": ["PERFMON"]})
        self.assertFalse(security["allowPrivilegeEscalation"])
        self.assertTrue(security["readOnlyRootFilesystem"])
        # The watch serves on the pod's address and the port the probe and the scrapes
        # name; the day files go to the node.
        args = container["args"]
        self.assertEqual(args[:3], ["--follow", "--monitor", "1"])
        listen = args[args.index("--listen") + 1]
        self.assertEqual(listen, "$(POD_IP):9101")
        self.assertEqual(container["env"][0]["valueFrom"]["fieldRef"]["fieldPath"],
                         "status.podIP")
        self.assertEqual(container["ports"], [{"name": "metrics", "containerPort": 9101,
                                               "protocol": "TCP"}])
        self.assertEqual(container["livenessProbe"]["httpGet"],
                         {"path": "/metrics", "port": "metrics"})
        annotations = ds["spec"]["template"]["metadata"]["annotations"]
        self.assertEqual(annotations["prometheus.io/port"], "9101")
        log = args[args.index("--log") + 1]
        [mount] = container["volumeMounts"]
        self.assertTrue(log.startswith(mount["mountPath"] + "/"))
        [volume] = pod["volumes"]
        self.assertEqual(volume["hostPath"]["path"], "/var/log/clockgap")
        # The image of the container package, by its version.
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            version = re.search(r"project\(clockgap VERSION (\S+)", f.read()).group(1)
        self.assertEqual(container["image"], f"clockgap:{version}")
        self.assertEqual(kustomization["images"][0]["newTag"], version)
        self.assertEqual(sorted(kustomization["resources"]),
                         sorted(os.path.basename(p) for p in manifests()
                                if not p.endswith("kustomization.yaml")))


@unittest.skipUnless(shutil.which("promtool"), "needs promtool")
class PrometheusRule(unittest.TestCase):
    def test_the_shipped_rules_as_made_and_checked(self):
        made = subprocess.run([os.path.join(MANIFESTS, "make-prometheusrule")],
                              capture_output=True, text=True, timeout=30)
        with open(os.path.join(MANIFESTS, "clockgap-rules.yaml")) as f:
            self.assertEqual(made.stdout, f.read(), "run make-prometheusrule again")
        with open(os.path.join(SOURCE, "contrib", "prometheus", "clockgap-rules.yml")) as f:
            shipped = f.read()
        self.assertEqual(rules_of_prometheusrule(), shipped[shipped.index("groups:"):])
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "rules.yml")
            with open(path, "w") as f:
                f.write(rules_of_prometheusrule())
            checked = subprocess.run(["promtool", "check", "rules", path],
                                     capture_output=True, text=True, timeout=60)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_the_alerts_with_the_labels_of_a_scraped_pod(self):
        # The shipped rule tests, with each host a pod that a PodMonitor scrapes: its
        # instance the pod's address, and pod and node labels besides. Each alert of a
        # host carries them all; those of the fleet, its job.
        with open(os.path.join(SOURCE, "contrib", "prometheus",
                               "clockgap-rules.test.yml")) as f:
            tests = f.read()
        hosts = sorted(set(re.findall(r'instance="([a-z]):9100"', tests)))
        self.assertGreaterEqual(len(hosts), 2)
        for h in hosts:
            address = f"10.1.0.{ord(h) - ord('a') + 11}:9101"  # sorted as the letters
            tests = tests.replace(f'instance="{h}:9100",job="node"',
                                  f'instance="{address}",job="clockgap/clockgap",'
                                  f'pod="clockgap-{h}",node="node-{h}"')
            tests = tests.replace(f'instance: "{h}:9100", job: node',
                                  f'instance: "{address}", job: clockgap/clockgap, '
                                  f'pod: clockgap-{h}, node: node-{h}')
            tests = tests.replace(f"{h}:9100", address)
        tests = re.sub(r"\bjob: node\b", "job: clockgap/clockgap", tests)
        tests = tests.replace('job="node"', 'job="clockgap/clockgap"')
        tests = tests.replace(" of node ", " of clockgap/clockgap ")
        self.assertNotIn(":9100", tests)
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "clockgap-rules.yml"), "w") as f:
                f.write(rules_of_prometheusrule())
            with open(os.path.join(d, "pods.test.yml"), "w") as f:
                f.write(tests)
            tested = subprocess.run(["promtool", "test", "rules", "pods.test.yml"], cwd=d,
                                    capture_output=True, text=True, timeout=120)
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)
        self.assertIn("SUCCESS", tested.stdout)


if __name__ == "__main__":
    unittest.main()
