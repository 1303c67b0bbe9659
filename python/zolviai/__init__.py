"""zolviai: answers plain-language questions about the data in a relational database.

For Python hosts::

    import zolviai
    db = zolviai.connect("sqlite:////absolute/path/shop.db")
    answer = db.ask("How many orders shipped last month?")
    print(answer.answer, answer.sql, answer.rows)

The lower-level modules keep their own contracts: import the one you need, for example
``import zolviai.agent`` or ``import zolviai.dbtool``. Database failures of every module raise
``zolviai.DatabaseError``, a ``zolviai.Error``.
"""
from zolviai._version import __version__
from zolviai.client import (Answer, Attempt, Conversation, Database, Memory, Result, Step, Usage,
                            connect)
from zolviai.errors import DatabaseError, Error

__all__ = ["Answer", "Attempt", "Conversation", "Database", "Memory", "DatabaseError", "Error", "Result", "Step", "Usage",
           "__version__", "connect"]
