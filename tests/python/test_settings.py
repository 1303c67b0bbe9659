"""Settings as a Python host gets them: read at module load from the environment (looked up
live) and the working directory's .env, ZOLVI_ names first, the old ZOLVIAI_ names with one
notice per process."""
import os
import subprocess
import sys
import textwrap

import pytest

# Asks for the ODBC driver manager twice: the message names the library the settings chose.
CODE = """
    import zolviai.dbtool as d
    for _ in range(2):
        print(d.get_db_connection("MsSQL", "sa", "x", "127.0.0.1", 1433, "master"))
"""


def run_fresh(env, cwd):
    env = dict(env, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(CODE)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines(), done.stderr


@pytest.mark.parametrize("env, dotenv, library, notices", [
    # The environment beats .env; the new name beats the old one.
    ({"ZOLVI_ODBC_LIBRARY": "libfrom-env.so"}, "ZOLVI_ODBC_LIBRARY=libfrom-dotenv.so\n",
     "libfrom-env.so", 0),
    ({}, "ZOLVI_ODBC_LIBRARY=libfrom-dotenv.so\n", "libfrom-dotenv.so", 0),
    ({"ZOLVI_ODBC_LIBRARY": "libnew.so", "ZOLVIAI_ODBC_LIBRARY": "libold.so"}, "",
     "libnew.so", 0),
    # The old name alone is still read, with one notice however often it is read.
    ({"ZOLVIAI_ODBC_LIBRARY": "libold.so"}, "", "libold.so", 1),
    ({}, "export ZOLVIAI_ODBC_LIBRARY='libold-dotenv.so'\n", "libold-dotenv.so", 1),
])
def test_where_a_setting_comes_from(tmp_path, env, dotenv, library, notices):
    (tmp_path / ".env").write_text(dotenv)
    out, err = run_fresh(env, tmp_path)
    assert len(out) == 2
    # The driver manager is loaded once per process: both answers name the same library.
    for line in out:
        assert "could not load the ODBC driver manager: " + library in line, line
    told = [line for line in err.splitlines() if "is deprecated" in line]
    assert len(told) == notices, err
    if notices:
        assert told[0] == ("zolvi: ZOLVIAI_ODBC_LIBRARY is deprecated, set ZOLVI_ODBC_LIBRARY "
                           "instead")
