"""The exceptions zolviai raises beside Python's own.

Every module raises the same classes, so one ``except`` clause catches a failure whichever
module it came from. Failures that Python has a class for keep it (KeyError, TypeError,
ValueError, IndexError, OSError, TimeoutError); other failures of the library are
RuntimeError.
"""


class Error(Exception):
    """Root of the zolviai exceptions."""


class DatabaseError(Error):
    """A database failed, refused or could not be reached, or the guard refused a statement."""
