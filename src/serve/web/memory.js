// The memory of verified SQL on the page: "Correct" certifies the answer's SQL for its
// question; "Edit SQL" opens the statement for editing, "Run" shows its rows, and "Save as
// correct" certifies the edited statement. Hooks into the page through the "zolvi:answer"
// event app.js sends after drawing an answer; uses its authHeaders() and drawTable().
"use strict";

(function () {
  let question = "";
  let sql = "";
  const box = document.getElementById("sql-box");
  if (!box) return;

  const bar = document.createElement("div");
  bar.className = "memory-bar";
  bar.innerHTML =
    '<button type="button" id="memory-correct" class="small">Correct</button> ' +
    '<button type="button" id="memory-edit" class="small">Edit SQL</button> ' +
    '<span id="memory-status" class="muted" role="status"></span>' +
    '<div id="memory-editor" hidden>' +
    '<textarea id="memory-sql" rows="6" spellcheck="false"></textarea>' +
    '<div><button type="button" id="memory-run" class="small">Run</button> ' +
    '<button type="button" id="memory-save" class="small">Save as correct</button></div>' +
    '<div class="table-wrap"><table id="memory-table"><thead></thead><tbody></tbody></table></div>' +
    "</div>";
  box.appendChild(bar);
  const $ = (id) => document.getElementById(id);

  function status(text) {
    $("memory-status").textContent = text;
  }

  async function post(path, body) {
    const response = await fetch(path, {
      method: "POST",
      headers: Object.assign({ "Content-Type": "application/json" }, authHeaders()),
      body: JSON.stringify(body),
    });
    const data = await response.json().catch(() => ({}));
    if (!response.ok) {
      throw new Error((data.error && data.error.message) || "HTTP " + response.status);
    }
    return data;
  }

  async function certify(text) {
    status("Saving…");
    try {
      const entry = await post("/v1/memory", { question: question, sql: text, source: "page" });
      status("Saved as correct (#" + entry.id + "): this question will be answered with it.");
    } catch (e) {
      status("Not saved: " + e.message);
    }
  }

  document.addEventListener("zolvi:answer", (event) => {
    const record = event.detail.record || {};
    // A follow-up is certified as the question it was understood as: its own words ("and
    // last year?") mean nothing alone.
    question = record.understood_as || event.detail.question;
    sql = record.sql || "";
    const memory = record.from_memory;
    status(memory ? "Answered from memory (#" + memory.id + ", certified " +
      memory.certified_at + ")." : "");
    $("memory-editor").hidden = true;
    $("memory-sql").value = sql;
  });
  $("memory-correct").addEventListener("click", () => certify(sql));
  $("memory-edit").addEventListener("click", () => {
    $("memory-editor").hidden = !$("memory-editor").hidden;
    $("memory-sql").value = $("memory-sql").value || sql;
  });
  $("memory-run").addEventListener("click", async () => {
    status("Running…");
    try {
      const rows = await post("/v1/sql", { sql: $("memory-sql").value });
      const table = $("memory-table");
      const original = $("table");
      original.id = "table-answer";
      table.id = "table";
      drawTable(rows.columns, rows.rows);
      table.id = "memory-table";
      original.id = "table";
      status(rows.rows.length + " row(s).");
    } catch (e) {
      status("The statement failed: " + e.message);
    }
  });
  $("memory-save").addEventListener("click", () => certify($("memory-sql").value));
})();
