// The page's conversation: each question continues the current one, so "and only for 2023?"
// is read in the light of the questions before it. The server keeps the turns; this tab keeps
// only the ids of its conversations (localStorage) for the side list.
//
// Hooks into the page (app.js): window.zolviConversation.requestFields() adds the
// conversation's id to each question; app.js sends "zolvi:answered" (detail: the run) when a
// question ends and "zolvi:shown" (detail: the run) when a run is drawn.
"use strict";

(function () {
  const storeKey = "zolvi.conversations";
  const el = (id) => document.getElementById(id);
  let currentId = null;
  let turns = 0;

  function load() {
    try {
      const list = JSON.parse(localStorage.getItem(storeKey) || "[]");
      return Array.isArray(list) ? list : [];
    } catch (e) {
      return [];
    }
  }

  function save(list) {
    try {
      localStorage.setItem(storeKey, JSON.stringify(list.slice(-30)));
    } catch (e) {
      // Storage full or refused: the list stays for this page only.
    }
  }

  function headers() {
    const token = el("token") ? el("token").value.trim() : "";
    return token ? { Authorization: "Bearer " + token } : {};
  }

  function remember(id, question) {
    const list = load().filter((c) => c.id !== id);
    list.push({ id, first: question, at: Date.now() });
    save(list);
  }

  function forget(id) {
    save(load().filter((c) => c.id !== id));
  }

  function drawState() {
    const line = el("conversation-state");
    if (!line) return;
    line.textContent = currentId
      ? "Continuing the conversation (" + turns + (turns === 1 ? " question" : " questions") + " so far)."
      : "A new conversation starts with the next question.";
    el("new-conversation").disabled = !currentId;
  }

  function drawList() {
    const list = el("conversation-list");
    if (!list) return;
    list.replaceChildren();
    const all = load().slice().reverse();
    el("conversation-empty").hidden = all.length > 0;
    for (const c of all) {
      const item = document.createElement("li");
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = c.first + (c.id === currentId ? " (current)" : "");
      button.addEventListener("click", () => resume(c.id));
      item.append(button);
      list.append(item);
    }
  }

  // Continues an earlier conversation, if the server still has it.
  async function resume(id) {
    try {
      const response = await fetch("/v1/conversations/" + encodeURIComponent(id), { headers: headers() });
      if (response.status === 404) {
        forget(id);
        if (currentId === id) currentId = null;
      } else if (response.ok) {
        const body = await response.json();
        currentId = id;
        turns = body.turns.length;
      }
    } catch (e) {
      // The server could not be reached: nothing changes.
    }
    drawState();
    drawList();
  }

  function startNew() {
    currentId = null;
    turns = 0;
    drawState();
    drawList();
    const question = el("question");
    if (question) question.focus();
  }

  function build() {
    const row = document.querySelector(".ask-row");
    if (row) {
      const button = document.createElement("button");
      button.type = "button";
      button.id = "new-conversation";
      button.className = "secondary";
      button.textContent = "New conversation";
      button.addEventListener("click", startNew);
      row.append(button);
      const state = document.createElement("p");
      state.id = "conversation-state";
      state.className = "muted";
      row.after(state);
    }
    const heading = el("run-question");
    if (heading) {
      const understood = document.createElement("p");
      understood.id = "understood-as";
      understood.className = "muted";
      understood.hidden = true;
      heading.after(understood);
    }
    const aside = document.querySelector("aside.history");
    if (aside) {
      const title = document.createElement("h2");
      title.id = "conversations-title";
      title.textContent = "Conversations";
      const empty = document.createElement("p");
      empty.id = "conversation-empty";
      empty.className = "muted";
      empty.textContent = "None yet.";
      const list = document.createElement("ol");
      list.id = "conversation-list";
      aside.append(title, empty, list);
    }
    drawState();
    drawList();
  }

  document.addEventListener("zolvi:answered", (event) => {
    const record = event.detail && event.detail.record;
    if (!record || !record.conversation_id) return;
    if (record.conversation_id !== currentId) remember(record.conversation_id, event.detail.question);
    currentId = record.conversation_id;
    turns = record.turn || turns + 1;
    drawState();
    drawList();
  });

  document.addEventListener("zolvi:shown", (event) => {
    const line = el("understood-as");
    if (!line) return;
    const record = event.detail && event.detail.record;
    const understood = record && record.understood_as;
    line.hidden = !understood || understood === record.question;
    line.textContent = line.hidden ? "" : "Understood as: " + understood;
  });

  window.zolviConversation = {
    requestFields: () => (currentId ? { conversation_id: currentId } : {}),
    id: () => currentId,
    startNew,
  };

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", build);
  else build();
})();
