// Drives headless Chromium for the live page's test, one JSON command per stdin line, one JSON
// answer per stdout line ({"ok": true, "value": ...} or {"ok": false, "error": "..."}).
//
//   {"cmd": "open", "url": "..."}
//   {"cmd": "waitFor", "selector": "...", "timeout": ms}      waits until visible
//   {"cmd": "evaluate", "expression": "..."}                   value of a JS expression
//   {"cmd": "screenshot", "path": "..."}
//   {"cmd": "close"}
//
// Environment: KAVORI_BROWSER_DEPS (the folder holding node_modules/playwright-core),
// KAVORI_CHROMIUM (the browser), KAVORI_PROFILE (a fresh user-data-dir).
import { createRequire } from "node:module";
import path from "node:path";
import readline from "node:readline";

const require = createRequire(path.join(process.env.KAVORI_BROWSER_DEPS, "package.json"));
const { chromium } = require("playwright-core");

// A persistent context is how Playwright takes a user-data-dir: a fresh one per run.
const browser = await chromium.launchPersistentContext(process.env.KAVORI_PROFILE, {
  executablePath: process.env.KAVORI_CHROMIUM || "/usr/bin/chromium",
  headless: true,
  viewport: { width: 900, height: 1000 },
  args: [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
  ],
});
const page = browser.pages()[0] ?? await browser.newPage();
const consoleErrors = [];
page.on("console", message => {
  if (message.type() === "error") consoleErrors.push(message.text());
});
page.on("pageerror", error => consoleErrors.push(String(error)));

const commands = {
  async open({ url }) {
    await page.goto(url);
  },
  async waitFor({ selector, timeout }) {
    await page.waitForSelector(selector, { state: "visible", timeout: timeout ?? 10000 });
  },
  async evaluate({ expression }) {
    return await page.evaluate(expression);
  },
  async screenshot({ path: file }) {
    await page.screenshot({ path: file, fullPage: true });
  },
  async consoleErrors() {
    return consoleErrors;
  },
};

const lines = readline.createInterface({ input: process.stdin });
process.stdout.write(JSON.stringify({ ok: true, value: "ready" }) + "\n");
for await (const line of lines) {
  const command = JSON.parse(line);
  if (command.cmd === "close") break;
  let answer;
  try {
    answer = { ok: true, value: (await commands[command.cmd](command)) ?? null };
  } catch (error) {
    answer = { ok: false, error: String(error?.message ?? error) };
  }
  process.stdout.write(JSON.stringify(answer) + "\n");
}
await browser.close();
process.stdout.write(JSON.stringify({ ok: true, value: "closed" }) + "\n");
