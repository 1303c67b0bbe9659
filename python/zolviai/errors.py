"""The exceptions zolviai raises beside Python's own.

Every module raises the same classes, so one ``except`` clause catches a failure whichever
module it came from. Failures that Python has a class for keep it (KeyError, TypeError,
ValueError, IndexError, OSError, TimeoutError); the model's failures are ModelError (a
RuntimeError), other failures of the library RuntimeError. The classes below DatabaseError
and ModelError name the kind of failure; a statement's time-out is also a TimeoutError.
"""


class Error(Exception):
    """Root of the zolviai exceptions."""


class DatabaseError(Error):
    """A database failed, refused or could not be reached, or the guard refused a statement."""


class StatementRefused(DatabaseError):
    """The guard, or the check of the role generated SQL runs as, refused a statement."""


class StatementTimeout(DatabaseError, TimeoutError):
    """A statement ran past its time-out (the server's or the client's deadline)."""


class DatabaseUnavailable(DatabaseError):
    """The database could not be reached, or no connection became free in time."""


class ModelError(Error, RuntimeError):
    """The model service failed."""


class ModelUnavailable(ModelError):
    """The model service could not be reached or stayed overloaded through the retries."""


class ModelAnswerInvalid(ModelError):
    """The model answered in a form that could not be used."""
