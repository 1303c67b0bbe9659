"""zolviai: answers plain-language questions about the data in a relational database.

Import the module you need, for example ``import zolviai.agent`` or ``import zolviai.dbtool``.
Database failures of every module raise ``zolviai.DatabaseError``, a ``zolviai.Error``.
"""
from zolviai.errors import DatabaseError, Error

__all__ = ["DatabaseError", "Error"]
