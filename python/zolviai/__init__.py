"""zolviai: answers plain-language questions about the data in a relational database.

Every module of this package is a native extension; import the one you need, for example
``import zolviai.agent`` or ``import zolviai.dbtool``.
"""
