// Drives Lumidex's MCP endpoint with the official SDK client, as an AI client would: over streamable
// HTTP (URL and token from the environment) or through the `lumidex-mcp` stdio bridge.
//
//   node client.mjs http  (LMX_URL, LMX_TOKEN, LMX_WORD)
//   node client.mjs stdio (LMX_BRIDGE, LMX_PORT, LMX_TOKEN, LMX_WORD)
//
// Prints one line per failed check and "N passed, M failed"; exits 1 on a failure.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const mode = process.argv[2];
const env = process.env;
let passed = 0;
let failed = 0;
function check(condition, message) {
  if (condition) {
    passed++;
  } else {
    failed++;
    console.log(`FAIL [${mode}]: ${message}`);
  }
  return condition;
}

function transportFor(which) {
  if (which === "http") {
    return new StreamableHTTPClientTransport(new URL(env.LMX_URL), {
      requestInit: { headers: { Authorization: `Bearer ${env.LMX_TOKEN}` } },
    });
  }
  return new StdioClientTransport({
    command: env.LMX_BRIDGE,
    args: [],
    env: { LMX_PORT: env.LMX_PORT, LMX_TOKEN: env.LMX_TOKEN, PATH: env.PATH ?? "" },
    stderr: "inherit",
  });
}

async function run() {
  const client = new Client({ name: "lumidex-sdk-check", version: "1.0.0" });
  await client.connect(transportFor(mode));
  check(client.getServerVersion()?.name === "Lumidex", `server name ${JSON.stringify(client.getServerVersion())}`);
  check((client.getInstructions() ?? "").includes("search_documents"), "instructions name the search tool");

  const { tools } = await client.listTools();
  check(tools.length === 85, `85 tools listed, got ${tools.length}`);
  check(tools[0]?.name === "search_documents", `first tool ${tools[0]?.name}`);

  const { prompts } = await client.listPrompts();
  check(prompts.length === 8, `8 prompts listed, got ${prompts.length}`);

  const search = await client.callTool({ name: "search_documents", arguments: { query: env.LMX_WORD } });
  const results = search.structuredContent?.results ?? [];
  check(!search.isError && results.length > 0, `search_documents finds "${env.LMX_WORD}": ${JSON.stringify(search).slice(0, 300)}`);

  if (results.length > 0) {
    const uri = `lmx://document/${results[0].id}`;
    const resource = await client.readResource({ uri });
    const text = resource.contents?.[0]?.text ?? "";
    check(text.includes(env.LMX_WORD), `${uri} holds the word: ${text.slice(0, 200)}`);
    check(text.startsWith("— "), `resource text begins with its page header: ${text.slice(0, 80)}`);
  }

  const triage = await client.getPrompt({ name: "inbox_triage", arguments: {} });
  const triageText = triage.messages?.[0]?.content?.text ?? "";
  check(triageText.includes("the newest 20 mails"), `inbox_triage fallback: ${triageText.slice(0, 120)}`);
  const fields = await client.getPrompt({ name: "extract_document_fields", arguments: { document: "Invoice 4711" } });
  check((fields.messages?.[0]?.content?.text ?? "").startsWith('Find the document "Invoice 4711"'), "extract_document_fields text");

  let refused = false;
  try {
    await client.getPrompt({ name: "summarise_invoices", arguments: {} });
  } catch (error) {
    refused = String(error).includes("Missing required argument: company");
  }
  check(refused, "summarise_invoices without company is refused");

  const guarded = await client.callTool({ name: "delete_document", arguments: { document_id: results[0]?.id ?? "1" } });
  check(guarded.isError && guarded.content?.[0]?.text === "This action requires confirm=true. Refused for safety.",
        "delete_document without confirm is refused");

  await client.close();
}

try {
  await run();
} catch (error) {
  check(false, `unexpected error: ${error?.stack ?? error}`);
}
console.log(`${mode}: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
