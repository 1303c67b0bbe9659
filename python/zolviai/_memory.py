"""The memory of verified SQL of one database, as Database.memory: certified question/SQL
pairs the question engine reuses for the same question and shows as examples for similar ones."""
from zolviai.memory_native import VerifiedMemory


class Memory:
    """db.memory: add(question, sql), search(text), remove(entry_id), list().

    database is the database wrapper (zolviai.flow_graph.custom_sql.CustomSQLDatabase);
    state_db the state database (a file path or postgresql://...; "" for the user's file)."""

    def __init__(self, database, state_db=""):
        self._db = database
        self._memory = VerifiedMemory(state_db)

    def add(self, question, sql, by=""):
        """Certifies sql as the answer to question (it runs through the guard first: a
        statement that is refused or fails raises DatabaseError). Returns the entry."""
        return self._memory.add(self._db, question, sql, by)

    def search(self, text, k=10):
        """The database's entries most similar to text, best first."""
        return self._memory.search(self._db, text, k)

    def list(self):
        """The database's entries, newest first."""
        return self._memory.list(self._db)

    def remove(self, entry_id):
        """Removes an entry; False when there was none."""
        return self._memory.remove(entry_id)
