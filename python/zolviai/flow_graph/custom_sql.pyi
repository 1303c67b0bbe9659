from zolviai.errors import DatabaseError as DatabaseError

SQLAlchemyError = DatabaseError

class CustomSQLDatabase:
    @staticmethod
    def from_uri(
        database_uri: str,
        *,
        allowed_functions: list[str] = ...,
        require_read_only_role: bool = ...,
        schema_cache: str = ...,
        prune_threshold: int = ...,
        prune_top_k: int = ...,
        allow_privileged_role: bool | None = ...,
        no_values: list[str] = ...,
        value_index: bool = ...,
    ) -> CustomSQLDatabase: ...
    @property
    def dialect(self) -> str: ...
    def get_usable_table_names(self) -> list[str]: ...
    def get_table_info_no_throw(self, table_names: list[str]) -> str: ...
    def run(self, command: str, fetch: str = "all", include_columns: bool = False) -> str: ...
    def value_hints(self, question: str) -> list[dict]: ...
