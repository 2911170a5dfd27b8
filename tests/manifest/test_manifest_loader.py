"""Job manifests as the manifest loader reads them."""
import subprocess

import pytest

from tavox.manifest.manifest import load


def test_load_a_manifest(tmp_path):
    path = tmp_path / "job.tem"
    path.write_text("type: pyjob\nprofiles:\n  lab:\n    runtime: venv\n"
                    "runtimes:\n  venv: {type: virtualenv}\n")
    manifest = load(str(path))
    assert manifest.get("type") == "pyjob"
    assert manifest.get("profiles") == {"lab": {"runtime": "venv"}}
    assert manifest.get("missing", {}) == {}
    manifest.update({"follow_symlink": True})
    assert manifest["follow_symlink"] is True
    assert manifest.path == str(path)


@pytest.mark.parametrize("content, error", [
    ("", None),
    ("- a\n- b\n", ValueError),
    ("type: [unclosed\n", Exception),
])
def test_manifest_contents(tmp_path, content, error):
    path = tmp_path / "job.tem"
    path.write_text(content)
    if error is None:
        assert load(path) == {}
    else:
        with pytest.raises(error):
            load(path)


def test_manifest_module_runs_the_runtime(manifest_cmd):
    pytest.importorskip("tavox.manifest.runtime")
    result = subprocess.run(manifest_cmd, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=120)
    # No manifest given: the runtime shows its help and ends successfully.
    assert result.returncode == 0, result.stderr
    assert "Manifest Options" in result.stdout
