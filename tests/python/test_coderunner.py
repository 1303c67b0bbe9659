"""The code runner and start-up helpers as a Python host sees them."""
import stat
import subprocess
import sys
import textwrap

import pytest

import zolviai.coderunner as coderunner
import zolviai.master as master

OFFLINE = {"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_WARN_SCRIPT_LOCATION": "1"}


@pytest.fixture(autouse=True)
def offline_pip(monkeypatch):
    # No package index is reachable here: make every lookup fail at once instead of retrying.
    for key, value in OFFLINE.items():
        monkeypatch.setenv(key, value)
    saved = (coderunner.env_path, coderunner.python_executable)
    yield
    coderunner.env_path, coderunner.python_executable = saved


def lines(capsys):
    return [line for line in capsys.readouterr().out.splitlines() if line]


def recorder(tmp_path):
    """A stand-in interpreter that appends its argument vector, one per line, to a file."""
    log = tmp_path / "argv.log"
    script = tmp_path / "fake-python"
    script.write_text(textwrap.dedent(f"""\
        #!/bin/sh
        for a in "$0" "$@"; do printf '%s\\n' "$a" >> {log}; done
        echo --- >> {log}
        case "$4" in fail*) exit 3;; esac
        """))
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    return script, log


def build_wheel(tmp_path):
    src = tmp_path / "wheel-src"
    (src / "zolvi_sample").mkdir(parents=True)
    (src / "zolvi_sample" / "__init__.py").write_text("VALUE = 42\n")
    (src / "setup.py").write_text(
        "from setuptools import setup\nsetup(name='zolvi_sample', version='1.0', packages=['zolvi_sample'])\n")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
                    "-q", "-w", str(tmp_path / "dist"), str(src)], check=True)
    return next((tmp_path / "dist").glob("*.whl"))


def test_environment_is_created_once_with_one_outcome_line_and_local_wheels_install(tmp_path, capsys):
    env = tmp_path / "deep" / "env"
    coderunner.initialize_environment(str(env))
    out = lines(capsys)
    assert len(out) == 1
    # The defaults cannot come from an index here: the line names each failed module (they
    # would be reported as success without the installers' exit status).
    assert out[0].startswith("An error occurred during installation: matplotlib (exit status ")
    assert "scipy (exit status" in out[0]
    assert coderunner.env_path == str(env)
    assert coderunner.python_executable == str(env / "bin" / "python")
    subprocess.run([coderunner.python_executable, "-c", "pass"], check=True)

    coderunner.initialize_environment(str(env))
    assert lines(capsys) == []

    wheel = build_wheel(tmp_path)
    capsys.readouterr()
    coderunner.safe_install_modules(["zolvi-no-such-module", str(wheel)])
    out = lines(capsys)
    assert out == ["An error occurred during installation: zolvi-no-such-module (exit status 1)"]
    done = subprocess.run([coderunner.python_executable, "-c", "import zolvi_sample; print(zolvi_sample.VALUE)"],
                          capture_output=True, text=True, check=True)
    assert done.stdout == "42\n"


def test_plain_file_counts_as_an_environment(tmp_path, capsys):
    plain = tmp_path / "not-a-dir"
    plain.write_text("x")
    coderunner.initialize_environment(str(plain))
    assert lines(capsys) == []
    assert coderunner.python_executable == str(plain / "bin" / "python")


def test_installer_gets_the_exact_argument_vector_and_every_name_is_tried(tmp_path, capsys):
    script, log = recorder(tmp_path)
    coderunner.python_executable = str(script)
    coderunner.safe_install_modules(["failing-one", "pandas>=1.5"])
    runs = log.read_text().split("---\n")[:-1]
    assert [r.splitlines() for r in runs] == [
        [str(script), "-m", "pip", "install", "failing-one"],
        [str(script), "-m", "pip", "install", "pandas>=1.5"],
    ]
    assert lines(capsys) == ["An error occurred during installation: failing-one (exit status 3)"]

    log.unlink()
    coderunner.safe_install_modules([])
    assert lines(capsys) == ["Installation successful."]
    assert not log.exists(), "an empty list starts no installer"

    master.safe_install_modules(["ok-one"])
    coderunner.safe_install_modules(["ok-one"])
    assert lines(capsys) == ["Installation successful.", "Installation successful."]


def test_installing_before_preparation_and_unset_paths_print_error_lines(tmp_path, capsys):
    coderunner.python_executable = None
    coderunner.safe_install_modules(["pandas"])
    assert lines(capsys) == [
        "An error occurred during installation: expected str, bytes or os.PathLike object, not NoneType"]

    assert master.initialize_env(None) is None
    assert lines(capsys) == [
        "An error occurred during initilization: stat: path should be string, bytes, os.PathLike or integer, not NoneType"]

    coderunner.python_executable = str(tmp_path / "missing" / "python")
    coderunner.safe_install_modules(["pandas"])
    out = lines(capsys)
    assert out == [f"An error occurred during installation: [Errno 2] No such file or directory: "
                   f"'{tmp_path / 'missing' / 'python'}'"]

    with pytest.raises(OSError):
        coderunner.install_dependencies(["pandas"])


def test_initialisation_that_cannot_create_the_environment_prints_and_keeps_settings(tmp_path, capsys):
    blocker = tmp_path / "file"
    blocker.write_text("")
    coderunner.python_executable = "/before"
    master.initialize_env(str(blocker / "env"))  # a parent that is a file: creation fails
    out = lines(capsys)
    assert len(out) == 1 and out[0].startswith("An error occurred during initilization: ")
    assert coderunner.python_executable == "/before"


def test_master_re_exports_the_code_runner():
    for name in ("initialize_environment", "ensure_virtual_environment", "install_defaults",
                 "install_dependencies", "execute_code", "os", "sys"):
        assert getattr(master, name) is getattr(coderunner, name)
    assert master.safe_install_modules is not coderunner.safe_install_modules
    assert master.env_path is None and master.python_executable is None


def test_execute_code_keeps_its_namespace_and_restores_stdout():
    assert coderunner.execute_code("frame = [1, 2, 3]") == ""
    assert coderunner.execute_code(code="print(sum(frame))") == "6\n"
    assert coderunner.execute_code("1 + 1") == ""
    assert coderunner.frame == [1, 2, 3], "top-level names land in the module's namespace"
    before = sys.stdout
    with pytest.raises(ValueError, match="bad") as info:
        coderunner.execute_code("print('lost')\nraise ValueError('bad')")
    assert sys.stdout is before
    assert any(entry.path == "<ast>" for entry in info.traceback)
    assert coderunner.execute_code("print('after')") == "after\n"
    with pytest.raises(SyntaxError):
        coderunner.execute_code("def broken(:")
    assert coderunner.execute_code("print(env_path is None or isinstance(env_path, str))") == "True\n"
