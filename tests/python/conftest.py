"""Shared fixtures: the scripted chat server in this process, and the test databases."""
import os
import sys
import urllib.parse

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

import chat_server  # noqa: E402


class ScriptedServer:
    def __init__(self):
        self.server, self.url = chat_server.start()

    @property
    def state(self):
        return self.server.state

    def queue(self, *answers):
        with self.state.lock:
            self.state.queue.extend(answers)

    def service(self, **data):
        with self.state.lock:
            self.state.service.update(data)

    def requests(self):
        with self.state.lock:
            return list(self.state.requests)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def chat():
    server = ScriptedServer()
    yield server
    server.close()


def tool(name, **arguments):
    return {"tool_name": name, "tool_arguments": arguments}


def reader_parts(variable):
    """The parts of a reader role's URI (ZOLVIAI_PG_READER_URI, ZOLVIAI_MARIADB_READER_URI)."""
    uri = os.environ.get(variable)
    if not uri:
        pytest.fail(f"{variable} is not set: run the tests through scripts/test")
    return urllib.parse.urlparse(uri)


def pg_parts():
    uri = os.environ.get("ZOLVIAI_PG_URI")
    if not uri:
        pytest.fail("ZOLVIAI_PG_URI is not set: run the tests through scripts/test")
    return urllib.parse.urlparse(uri)


@pytest.fixture(scope="session")
def sample_pg():
    """A PostgreSQL database holding the sample music store; returns its connection values."""
    import psycopg2
    parts = pg_parts()
    admin = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                             password=parts.password, dbname=parts.path.lstrip("/"))
    admin.autocommit = True
    with admin.cursor() as cur:
        cur.execute("DROP DATABASE IF EXISTS zolvi_agent_sample")
        cur.execute("CREATE DATABASE zolvi_agent_sample")
    admin.close()
    db = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                          password=parts.password, dbname="zolvi_agent_sample")
    with open(os.path.join(ROOT, "examples", "sample_db.sql")) as f:
        script = "\n".join(line for line in f.read().splitlines() if not line.lstrip().startswith("--"))
    with db, db.cursor() as cur:
        cur.execute(script)
    db.close()
    # Generated SQL runs as the server's reader role.
    reader = reader_parts("ZOLVIAI_PG_READER_URI")
    return {"db_name": "zolvi_agent_sample", "db_user": reader.username, "db_password": reader.password,
            "db_host": parts.hostname, "db_port": parts.port}
