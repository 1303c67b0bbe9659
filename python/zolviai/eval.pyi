import os
from typing import Any, Callable, Optional, Sequence, Union

def run(questions: Union[str, os.PathLike[str], Sequence[dict[str, Any]]], *,
        db: Optional[str] = None, db_root: Optional[Union[str, os.PathLike[str]]] = None,
        format: str = "auto", jobs: int = 4, out: Optional[Union[str, os.PathLike[str]]] = None,
        sql_only: bool = False, limit: Optional[int] = None, resume: bool = False,
        compare: str = "set", timeout: float = 30.0,
        progress: Optional[Callable[[dict[str, Any], int, int], None]] = None) -> dict[str, Any]: ...
def headline(summary: dict[str, Any]) -> str: ...
