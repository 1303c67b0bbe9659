// The page asks through the streamed API and draws what comes back. It keeps the questions
// of this tab (sessionStorage) and nothing on the server.
"use strict";

const $ = (id) => document.getElementById(id);
const historyKey = "zolvi.history";
const tokenKey = "zolvi.token";
let history = [];
let current = null; // the run on screen: {question, sqlOnly, steps, record, error}
let chartUrl = null;
let csvUrl = null;

function authHeaders() {
  const token = $("token").value.trim();
  return token ? { Authorization: "Bearer " + token } : {};
}

function loadHistory() {
  try {
    history = JSON.parse(sessionStorage.getItem(historyKey) || "[]");
  } catch (e) {
    history = [];
  }
  $("token").value = sessionStorage.getItem(tokenKey) || "";
  drawHistory();
}

function saveHistory() {
  try {
    sessionStorage.setItem(historyKey, JSON.stringify(history.slice(-50)));
  } catch (e) {
    // Storage full: the list stays for this page only.
  }
}

function drawHistory() {
  const list = $("history-list");
  list.replaceChildren();
  $("history-empty").hidden = history.length > 0;
  history.forEach((run, index) => {
    const item = document.createElement("li");
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = run.question + (run.error ? " (failed)" : "");
    button.addEventListener("click", () => show(history[index]));
    item.append(button);
    list.append(item);
  });
}

function seconds(ms) {
  return (ms / 1000).toFixed(2) + " s";
}

function drawSteps(steps) {
  const list = $("steps");
  list.replaceChildren();
  for (const step of steps) {
    const item = document.createElement("li");
    item.className = step.failed ? "failed" : step.ms === undefined ? "running" : "done";
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = step.name;
    const time = document.createElement("span");
    time.className = "time";
    time.textContent = step.ms === undefined ? "" : seconds(step.ms) + (step.failed ? " failed" : "");
    item.append(name, time);
    list.append(item);
  }
}

function showError(message) {
  const box = $("error");
  box.textContent = message;
  box.hidden = !message;
}

function isNumber(v) {
  return typeof v === "number" || (typeof v === "string" && v.trim() !== "" && !isNaN(Number(v)));
}

function cellText(v) {
  if (v === null || v === undefined) return "";
  if (typeof v === "object") return JSON.stringify(v);
  return String(v);
}

function drawTable(columns, rows) {
  const table = $("table");
  const head = table.tHead;
  const body = table.tBodies[0];
  head.replaceChildren();
  body.replaceChildren();
  const headRow = document.createElement("tr");
  columns.forEach((column, index) => {
    const th = document.createElement("th");
    th.scope = "col";
    th.setAttribute("aria-sort", "none");
    if (rows.length && typeof rows[0][index] === "number") th.className = "num";
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = column;
    button.title = "Sort by " + column;
    button.addEventListener("click", () => sortBy(index, th));
    th.append(button);
    headRow.append(th);
  });
  head.append(headRow);
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const v of row) {
      const td = document.createElement("td");
      td.textContent = cellText(v);
      if (typeof v === "number") td.className = "num";
      tr.append(td);
    }
    body.append(tr);
  }
}

function sortBy(index, th) {
  const record = current && current.record;
  if (!record) return;
  const ascending = th.getAttribute("aria-sort") !== "ascending";
  const rows = record.rows.slice();
  rows.sort((a, b) => {
    const x = a[index];
    const y = b[index];
    if (x === null || x === undefined) return 1;
    if (y === null || y === undefined) return -1;
    const order = isNumber(x) && isNumber(y) ? Number(x) - Number(y)
      : cellText(x).localeCompare(cellText(y));
    return ascending ? order : -order;
  });
  drawTable(record.columns, rows);
  $("table").tHead.rows[0].cells[index].setAttribute("aria-sort", ascending ? "ascending" : "descending");
}

// A cell a spreadsheet would take for a formula (=, +, -, @, tab, carriage return) is kept
// as text by a leading apostrophe.
function csvField(v) {
  let text = cellText(v);
  if (/^[=+\-@\t\r]/.test(text)) text = "'" + text;
  return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
}

function csvText(columns, rows) {
  const lines = [columns.map(csvField).join(",")];
  for (const row of rows) lines.push(row.map(csvField).join(","));
  return lines.join("\r\n") + "\r\n";
}

async function drawChart(url) {
  if (chartUrl) URL.revokeObjectURL(chartUrl);
  chartUrl = null;
  $("chart-box").hidden = !url;
  $("chart").removeAttribute("src");
  if (!url) return;
  // Fetched with the token, which an <img> alone could not send.
  const answer = await fetch(url, { headers: authHeaders() });
  if (!answer.ok) {
    $("chart-box").hidden = true;
    return;
  }
  chartUrl = URL.createObjectURL(await answer.blob());
  $("chart").src = chartUrl;
}

