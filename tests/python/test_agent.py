"""The agent as a Python host uses it: create an agent, ask questions, read the record."""
import threading

import pytest

from conftest import tool

import zolviai.agent as agent
from zolviai.flow_graph import flow_steps


def deployments(url, gpt4=True):
    records = [{"model": "GPT-3.5", "deployment_name": "d35", "azure_endpoint": url,
                "api_key": "k35", "api_version": "2024-10-21"}]
    if gpt4:
        records.append({"model": "GPT-4-turbo", "deployment_name": "d4", "azure_endpoint": url,
                        "api_key": "k4", "api_version": "2024-10-21"})
    return records


@pytest.fixture
def service(chat, monkeypatch):
    monkeypatch.setenv("ZOLVI_API_BASE_URL", chat.url)
    chat.service(deployments=deployments(chat.url))
    return chat


def make_agent(service, sample_pg, capsys):
    made = agent.create_agent("PostgreSQL", **sample_pg)
    assert capsys.readouterr().out == "Agent is Ready!\n"
    return made


def usage_reports(chat):
    return [r for r in chat.requests() if r["path"] == "/zolvi/usage/"]


def test_success_returns_the_five_keys_and_reports_usage(service, sample_pg, capsys, tmp_path):
    flow = make_agent(service, sample_pg, capsys)
    query = "SELECT COUNT(*) AS artists FROM artist"
    service.queue(tool("RelevantTablesOutput", relevant_tables=["Artist"]),
                  tool("SQLQueryInput", sql_query=query),
                  {"content": query},
                  tool("PythonCodeInput", code="print('8 artists')"),
                  tool("GenerationOutput", final_response="There are 8 artists."))
    media = tmp_path / "new" / "media"
    record = agent.run_agent(flow, "acct-key", "How many artists?", str(media))
    assert media.is_dir()
    assert record == {"output": "There are 8 artists.", "python_code": "print('8 artists')",
                      "image_path": "", "generated_query": [query],
                      "sql_execution_result": ["[(8,)]"]}
    out = capsys.readouterr().out
    assert out.startswith("hahahaha : \nGeneral Response prompt: User question: How many artists?\n")
    [report] = usage_reports(service)
    assert report["headers"]["X-Zolvi-Api-Key"] == "acct-key"
    body = report["json"]
    assert body["question"] == "How many artists?"
    assert isinstance(body["total_tokens"], int) and body["total_tokens"] == 75
    assert isinstance(body["total_cost"], float) and body["total_cost"] > 0


def test_a_flow_that_raises_gives_the_error_record(service, sample_pg, capsys, tmp_path):
    flow = make_agent(service, sample_pg, capsys)
    service.queue(tool("RelevantTablesOutput", wrong_field=["artist"]))
    record = agent.run_agent(flow, "acct-key", "q", str(tmp_path / "media"))
    assert record == {"output": "An error occurred"}
    captured = capsys.readouterr()
    lines = captured.out.splitlines()
    assert len(lines) == 1 and lines[0].startswith("An error occurred when running the agent: ")
    assert "relevant_tables" in lines[0]
    assert captured.err, "the traceback goes to standard error"
    [report] = usage_reports(service)
    assert report["json"]["total_tokens"] is None and report["json"]["total_cost"] is None


def test_sql_failure_route_answers_gracefully(service, sample_pg, capsys, tmp_path):
    flow = make_agent(service, sample_pg, capsys)
    answers = [tool("RelevantTablesOutput", relevant_tables=["artist"])]
    for i in range(5):
        answers += [tool("SQLQueryInput", sql_query="SELECT nme FROM artist"), {"content": "SELECT nme FROM artist"}]
    answers += [tool("RewriteQueryOutput", rewritten_question="names of artists"),
                tool("RelevantTablesOutput", relevant_tables=["artist"]),
                tool("SQLQueryInput", sql_query="SELECT nme FROM artist"), {"content": "SELECT nme FROM artist"},
                tool("GenerationOutput", final_response="I could not answer that from the database.")]
    service.queue(*answers)
    record = agent.run_agent(flow, "k", "Artist names?", str(tmp_path / "media"))
    # The terminal route never writes the analysis fields; the answer still reaches the host.
    assert record["output"] == "I could not answer that from the database."
    assert record["python_code"] == "" and record["image_path"] == ""
    assert len(record["generated_query"]) == 6
    assert 'column "nme" does not exist' in record["sql_execution_result"][0]


