// Drives a zolvi MCP server with the official TypeScript client and prints what it saw as
// one JSON document; the pytest file that runs it makes the assertions.
//
//   node client.mjs PLAN.json
//
// PLAN: {"transport": "stdio", "command": ..., "args": [...], "env": {...}}
//    or {"transport": "http", "url": ..., "token": ...}
//   with "calls": [{"tool", "arguments", "progress": bool, "cancel_after": n}]
// Output: {"connected", "error", "server_version", "protocol_version", "tools", "results":
//   [{"tool", "result" | "error", "progress": [...]}]}
import { readFileSync } from "node:fs";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const plan = JSON.parse(readFileSync(process.argv[2], "utf8"));
const out = { connected: false, results: [] };

function transportFor(plan) {
    if (plan.transport === "stdio") {
        return new StdioClientTransport({
            command: plan.command,
            args: plan.args ?? [],
            env: plan.env,
            stderr: "inherit",
        });
    }
    const headers = plan.token ? { Authorization: `Bearer ${plan.token}` } : {};
    return new StreamableHTTPClientTransport(new URL(plan.url), { requestInit: { headers } });
}

const client = new Client({ name: "zolvi-tests", version: "1.0.0" });
const transport = transportFor(plan);
try {
    await client.connect(transport);
    out.connected = true;
    out.server_version = client.getServerVersion();
    out.protocol_version = transport.protocolVersion ?? null;
    out.session_id = transport.sessionId ?? null;
    out.tools = (await client.listTools()).tools;
    for (const call of plan.calls ?? []) {
        const record = { tool: call.tool, progress: [] };
        const controller = new AbortController();
        const options = { signal: controller.signal, timeout: 120000 };
        if (call.progress || call.cancel_after) {
            options.onprogress = (p) => {
                record.progress.push(p);
                if (call.cancel_after && record.progress.length === call.cancel_after) {
                    controller.abort("the test cancels the call");
                }
            };
        }
        try {
            record.result = await client.callTool(
                { name: call.tool, arguments: call.arguments ?? {} }, undefined, options);
        } catch (e) {
            record.error = { message: String(e?.message ?? e), code: e?.code ?? null };
        }
        out.results.push(record);
    }
    out.ping = await client.ping();
} catch (e) {
    out.error = { message: String(e?.message ?? e), code: e?.code ?? null };
} finally {
    try {
        if (transport.terminateSession && out.connected) {
            await transport.terminateSession();
            out.terminated = true;
        }
    } catch (e) {
        out.terminate_error = String(e?.message ?? e);
    }
    await client.close().catch(() => {});
}
process.stdout.write(JSON.stringify(out) + "\n");
