from typing import Any, Optional
from zolviai.flow_graph.custom_sql import CustomSQLDatabase
from zolviai.flow_graph.flow_steps import *
from zolviai.function_calling.base import RelevantTablePicker as RelevantTablePicker
from zolviai.settings import AzureOpenAIChat35 as AzureOpenAIChat35, AzureOpenAIChat4 as AzureOpenAIChat4

SQLState: dict[str, str]

class SQLGraph:
    def __init__(self, custom_sql_db: CustomSQLDatabase, config_35: AzureOpenAIChat35,
                 config_4: AzureOpenAIChat4) -> None: ...
    db: CustomSQLDatabase
    runnable_config: dict[str, Any]
    @staticmethod
    def _config_graph(metadata: Optional[dict[str, Any]] = None, tags: list[str] = ["flow_graph"],
                      max_concurrency: Optional[int] = 20, recursion_limit: int = 50) -> dict[str, Any]: ...
    def _compile_graph(self, runnable_config: Any) -> None: ...
    def invoke(self, inputs: dict[str, Any]) -> dict[str, Any]: ...
    def visualize_graph(self, visualization_type: str = "ascii",
                        save_graph_path: str = "graph_visualization.png") -> None: ...
