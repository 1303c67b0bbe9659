"""Follow-up questions from Python: a conversation whose questions are read in the light of
the earlier ones ("and only for 2023?"), kept in the state database.

    conv = Conversation(graph)          # graph: a zolviai SQLGraph for the database
    conv.ask("Revenue per country in 2024?")
    conv.ask("and only for Germany?")   # understood as "Revenue for Germany in 2024?"
    conv.turns                          # every turn so far, oldest first

state_db: an SQLite file or postgresql://... (default: ZOLVI_STATE_DB, else the file under the
user's state folder). Conversations are kept there, so a later process can continue one by its
id: Conversation(graph, conversation_id=...).
"""
import os

from zolviai import _conversations


class Conversation:
    def __init__(self, graph, *, state_db=None, conversation_id=None, store=None):
        if store is None:
            store = _conversations.ConversationStore(state_db or os.environ.get("ZOLVI_STATE_DB", ""))
        self._graph = graph
        self._store = store
        self._id = conversation_id or ""
        if self._id:
            self._store.turns(self._id)  # KeyError now for an unknown or expired id

    @property
    def id(self):
        """The conversation's id; None until its first question."""
        return self._id or None

    def ask(self, question, *, sql_only=False, media_path="", max_rows=0):
        """Asks the question as the next turn: the answer record of zolviai.agent.ask with
        'understood_as' (the question as it was made to stand alone), 'conversation_id' and
        'turn'. A failed question is a turn too; its failure is in the record."""
        if not isinstance(question, str) or not question.strip():
            raise ValueError("the question must be a non-empty text")
        record = _conversations.ask(self._graph, self._store, self._id, question,
                                    media_path=media_path, sql_only=sql_only, max_rows=max_rows)
        self._id = record["conversation_id"]
        return record

    @property
    def turns(self):
        """Every turn so far, oldest first: {'turn', 'question', 'understood_as', 'sql',
        'row_count', 'columns', 'outcome', 'answer', 'created_at'}."""
        return self._store.turns(self._id) if self._id else []

    def new(self):
        """Starts over: the next question begins a new conversation."""
        self._id = ""

    def delete(self):
        """Deletes the conversation from the state database and starts over."""
        if self._id:
            self._store.remove(self._id)
        self._id = ""

    def __repr__(self):
        return "Conversation(id=%r)" % (self._id or None)
