"""The package installs offline with Debian's pip, setuptools and wheel."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_pip_install_without_build_isolation_gives_an_importable_package(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation", ROOT],
                   check=True, env=env, cwd=tmp_path)
    probe = ("import zolviai.agent, zolviai.master, zolviai.flow_graph.flow_graph as g;"
             "print(zolviai.agent.__file__.startswith(%r), len(g.SQLState))" % str(venv))
    done = subprocess.run([str(venv / "bin" / "python"), "-c", probe], check=True, env=env,
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.stdout == "True 26\n"  # the flow state, earlier_sql included
