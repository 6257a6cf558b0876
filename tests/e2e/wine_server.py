"""CTest's fixtures for Wine. `start` and `stop`: one Wine server for the shared test
prefix, kept from before its first test to after its last, so that each test runs its
programs at once instead of starting Wine's own programs again. `template`: the prefix
that the tests with a prefix of their own start from (CLOCKGAP_WINE_TEMPLATE), made once."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402

if __name__ == "__main__":
    server = os.path.join(os.path.dirname(harness.WRAPPER[-1]), "wineserver")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = harness.wine_env()
    if sys.argv[1:] == ["start"]:
        subprocess.run([server, "--wait"], env=env, timeout=60, **quiet)
        # The server needs its prefix's folder; the first program fills it.
        os.makedirs(env["WINEPREFIX"], exist_ok=True)
        # Without --foreground the server leaves this process: it outlives the test.
        subprocess.run([server, "--persistent"], env=env, timeout=60, check=True, **quiet)
        subprocess.run([harness.WRAPPER[-1], "cmd", "/c", "exit"], env=env, timeout=120,
                       check=True, **quiet)
    elif sys.argv[1:] == ["template"]:
        template = os.environ["CLOCKGAP_WINE_TEMPLATE"]
        if not os.path.isfile(os.path.join(template, "system.reg")):
            # Made beside it and renamed: a template is whole or absent.
            making = template + ".new"
            shutil.rmtree(making, ignore_errors=True)
            os.mkdir(making)
            env["WINEPREFIX"] = making
            subprocess.run([harness.WRAPPER[-1], "cmd", "/c", "exit"], env=env, timeout=300,
                           check=True, **quiet)
            subprocess.run([server, "--kill"], env=env, timeout=60, **quiet)
            subprocess.run([server, "--wait"], env=env, timeout=60, **quiet)
            shutil.rmtree(template, ignore_errors=True)
            os.rename(making, template)
    elif sys.argv[1:] == ["stop"]:
        subprocess.run([server, "--kill"], env=env, timeout=60, **quiet)
        subprocess.run([server, "--wait"], env=env, timeout=60, **quiet)
    else:
        sys.exit("usage: wine_server.py start|stop|template")