function drawRecord(record) {
  $("result").hidden = false;
  $("answer-box").hidden = record.answer === null;
  $("answer").textContent = record.answer || "";
  $("sql-box").hidden = !record.sql;
  $("sql").textContent = record.sql || "";
  $("table-box").hidden = record.columns.length === 0;
  const shown = record.rows.length;
  $("row-count").textContent = record.row_count > shown
    ? "(first " + shown + " of " + record.row_count + " rows)"
    : "(" + record.row_count + " row" + (record.row_count === 1 ? "" : "s") + ")";
  drawTable(record.columns, record.rows);
  if (csvUrl) URL.revokeObjectURL(csvUrl);
  csvUrl = URL.createObjectURL(new Blob([csvText(record.columns, record.rows)], { type: "text/csv" }));
  $("csv").href = csvUrl;
  $("code-box").hidden = !record.code;
  $("code").textContent = record.code || "";
  const u = record.usage;
  $("usage").textContent = u.model_calls + " model calls · " + u.prompt_tokens + " prompt + " +
    u.completion_tokens + " completion tokens · about $" + u.cost.toFixed(4);
  drawChart(record.chart);
  // Page parts of their own (memory.js) follow each drawn answer.
  document.dispatchEvent(new CustomEvent("zolvi:answer", { detail: { question: current ? current.question : "", record: record } }));
}

function show(run) {
  current = run;
  $("run").hidden = false;
  $("run-question").textContent = run.question;
  drawSteps(run.steps);
  showError(run.error || "");
  $("result").hidden = true;
  if (run.record) drawRecord(run.record);
  const total = run.steps.reduce((sum, s) => sum + (s.ms || 0), 0);
  $("status").textContent = run.record ? "Answered in " + seconds(total) + "."
    : run.error ? "The question failed." : "Working…";
}

function onStep(run, event) {
  if (event.phase === "start") {
    run.steps.push({ name: event.name, step: event.step });
  } else {
    const open = run.steps.find((s) => s.name === event.name && s.step === event.step && s.ms === undefined);
    if (open) {
      open.ms = event.ms;
      open.failed = event.failed;
    } else {
      run.steps.push({ name: event.name, step: event.step, ms: event.ms, failed: event.failed });
    }
  }
  if (current === run) drawSteps(run.steps);
}

function errorText(body, status) {
  const error = body && body.error;
  if (error && error.message) return error.message + " (" + error.code + ")";
  return "The server answered " + status + ".";
}

// Reads a text/event-stream body: frames end with a blank line; "event:" names the frame and
// "data:" lines carry its JSON; lines starting with ":" keep the connection alive.
async function readEvents(response, onEvent) {
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let buffer = "";
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    buffer += decoder.decode(value, { stream: true });
    let end;
    while ((end = buffer.indexOf("\n\n")) >= 0) {
      const frame = buffer.slice(0, end);
      buffer = buffer.slice(end + 2);
      let name = "message";
      const data = [];
      for (const line of frame.split("\n")) {
        if (line.startsWith("event:")) name = line.slice(6).trim();
        else if (line.startsWith("data:")) data.push(line.slice(5).trimStart());
      }
      if (data.length) onEvent(name, JSON.parse(data.join("\n")));
    }
  }
}

async function ask(question, sqlOnly) {
  const run = { question, sqlOnly, steps: [], record: null, error: null };
  show(run);
  $("ask-button").disabled = true;
  try {
    const response = await fetch("/v1/ask/stream", {
      method: "POST",
      headers: Object.assign({ "Content-Type": "application/json" }, authHeaders()),
      body: JSON.stringify({ question, sql_only: sqlOnly }),
    });
    if (!response.ok) {
      let body = null;
      try { body = await response.json(); } catch (e) { body = null; }
      run.error = errorText(body, response.status);
      if (response.status === 401) $("token-box").open = true;
    } else {
      await readEvents(response, (name, data) => {
        if (name === "step") onStep(run, data);
        else if (name === "result") run.record = data;
        else if (name === "error") run.error = errorText(data, 0);
      });
      if (!run.record && !run.error) run.error = "The connection ended before the answer came.";
    }
  } catch (e) {
    run.error = "The server could not be reached: " + e.message;
  }
  $("ask-button").disabled = false;
  history.push(run);
  saveHistory();
  drawHistory();
  if (current === run) show(run);
}

async function copySql() {
  const text = $("sql").textContent;
  try {
    await navigator.clipboard.writeText(text);
  } catch (e) {
    const range = document.createRange();
    range.selectNodeContents($("sql"));
    const selection = window.getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
    document.execCommand("copy");
  }
  $("copy-sql").textContent = "Copied";
  setTimeout(() => { $("copy-sql").textContent = "Copy"; }, 1500);
}

$("ask-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const question = $("question").value.trim();
  if (!question || $("ask-button").disabled) return;
  ask(question, $("sql-only").checked);
});
$("question").addEventListener("keydown", (event) => {
  if (event.key === "Enter" && !event.shiftKey && !event.isComposing) {
    event.preventDefault();
    $("ask-form").requestSubmit();
  }
});
$("token").addEventListener("change", () => sessionStorage.setItem(tokenKey, $("token").value.trim()));
$("copy-sql").addEventListener("click", copySql);
loadHistory();
