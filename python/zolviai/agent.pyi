from typing import Any, Optional
from zolviai.flow_graph.flow_graph import SQLGraph as SQLGraph
from zolviai.flow_graph.custom_sql import CustomSQLDatabase as CustomSQLDatabase
from zolviai.settings import AzureOpenAIChat35 as AzureOpenAIChat35, AzureOpenAIChat4 as AzureOpenAIChat4
from zolviai.api import ZolviAPIHandler as ZolviAPIHandler, send_user_question as send_user_question
from zolviai.api import create_chat_openai_instance as create_chat_openai_instance
from zolviai.coderunner import *

def create_agent(engine: str, db_name: str, db_user: str, db_password: str, db_host: str,
                 db_port: int | str) -> Optional[SQLGraph]: ...
def run_agent(agent: SQLGraph, zolvi_api_key: str, query: str, media_path: str, *, sql_only: bool = False) -> dict[str, Any]: ...
def ask(agent: SQLGraph, question: str, *, media_path: str = "", sql_only: bool = False, max_rows: int = 0) -> dict[str, Any]: ...

class CustomRunnableAgent:
    runnable: Any
    def __init__(self, runnable: Any, **kwargs: Any) -> None: ...
    def plan(self, intermediate_steps: list[Any], callbacks: Any, **kwargs: Any) -> Any: ...