def test_a_failing_usage_report_keeps_the_answer(service, sample_pg, capsys, monkeypatch, tmp_path):
    flow = make_agent(service, sample_pg, capsys)
    query = "SELECT 1"
    service.queue(tool("RelevantTablesOutput", relevant_tables=["artist"]),
                  tool("SQLQueryInput", sql_query=query), {"content": query},
                  tool("PythonCodeInput", code="print(1)"),
                  tool("GenerationOutput", final_response="One."))
    monkeypatch.setenv("ZOLVI_API_BASE_URL", "http://127.0.0.1:9")  # nothing listens there
    record = agent.run_agent(flow, "k", "q", str(tmp_path / "media"))
    assert record["output"] == "One."
    assert capsys.readouterr().out.splitlines()[-1].startswith("The usage report failed: ")


def test_create_agent_failures(service, sample_pg, capsys):
    with pytest.raises(Exception):
        agent.create_agent("postgresql", **sample_pg)  # engine names are exact
    service.service(deployments=deployments(service.url, gpt4=False))
    assert agent.create_agent("PostgreSQL", **sample_pg) is None
    assert capsys.readouterr().out == "Internal Server Error!\n"


def test_settings_with_model_keywords_are_rejected(service, sample_pg):
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase
    from zolviai.flow_graph.flow_graph import SQLGraph
    from zolviai.settings import AzureOpenAIChat35, AzureOpenAIChat4
    db = CustomSQLDatabase.from_uri(
        "postgresql://{db_user}:{db_password}@{db_host}:{db_port}/{db_name}".format(**sample_pg))
    good = AzureOpenAIChat35(azure_deployment="d", azure_endpoint=service.url, api_key="k", api_version="v")
    bad = AzureOpenAIChat4(azure_deployment="d", azure_endpoint=service.url, api_key="k", api_version="v")
    bad.temperature = 0.5
    with pytest.raises(TypeError, match="multiple values for keyword argument 'temperature'"):
        SQLGraph(db, good, bad)
    with pytest.raises(TypeError, match="__dict__"):
        SQLGraph(db, good, None)
    graph = SQLGraph(db, good, good)
    with pytest.raises(TypeError, match="Argument 'inputs' has incorrect type"):
        graph.invoke(None)
    with pytest.raises(TypeError):
        graph.visualize_graph(1)


def test_syntax_checker_replaces_the_hosts_last_query_in_place(service, sample_pg):
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase
    from zolviai.llm import ChatOpenAI
    db = CustomSQLDatabase.from_uri(
        "postgresql://{db_user}:{db_password}@{db_host}:{db_port}/{db_name}".format(**sample_pg))
    model = ChatOpenAI(openai_api_key="k", model="gpt-4o", base_url=service.url)
    service.queue({"content": "```sql\nSELECT name FROM artist LIMIT 5\n```"})
    queries = ["SELECT 1", "SELECT name FROM artist"]
    state = {"generated_sql_query": queries}
    assert flow_steps.SQLSyntaxChecker(db=db, model=model).invoke(state) == {}
    assert state["generated_sql_query"] is queries
    assert queries == ["SELECT 1", "SELECT name FROM artist LIMIT 5"]
    with pytest.raises(TypeError, match="'state'"):
        flow_steps.SQLExecution(db=db).invoke(["not", "a", "map"])


def status_kb(name):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise AssertionError("/proc/self/status has no " + name)


