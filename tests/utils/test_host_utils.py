"""Interrupt handling, runtime environment, YAML loading and the help
formatter."""
import argparse
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
import yaml

from tavox.utils import sig_handlers
from tavox.utils.parser import Tavox_HelpFormatter
from tavox.utils.utils import get_runtime_env
from tavox.utils.yaml import Loader

DOUBLE_CTRL_C = """
import os, signal, sys, time
from tavox.utils.sig_handlers import enable_double_ctrl_c

assert enable_double_ctrl_c(interval=float(sys.argv[1]))
os.kill(os.getpid(), signal.SIGINT)
time.sleep(float(sys.argv[2]))
print("survived the first", flush=True)
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(0.1)
except KeyboardInterrupt:
    print("interrupted")
else:
    print("survived the second")
"""


@pytest.mark.parametrize("interval, pause, outcome", [
    (30, 0.0, "interrupted"),
    (0.2, 0.5, "survived the second"),
])
def test_double_ctrl_c(interval, pause, outcome):
    result = subprocess.run([sys.executable, "-c", DOUBLE_CTRL_C, str(interval), str(pause)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["survived the first", outcome]
    assert "press Ctrl-C again" in result.stderr


def test_double_ctrl_c_outside_the_main_thread_does_nothing():
    results = []
    worker = threading.Thread(target=lambda: results.append(sig_handlers.enable_double_ctrl_c()))
    worker.start()
    worker.join()
    assert results == [False]


def test_runtime_env_is_shared_and_holds_custom_arguments():
    env = get_runtime_env()
    assert get_runtime_env() is env
    saved = env.argv.custom
    try:
        env.argv.custom = ["--job-option", "1"]
        assert get_runtime_env().argv.custom == ["--job-option", "1"]
    finally:
        env.argv.custom = saved


def test_yaml_loader_is_safe_and_usable_from_threads(tmp_path):
    paths = []
    for i in range(16):
        path = tmp_path / f"doc{i}.yaml"
        path.write_text(f"devices:\n  r{i}: {{os: rhenx, index: {i}}}\n")
        paths.append(path)
    loader = Loader()

    def load(path):
        with open(path) as stream:
            return loader.load(stream)

    with ThreadPoolExecutor(8) as pool:
        docs = list(pool.map(load, paths * 4))
    assert [doc["devices"][f"r{i % 16}"]["index"] for i, doc in enumerate(docs)] == \
        [i % 16 for i in range(64)]

    for text in ("a: !!python/object/apply:os.getcwd []\n", "a: [1,\n"):
        with pytest.raises(yaml.YAMLError):
            loader.load(text)


def test_help_formatter_keeps_descriptions_as_written():
    assert issubclass(Tavox_HelpFormatter, argparse.RawDescriptionHelpFormatter)
    parser = argparse.ArgumentParser(
        prog="job", formatter_class=Tavox_HelpFormatter,
        description="\nFirst line\n    indented second line\n" + "-" * 80 + "\n    ")
    text = parser.format_help()
    assert "\n\nFirst line\n    indented second line\n" + "-" * 80 + "\n\n" in text