def reset_peak_memory():
    """The resident size now, with the kernel's record of the peak reset to it."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    return status_kb("VmRSS")


@pytest.mark.parametrize("answer, named", [
    ({"body": "[", "repeat": 300_000_000, "encoding": "gzip"}, "limit of 16777216 bytes"),
    ({"body": "[" * 60000 + "]" * 60000}, "limit of 512 levels"),
    (tool("RelevantTablesOutput", relevant_tables=[]) | {"tool_arguments": "[" * 60000},
     "limit of 512 levels"),
    ({"body": {"choices": [{"message": {"role": "assistant", "tool_calls": [
        {"type": "function", "function": {"name": "RelevantTablesOutput"}}]}}]}},
     "without arguments"),
])
def test_hostile_model_answers_end_the_run_with_a_clear_error(service, sample_pg, capsys, tmp_path,
                                                              answer, named):
    flow = make_agent(service, sample_pg, capsys)
    service.queue(answer)
    start = reset_peak_memory()
    record = agent.run_agent(flow, "k", "How many artists?", str(tmp_path / "media"))
    assert status_kb("VmHWM") - start < 100 * 1024, "memory grew past 100 MB"
    assert record == {"output": "An error occurred"}
    line = capsys.readouterr().out.splitlines()[0]
    assert line.startswith("An error occurred when running the agent: ") and named in line, line


def test_hostile_service_answers_and_context_files_are_errors(service, sample_pg, monkeypatch,
                                                              tmp_path):
    from zolviai.prompts import context
    service.service(deployments_answer={"body": "[" * 60000})
    with pytest.raises(ValueError, match="limit of 512 levels"):
        agent.create_agent("PostgreSQL", **sample_pg)
    deep = tmp_path / "context.json"
    deep.write_text('{"context_prompt": ' + "[" * 60000 + "]" * 60000 + "}")
    monkeypatch.setenv("ZOLVI_CONTEXT_FILE", str(deep))
    with pytest.raises(RuntimeError, match="ZOLVI_CONTEXT_FILE.*limit of 512 levels"):
        context.read_values()
    monkeypatch.setenv("ZOLVI_CONTEXT_FILE", "/dev/zero")
    start = reset_peak_memory()
    with pytest.raises(RuntimeError, match="over the limit of 1048576 bytes"):
        context.read_values()
    assert status_kb("VmHWM") - start < 100 * 1024


def test_custom_runnable_agent_plans_through_any_invoke():
    seen = []

    class Runnable:
        def invoke(self, inputs, config):
            seen.append((inputs, config))
            return "finish"

    runner = agent.CustomRunnableAgent(runnable=Runnable())
    assert runner.plan([("a", "b")], None, input="q") == "finish"
    assert seen == [({"input": "q", "intermediate_steps": [("a", "b")]}, {"callbacks": None})]


def test_questions_in_parallel_threads_each_get_their_own_answer(service, sample_pg, capsys, tmp_path):
    flow = make_agent(service, sample_pg, capsys)
    with service.state.lock:
        service.state.rules.extend([
            {"match": {"body_contains": "RelevantTablesOutput"},
             "answer": tool("RelevantTablesOutput", relevant_tables=["artist"])},
            {"match": {"body_contains": "SQLQueryInput"},
             "answer": tool("SQLQueryInput", sql_query="SELECT COUNT(*) FROM artist")},
            {"match": {"body_contains": "PythonCodeInput"},
             "answer": tool("PythonCodeInput", code="import threading\nprint(threading.get_ident())")},
            {"match": {"body_contains": "GenerationOutput"},
             "answer": tool("GenerationOutput", final_response="ok")},
            {"match": {}, "answer": {"content": "SELECT COUNT(*) FROM artist"}},
        ])
    records = [None] * 6

    def ask(i):
        records[i] = agent.run_agent(flow, "k", "question %d" % i, str(tmp_path / "media"))

    threads = [threading.Thread(target=ask, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r["output"] == "ok" for r in records)
    assert all(r["sql_execution_result"] == ["[(8,)]"] for r in records)
